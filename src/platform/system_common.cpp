// System facts that are the same on every system: the compiler that built
// the library.
#include <cstdlib>

#include "platform/system.h"

#define NVD_STRINGIFY2(x) #x
#define NVD_STRINGIFY(x) NVD_STRINGIFY2(x)

// The C runtime the library was built against, where it names itself.
#if defined(__MINGW64_VERSION_STR)
#define NVD_RUNTIME " (mingw-w64 " __MINGW64_VERSION_STR ")"
#else
#define NVD_RUNTIME ""
#endif

namespace platform {

const char* CompilerDescription() {
#if defined(__clang__)
  return "Clang " NVD_STRINGIFY(__clang_major__) "." NVD_STRINGIFY(
      __clang_minor__) "." NVD_STRINGIFY(__clang_patchlevel__) NVD_RUNTIME;
#elif defined(__GNUC__)
  return "GCC " NVD_STRINGIFY(__GNUC__) "." NVD_STRINGIFY(__GNUC_MINOR__) "." NVD_STRINGIFY(
      __GNUC_PATCHLEVEL__) NVD_RUNTIME;
#else
  return "Unknown compiler";
#endif
}

}  // namespace platform
