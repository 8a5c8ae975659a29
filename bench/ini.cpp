// The INI reader against inih on the same generated text (about 20 MiB:
// 10 000 sections, 200 000 items, comments).
//
// - Plain parse (flags 0x010|0x001) of the text from memory against inih's
//   ini_parse_string, whose handler stores every section, key and value, so
//   that both sides build the same section/key/value data (checked).
// - Preprocessed parse (0x002|0x001) of the same text with a few macros, as a
//   ratio to the plain parse.
// - Look-up: SelectSection + ReadValue on the parsed text, ns per look-up.
//
// Best of several repetitions, steady clock; building is timed, releasing
// the data is not (on both sides). inih is loaded at run time
// (libinih.so.1, Debian libinih-dev), so the benchmark builds without it.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/log.h"
#include "ini/ini_stream.h"
#include "platform/message_box.h"
#include "platform/system.h"

namespace {

constexpr int kSections = 10000;
constexpr int kItemsPerSection = 20;
constexpr int kLookUps = 1000000;
constexpr int kRepetitions = 5;

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The text; with `macros`, a few #define lines and uses of them that expand
// to exactly the plain text's values.
std::string Generate(bool macros) {
  std::string text;
  text.reserve(21 << 20);
  if (macros) {
    text += "#define UNIT milliseconds\n#define PAD(a) <a>\n";
  }
  text += "; Generated configuration for the INI benchmark\n";
  char line[256];
  for (int s = 0; s < kSections; ++s) {
    std::snprintf(line, sizeof line, "\n[section_%05d]\n; Settings of unit %d, revision %d\n", s, s,
                  s % 7);
    text += line;
    for (int k = 0; k < kItemsPerSection; ++k) {
      if (k % 4 == 0) {
        std::snprintf(line, sizeof line, "; item group %d of section %d: parameters below\n", k / 4,
                      s);
        text += line;
      }
      const bool withMacro = macros && k == 7;
      std::snprintf(line, sizeof line,
                    "key_%02d = value %d.%d measured in %s, window %s, calibration %08X%08X\n", k,
                    s, k, withMacro ? "UNIT" : "milliseconds", withMacro ? "PAD(3)" : "<3>",
                    static_cast<unsigned>(s * 2654435761u), static_cast<unsigned>(k * 40503u));
      text += line;
    }
  }
  return text;
}

// inih's side: the same data it hands to its handler, stored.
struct InihSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> items;
};
using InihData = std::vector<InihSection>;

int InihHandler(void* user, const char* section, const char* name, const char* value) {
  InihData& data = *static_cast<InihData*>(user);
  if (data.empty() || data.back().name != section) data.push_back({section, {}});
  data.back().items.emplace_back(name, value);
  return 1;
}

// inih's ini_parse_string and its handler type (ini.h).
using IniHandler = int (*)(void* user, const char* section, const char* name, const char* value);
using ParseString = int (*)(const char* text, IniHandler handler, void* user);

// A checksum over sections, keys and values in order.
uint64_t Mix(uint64_t hash, const char* text) {
  for (; *text; ++text)
    hash = (hash ^ static_cast<unsigned char>(*text)) * 1099511628211ull;
  return (hash ^ 0xFF) * 1099511628211ull;
}

uint64_t Checksum(const InihData& data) {
  uint64_t hash = 14695981039346656037ull;
  for (const InihSection& section : data) {
    hash = Mix(hash, section.name.c_str());
    for (const auto& [key, value] : section.items)
      hash = Mix(Mix(hash, key.c_str()), value.c_str());
  }
  return hash;
}

uint64_t Checksum(const INIStreamStub& ini) {
  uint64_t hash = 14695981039346656037ull;
  for (uint32_t i = 0; i < ini.Sections().Count(); ++i) {
    const SectionItem* section = ini.Sections().At(i);
    hash = Mix(hash, section->Name());
    for (const INIItem& item : section->Items())
      hash = Mix(Mix(hash, item.Key()), item.Value());
  }
  return hash;
}

int Quiet(const char*, const char*, uint32_t) {
  return platform::kIdOk;
}

}  // namespace

int main() {
  platform::SetMessageBoxHook(Quiet);
  SetPrintHook(nullptr);
  void* inih = platform::LoadModule("libinih.so.1");
  if (inih == nullptr) inih = platform::LoadModule("libinih.so");
  const auto parseString =
      reinterpret_cast<ParseString>(platform::FindProcedure(inih, "ini_parse_string"));
  if (parseString == nullptr) {
    std::printf("ini: skipped, inih (libinih.so.1) not found; install libinih-dev\n");
    return 0;
  }

  const std::string plainText = Generate(false);
  const std::string macroText = Generate(true);
  const uint32_t plainFlags = INIStream::kPlain | INIStream::kLookUp;
  const uint32_t preprocessedFlags = INIStream::kPreprocess | INIStream::kLookUp;
  std::printf("ini text: %.1f MiB, %d sections, %d items\n", plainText.size() / 1048576.0,
              kSections, kSections * kItemsPerSection);

  double ours = 1e30, theirs = 1e30, preprocessed = 1e30;
  uint64_t ourSum = 0, theirSum = 0, preSum = 0;
  size_t ourItems = 0;
  for (int r = 0; r < kRepetitions; ++r) {
    {
      InihData data;
      const Clock::time_point start = Clock::now();
      parseString(plainText.c_str(), InihHandler, &data);
      theirs = std::min(theirs, MillisecondsSince(start));
      theirSum = Checksum(data);
    }
    {
      const Clock::time_point start = Clock::now();
      INIStreamInMem ini(plainText.data(), plainText.size(), plainFlags);
      ours = std::min(ours, MillisecondsSince(start));
      ourSum = Checksum(ini);
      ourItems = 0;
      for (uint32_t i = 0; i < ini.Sections().Count(); ++i)
        ourItems += ini.Sections().At(i)->Items().size();
    }
    if (r < 3) {
      const Clock::time_point start = Clock::now();
      INIStreamInMem ini(macroText.data(), macroText.size(), preprocessedFlags);
      preprocessed = std::min(preprocessed, MillisecondsSince(start));
      preSum = Checksum(ini);
    }
  }
  if (ourSum != theirSum || preSum != ourSum || ourItems != size_t(kSections) * kItemsPerSection) {
    std::printf("ini: the parsers disagree (items %zu, checksums %llx %llx %llx)\n", ourItems,
                static_cast<unsigned long long>(ourSum), static_cast<unsigned long long>(theirSum),
                static_cast<unsigned long long>(preSum));
    return 1;
  }
  std::printf("ini plain: ratio %.2f (ours %.1f ms, inih %.1f ms)\n", ours / theirs, ours, theirs);
  std::printf("ini preprocessed/plain: ratio %.2f (preprocessed %.1f ms)\n", preprocessed / ours,
              preprocessed);

  // Look-ups of random sections and keys, names prepared beforehand.
  INIStreamInMem ini(plainText.data(), plainText.size(), plainFlags);
  std::vector<std::string> sections(kSections), keys(kItemsPerSection);
  for (int s = 0; s < kSections; ++s) {
    char name[32];
    std::snprintf(name, sizeof name, "section_%05d", s);
    sections[s] = name;
  }
  for (int k = 0; k < kItemsPerSection; ++k) {
    char name[16];
    std::snprintf(name, sizeof name, "key_%02d", k);
    keys[k] = name;
  }
  std::vector<std::pair<uint32_t, uint32_t>> order(kLookUps);
  uint32_t state = 12345;
  for (auto& [s, k] : order) {
    state = state * 1664525u + 1013904223u;
    s = (state >> 8) % kSections;
    state = state * 1664525u + 1013904223u;
    k = (state >> 8) % kItemsPerSection;
  }
  double lookUp = 1e30;
  size_t found = 0;
  char value[128];
  for (int r = 0; r < 3; ++r) {
    found = 0;
    const Clock::time_point start = Clock::now();
    for (const auto& [s, k] : order) {
      value[0] = 0;
      ini.SelectSection(sections[s].c_str())
          .ReadValue(INIValue(keys[k].c_str(), value, sizeof value));
      found += value[0] != 0;
    }
    lookUp = std::min(lookUp, MillisecondsSince(start));
  }
  if (found != static_cast<size_t>(kLookUps)) {
    std::printf("ini: look-ups missed (%zu of %d found)\n", found, kLookUps);
    return 1;
  }
  std::printf("ini lookup: %.0f ns\n", lookUp * 1e6 / kLookUps);
  return 0;
}
