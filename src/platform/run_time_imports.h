// Facts that only Windows has and that the library reads through procedures
// looked up when first asked, because not every Windows (or only Wine)
// exports them: whether the process runs under WOW64, the user's default
// locale name, and whether the system is Wine. Each procedure is looked up
// once; a missing module or procedure answers "not known" for good. On
// POSIX there is no such procedure and every answer is "not known".
#pragma once

#include <string>

namespace platform {

// IsWow64Process of the current process: true for a 32-bit process on 64-bit
// Windows; false when the procedure is missing or fails.
bool IsWow64Process();

// True when ntdll exports wine_get_version, that is, under Wine.
bool RunningUnderWine();

// GetUserDefaultLocaleName ("en-US") in the ANSI code page ("" when it does
// not convert). False, with `name` untouched, when the procedure is missing
// or gives nothing.
bool UserDefaultLocaleName(std::string& name);

}  // namespace platform
