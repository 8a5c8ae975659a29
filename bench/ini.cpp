// The INI reader against inih on the same generated text (about 20 MiB:
// 10 000 sections, 200 000 items, comments).
//
// - Plain parse (flags 0x010|0x001) of the text from memory against inih's
//   ini_parse_string, whose handler stores every section, key and value, so
//   that both sides build the same section/key/value data (checked).
// - Preprocessed parse (0x002|0x001) of the same text with a few macros,
//   against the plain parse of the text they expand to: what the
//   preprocessor adds.
// - Look-up: SelectSection + ReadValue on the parsed text against the same
//   look-ups (exact names, the value copied out) in one hash map over
//   section and key built from inih's data, the fastest plain way to answer
//   them.
//
// Building is timed, releasing the data is not (on both sides). Every figure
// alternates its two sides round by round; the median of the round ratios
// counts. inih is loaded at run time (libinih.so.1, Debian libinih-dev), so
// the benchmark builds without it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/log.h"
#include "bench_rounds.h"
#include "ini/ini_stream.h"
#include "platform/message_box.h"
#include "platform/system.h"

namespace {

constexpr int kSections = 10000;
constexpr int kItemsPerSection = 20;
constexpr int kLookUpsPerRound = 20000;
constexpr int kParseRounds = 7;
constexpr int kLookUpRounds = 21;

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

constexpr uint32_t kPlainFlags = INIStream::kPlain | INIStream::kLookUp;
constexpr uint32_t kPreprocessedFlags = INIStream::kPreprocess | INIStream::kLookUp;

// The items of a parsed text.
size_t ItemCount(const INIStreamStub& ini) {
  size_t items = 0;
  for (uint32_t i = 0; i < ini.Sections().Count(); ++i)
    items += ini.Sections().At(i)->Items().size();
  return items;
}

// Plain parse against inih, and preprocessed against plain; false when the
// parsers disagree.
bool CompareParses(ParseString parseString, const std::string& plainText,
                   const std::string& macroText) {
  uint64_t ourSum = 0, theirSum = 0, preSum = 0;
  size_t ourItems = 0;
  auto ours = [&] {
    const BenchTimer timer;
    INIStreamInMem ini(plainText.data(), plainText.size(), kPlainFlags);
    const double seconds = timer.Seconds();
    ourSum = Checksum(ini);
    ourItems = ItemCount(ini);
    return seconds;
  };
  auto theirs = [&] {
    InihData data;
    const BenchTimer timer;
    parseString(plainText.c_str(), InihHandler, &data);
    const double seconds = timer.Seconds();
    theirSum = Checksum(data);
    return seconds;
  };
  auto preprocessed = [&] {
    const BenchTimer timer;
    INIStreamInMem ini(macroText.data(), macroText.size(), kPreprocessedFlags);
    const double seconds = timer.Seconds();
    preSum = Checksum(ini);
    return seconds;
  };
  RatioRounds plain, macro;
  for (int round = 0; round < kParseRounds; ++round) {
    plain.Run(ours, theirs);
    macro.Run(preprocessed, ours);
  }
  if (ourSum != theirSum || preSum != ourSum || ourItems != size_t(kSections) * kItemsPerSection) {
    std::printf("ini: the parsers disagree (items %zu, checksums %llx %llx %llx)\n", ourItems,
                static_cast<unsigned long long>(ourSum), static_cast<unsigned long long>(theirSum),
                static_cast<unsigned long long>(preSum));
    return false;
  }
  plain.Report("ini plain", "INIStream", "inih", BenchUnit{1e3, "ms"});
  macro.Report("ini preprocessed/plain", "preprocessed", "plain", BenchUnit{1e3, "ms"});
  return true;
}

// Look-ups of random sections and keys, names prepared beforehand, against
// a hash map of inih's data; false when a look-up misses.
bool CompareLookUps(ParseString parseString, const std::string& plainText) {
  INIStreamInMem ini(plainText.data(), plainText.size(), kPlainFlags);
  InihData data;
  parseString(plainText.c_str(), InihHandler, &data);
  // One hash map over "section\nkey" (a line end is in no name): one probe
  // per look-up. (A map of maps scans a small inner map node by node.)
  std::unordered_map<std::string, std::string> map;
  for (const InihSection& section : data)
    for (const auto& [key, itemValue] : section.items)
      map.emplace(section.name + '\n' + key, itemValue);
  std::string composite;
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
  std::vector<std::pair<uint32_t, uint32_t>> order(kLookUpsPerRound);
  uint32_t state = 12345;
  size_t found = 0, foundPlain = 0;
  char value[128];
  auto ours = [&] {
    const BenchTimer timer;
    for (const auto& [s, k] : order) {
      value[0] = 0;
      ini.SelectSection(sections[s].c_str())
          .ReadValue(INIValue(keys[k].c_str(), value, sizeof value));
      found += value[0] != 0;
    }
    return timer.Seconds();
  };
  auto plain = [&] {
    const BenchTimer timer;
    for (const auto& [s, k] : order) {
      value[0] = 0;
      composite.assign(sections[s]).append(1, '\n').append(keys[k]);
      const auto item = map.find(composite);
      if (item != map.end()) {
        const size_t length = std::min(item->second.size(), sizeof value - 1);
        std::memcpy(value, item->second.data(), length);
        value[length] = 0;
      }
      foundPlain += value[0] != 0;
    }
    return timer.Seconds();
  };
  RatioRounds rounds;
  for (int round = 0; round < kLookUpRounds; ++round) {
    for (auto& [s, k] : order) {
      state = state * 1664525u + 1013904223u;
      s = (state >> 8) % kSections;
      state = state * 1664525u + 1013904223u;
      k = (state >> 8) % kItemsPerSection;
    }
    rounds.Run(ours, plain);
  }
  const size_t expected = size_t(kLookUpsPerRound) * kLookUpRounds;
  if (found != expected || foundPlain != expected) {
    std::printf("ini: look-ups missed (%zu and %zu of %zu found)\n", found, foundPlain, expected);
    return false;
  }
  rounds.Report("ini lookup", "SelectSection+ReadValue", "hash map",
                BenchUnit{1e9 / kLookUpsPerRound, "ns", false, 0});
  return true;
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
    const bool ci = platform::GetEnvironment("CI") == "true";
    std::printf("ini: inih (libinih.so.1) not found; install libinih-dev; %s\n",
                ci ? "failed" : "skipped");
    return ci ? 1 : 0;
  }

  const std::string plainText = Generate(false);
  const std::string macroText = Generate(true);
  std::printf("ini text: %.1f MiB, %d sections, %d items\n", plainText.size() / 1048576.0,
              kSections, kSections * kItemsPerSection);
  if (!CompareParses(parseString, plainText, macroText)) return 1;
  return CompareLookUps(parseString, plainText) ? 0 : 1;
}
