// Fuzz target: INI text through the whole in-memory pipeline with the
// preprocessor on, then every operation on the result.
//
// Input: two bytes of flags (masked to those that need no file), then the
// text. Includes are resolved against the current folder, where the target
// writes a few small files at start (one includes itself, one includes the
// other). Run it from a scratch folder.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/log.h"
#include "ini/ini_stream.h"
#include "ini/streams.h"
#include "platform/message_box.h"

namespace {

int Quiet(const char*, const char*, uint32_t) {
  return platform::kIdOk;
}

void WriteFile(const char* name, const char* text) {
  FILE* file = std::fopen(name, "wb");
  if (file == nullptr) return;
  std::fputs(text, file);
  std::fclose(file);
}

constexpr uint32_t kAllowedFlags = INIStream::kLookUp | INIStream::kHashComments |
                                   INIStream::kPlain | INIStream::kKeepValueBlanks |
                                   INIStream::kSkipEmptySections | INIStream::kNoJoinNoEscapes |
                                   INIStream::kLastDuplicateWins;

void Exercise(INIStreamStub& ini) {
  DynArray<unsigned char> data;
  MemoryInOut out(&data, 16384);
  ini.WriteTable(out, 1);
  const uint64_t length = out.Position();
  if (ini.Sections().Count() == 0) return;
  SectionItem* first = ini.Sections().At(0);
  SectionItem* last = ini.Sections().Last();
  ini.SelectSection(last->Name());
  ini.SelectSection(ini.SelectedName());
  if (!last->Items().empty()) {
    const std::string key = last->Items().back().Key();
    uint32_t number = 0;
    char text[16];
    Istr value;
    ini.ReadValue(INIValue(key.c_str(), &number, 1))
        .ReadValue(INIValue(key.c_str(), text, sizeof text, "d"))
        .ReadValue(INIValue(key.c_str(), &value, nullptr));
  }
  if (first->Subsections() != nullptr) Exercise(*first->Subsections());
  ini.Sections().Sort();
  ini.DeleteSection(ini.Sections().At(0)->Name());
  ini.ResolveDuplicateKeys();
  // The written text read back as plain text.
  INIStreamInMem again(reinterpret_cast<const char*>(data.Data()), length,
                       INIStream::kPlain | INIStream::kLookUp);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::SetMessageBoxHook(Quiet);
  SetPrintHook(nullptr);
  WriteFile("a.inc", "#define FROM_A(x) <x>\nfromA=FROM_A(1)\n#include b.inc\n");
  WriteFile("b.inc", "[B]\nb=__R__(fromA) \\\n tail\n#include a.inc\n");
  WriteFile("self.inc", "#include ./self.inc\nself=1\n");
  WriteFile("empty.inc", "");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t raw = data[0] | (static_cast<uint32_t>(data[1]) << 8);
  const char* text = reinterpret_cast<const char*>(data + 2);
  const size_t length = size - 2;
  {
    INIStreamInMem ini(text, length, (raw & kAllowedFlags) | INIStream::kPreprocess);
    Exercise(ini);
  }
  if (raw & 0x8000) {
    // Text in place of a file name (up to its first zero).
    std::string name = ">";
    name.append(text, static_cast<size_t>(std::find(text, text + length, 0) - text));
    INIStream inline_(name.c_str(), INIStream::kLookUp);
    Exercise(inline_);
  }
  return 0;
}
