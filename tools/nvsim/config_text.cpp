#include "config_text.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>

namespace nvsim {
namespace {

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
    ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
    --end;
  return text.substr(begin, end - begin);
}

bool ParseU32(const std::string& text, uint32_t& value) {
  const std::string t = Trim(text);
  if (t.empty() || t[0] == '-') return false;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(t.c_str(), &end, 0);
  if (*end != '\0' || v > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

bool ParseU16(const std::string& text, uint16_t& value) {
  uint32_t v = 0;
  if (!ParseU32(text, v) || v > 0xFFFF) return false;
  value = static_cast<uint16_t>(v);
  return true;
}

bool ParseBool(const std::string& text, bool& value) {
  const std::string t = Trim(text);
  if (t == "yes" || t == "true" || t == "1" || t == "on") {
    value = true;
  } else if (t == "no" || t == "false" || t == "0" || t == "off") {
    value = false;
  } else {
    return false;
  }
  return true;
}

// "1.02" → major 1, minor 2 in the high and low halves; or a plain number.
bool ParseVersion(const std::string& text, uint32_t& value) {
  const std::string t = Trim(text);
  const size_t dot = t.find('.');
  if (dot == std::string::npos) return ParseU32(t, value);
  uint32_t major = 0;
  uint32_t minor = 0;
  if (!ParseU32(t.substr(0, dot), major) || !ParseU32(t.substr(dot + 1), minor) || major > 0xFFFF ||
      minor > 0xFFFF) {
    return false;
  }
  value = major << 16 | minor;
  return true;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;)
    words.push_back(w);
  return words;
}

// UTF-8 text to UTF-16 units (pairs above U+FFFF); false when malformed.
bool Utf8ToUtf16(const std::string& text, std::u16string& units) {
  units.clear();
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    uint32_t cp = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;  // cut off
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return true;
}

// "text:..." or "hex:..." (plain text when there is no prefix).
bool ParseData(const std::string& text, std::vector<uint8_t>& data) {
  if (text.rfind("hex:", 0) == 0) return ParseHexBytes(text.substr(4), data);
  const std::string body = text.rfind("text:", 0) == 0 ? text.substr(5) : text;
  data.assign(body.begin(), body.end());
  return true;
}

// A property value; "<none>" means the property is absent.
std::optional<std::string> Property(const std::string& value) {
  if (value == "<none>") return std::nullopt;
  return value;
}

// "PATH [COUNT|all] [bad-crc]": the first COUNT bytes of the file PATH held
// in the staging memory at power-up.
bool ParseStaged(const std::string& text, std::optional<StagedImage>& staged) {
  const auto w = Words(text);
  if (w.empty() || w.size() > 3) return false;
  size_t count = SIZE_MAX;
  bool badCrc = false;
  for (size_t i = 1; i < w.size(); ++i) {
    uint32_t n = 0;
    if (w[i] == "bad-crc") {
      badCrc = true;
    } else if (i == 1 && w[i] != "all") {
      if (!ParseU32(w[i], n)) return false;
      count = n;
    } else if (w[i] != "all") {
      return false;
    }
  }
  std::ifstream in(w[0], std::ios::binary);
  if (!in) return false;
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  staged = StagedImage::Prefix(file, count, badCrc);
  return true;
}

using Setter = std::function<bool(InstrumentConfig&, const std::string&)>;

Setter U32(uint32_t InstrumentConfig::*member) {
  return [member](InstrumentConfig& c, const std::string& v) { return ParseU32(v, c.*member); };
}

Setter Area32(uint32_t PublicArea::*member) {
  return [member](InstrumentConfig& c, const std::string& v) {
    return ParseU32(v, c.publicArea.*member);
  };
}

Setter AreaText(std::string PublicArea::*member) {
  return [member](InstrumentConfig& c, const std::string& v) {
    c.publicArea.*member = v;
    return true;
  };
}

const std::map<std::string, Setter>& Setters() {
  static const std::map<std::string, Setter> setters = {
      {"class",
       [](InstrumentConfig& c, const std::string& v) {
         c.interfaceClass = v;
         return !v.empty();
       }},
      {"service",
       [](InstrumentConfig& c, const std::string& v) {
         c.service = Property(v);
         return true;
       }},
      {"location",
       [](InstrumentConfig& c, const std::string& v) {
         c.location = Property(v);
         return true;
       }},
      {"description",
       [](InstrumentConfig& c, const std::string& v) {
         c.description = Property(v);
         return true;
       }},
      {"driver_version",
       [](InstrumentConfig& c, const std::string& v) {
         c.driverVersion = v;
         return true;
       }},
      {"handle_status", U32(&InstrumentConfig::handleStatus)},
      {"refuse_open",
       [](InstrumentConfig& c, const std::string& v) { return ParseBool(v, c.refuseOpen); }},
      {"loopback",
       [](InstrumentConfig& c, const std::string& v) { return ParseBool(v, c.loopback); }},
      {"target_id", U32(&InstrumentConfig::targetId)},
      {"buffers",
       [](InstrumentConfig& c, const std::string& v) {
         const auto w = Words(v);
         return w.size() == 2 && ParseU16(w[0], c.inBufferSize) && ParseU16(w[1], c.outBufferSize);
       }},
      {"interface",
       [](InstrumentConfig& c, const std::string& v) {
         if (Trim(v) == "<none>") {
           c.interfaceWord.reset();
           return true;
         }
         uint32_t word = 0;
         if (!ParseU32(v, word)) return false;
         c.interfaceWord = word;
         return true;
       }},
      {"status", U32(&InstrumentConfig::status)},
      {"loader", [](InstrumentConfig& c, const std::string& v) { return ParseBool(v, c.loader); }},
      {"hwid",
       [](InstrumentConfig& c, const std::string& v) {
         const auto w = Words(v);
         return w.size() == 3 && ParseU32(w[0], c.hwId[0]) && ParseU32(w[1], c.hwId[1]) &&
                ParseU32(w[2], c.hwId[2]);
       }},
      {"serial_extra",
       [](InstrumentConfig& c, const std::string& v) { return ParseHexBytes(v, c.serialExtra); }},
      {"serial_reply",
       [](InstrumentConfig& c, const std::string& v) {
         std::vector<uint8_t> bytes;
         if (!ParseHexBytes(v, bytes)) return false;
         c.serialReply = bytes;
         return true;
       }},
      {"serial", AreaText(&PublicArea::prodSerNumber)},
      {"trg_file", AreaText(&PublicArea::trgFileName)},
      {"prod_name", AreaText(&PublicArea::prodName)},
      {"mnfct_name", AreaText(&PublicArea::mnfctName)},
      {"comment", AreaText(&PublicArea::comment)},
      {"public_signat", Area32(&PublicArea::publicSignat)},
      {"struct_len", Area32(&PublicArea::structLen)},
      {"boot_signat", Area32(&PublicArea::bootSignat)},
      {"calib_bp0", Area32(&PublicArea::calibBP0)},
      {"calib_bp290", Area32(&PublicArea::calibBP290)},
      {"vid",
       [](InstrumentConfig& c, const std::string& v) { return ParseU16(v, c.publicArea.vid); }},
      {"pid",
       [](InstrumentConfig& c, const std::string& v) { return ParseU16(v, c.publicArea.pid); }},
      {"area_target_id", Area32(&PublicArea::targetId)},
      {"target_start_timeout", Area32(&PublicArea::targetStartTimeOut)},
      {"public_area_size", Area32(&PublicArea::size)},
      {"public_area_hex",
       [](InstrumentConfig& c, const std::string& v) {
         std::vector<uint8_t> bytes;
         if (!ParseHexBytes(v, bytes)) return false;
         c.publicAreaBytes = bytes;
         return true;
       }},
      {"flash_seed", U32(&InstrumentConfig::flashSeed)},
      {"boot_version",
       [](InstrumentConfig& c, const std::string& v) { return ParseVersion(v, c.bootVersion); }},
      {"boot_date",
       [](InstrumentConfig& c, const std::string& v) {
         c.bootDate = v;
         return true;
       }},
      {"target_version",
       [](InstrumentConfig& c, const std::string& v) { return ParseVersion(v, c.targetVersion); }},
      {"target_date",
       [](InstrumentConfig& c, const std::string& v) {
         c.targetDate = v;
         return true;
       }},
      {"version_suffix",
       [](InstrumentConfig& c, const std::string& v) {
         std::u16string units;
         if (!Utf8ToUtf16(v, units)) return false;
         c.versionSuffix = units;
         return true;
       }},
      {"signature", U32(&InstrumentConfig::signature)},
      {"signature_file",
       [](InstrumentConfig& c, const std::string& v) {
         c.signatureFile = v;
         return true;
       }},
      {"signature_text",
       [](InstrumentConfig& c, const std::string& v) {
         c.signatureText = v;
         return true;
       }},
      {"signature_status",
       [](InstrumentConfig& c, const std::string& v) {
         std::vector<uint8_t> bytes;
         if (!ParseHexBytes(v, bytes)) return false;
         c.signatureStatus = bytes;
         return true;
       }},
      {"start_status", U32(&InstrumentConfig::startStatus)},
      {"reset_stays_in_target",
       [](InstrumentConfig& c, const std::string& v) {
         return ParseBool(v, c.resetStaysInTarget);
       }},
      {"drop_delay", U32(&InstrumentConfig::dropDelayMs)},
      {"reenum_delay", U32(&InstrumentConfig::reenumDelayMs)},
      {"flash_base", U32(&InstrumentConfig::flashBase)},
      {"flash_size",
       [](InstrumentConfig& c, const std::string& v) {
         // At most 256 MiB, and the flash must end within the address space.
         return ParseU32(v, c.flashSize) && c.flashSize <= 0x10000000u &&
                static_cast<uint64_t>(c.flashBase) + c.flashSize <= 0x100000000ull;
       }},
      {"flash_needs_loader",
       [](InstrumentConfig& c, const std::string& v) {
         return ParseBool(v, c.flashNeedsLoader);
       }},
      {"image_support",
       [](InstrumentConfig& c, const std::string& v) { return ParseBool(v, c.imageSupport); }},
      {"image_chunk",
       [](InstrumentConfig& c, const std::string& v) {
         return ParseU32(v, c.imageChunk) && c.imageChunk != 0 &&
                c.imageChunk <= kMaxCommandLength - 16;
       }},
      {"image_capacity",
       [](InstrumentConfig& c, const std::string& v) {
         return ParseU32(v, c.imageCapacity) && c.imageCapacity <= 0x10000000u;
       }},
      {"burn_wait", U32(&InstrumentConfig::burnWaitMs)},
      {"burn_away",
       [](InstrumentConfig& c, const std::string& v) {
         uint32_t ms = kNever;
         if (Trim(v) != "never" && !ParseU32(v, ms)) return false;
         c.burnAwayMs = ms;
         return true;
       }},
      {"staged", [](InstrumentConfig& c, const std::string& v) { return ParseStaged(v, c.staged); }},
      {"fault",
       [](InstrumentConfig& c, const std::string& v) {
         Fault fault;
         std::string ignored;
         if (!ParseFault(v, fault, ignored)) return false;
         c.faults.push_back(fault);
         return true;
       }},
  };
  return setters;
}

}  // namespace

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> out;
  int high = -1;
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (std::isspace(c) || c == ':' || c == ',') {
      if (high >= 0) return false;  // a lone digit
      continue;
    }
    if (!std::isxdigit(c)) return false;
    const int digit = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) return false;
  bytes = std::move(out);
  return true;
}

// Reads the "key=value" words after a fault's kind: `option(key, value)`
// takes one option and answers whether it was valid. `what` names the fault
// in the error text.
template <typename Option>
bool ParseFaultOptions(const std::vector<std::string>& words, const char* what, Option&& option,
                       std::string& error) {
  for (size_t i = 1; i < words.size(); ++i) {
    const size_t eq = words[i].find('=');
    if (eq == std::string::npos || !option(words[i].substr(0, eq), words[i].substr(eq + 1))) {
      error = std::string("bad ") + what + " option \"" + words[i] + "\"";
      return false;
    }
  }
  return true;
}

bool ParseFault(const std::string& text, Fault& fault, std::string& error) {
  const auto words = Words(text);
  fault = Fault{};  // the text alone says what the fault is
  if (words.empty() || !ParseFaultKind(words[0], fault.kind)) {
    error = "unknown fault kind in \"" + text + "\"";
    return false;
  }
  return ParseFaultOptions(
      words, "fault",
      [&](const std::string& key, const std::string& value) {
        if (key == "code") return ParseCommand(value, fault.code);
        if (key == "skip") return ParseU32(value, fault.skip);
        if (key == "times") return ParseU32(value, fault.times);
        if (key == "delay") return ParseU32(value, fault.delayMs);
        if (key == "gap") return ParseU32(value, fault.gapMs);
        if (key == "value" || key == "parts") return ParseU32(value, fault.value);
        if (key == "replug") {
          if (value != "never") return ParseU32(value, fault.replugMs);
          fault.replugMs = kNever;
          return true;
        }
        if (key == "bytes") return ParseHexBytes(value, fault.bytes);
        if (key == "at") {
          uint32_t at = 0;
          if (!ParseU32(value, at)) return false;
          fault.at = at;
          return true;
        }
        return false;
      },
      error);
}

bool ParseTransportFault(const std::string& text, TransportFault& fault, std::string& error) {
  const auto words = Words(text);
  fault = TransportFault{};
  if (words.empty() || !ParseTransportFaultKind(words[0], fault.kind)) {
    error = "unknown transport fault kind in \"" + text + "\"";
    return false;
  }
  return ParseFaultOptions(
      words, "transport fault",
      [&](const std::string& key, const std::string& value) {
        if (key == "on") {
          if (value == "READ") {
            fault.request = kRead;
          } else if (value == "WRITE") {
            fault.request = kWrite;
          } else if (value == "CONTROL") {
            fault.request = kControl;
          } else {
            fault.request = 0;
            return value == "any";
          }
          return true;
        }
        if (key == "skip") return ParseU32(value, fault.skip);
        if (key == "times") return ParseU32(value, fault.times);
        if (key == "value") return ParseU32(value, fault.value);
        return false;
      },
      error);
}

bool ApplySetting(InstrumentConfig& config, const std::string& rawKey, const std::string& rawValue,
                  std::string& error) {
  const std::string key = Trim(rawKey);
  const std::string value = Trim(rawValue);
  bool ok = false;
  if (key.rfind("vstring.", 0) == 0 || key.rfind("vsfr.", 0) == 0) {
    const bool isString = key.rfind("vstring.", 0) == 0;
    uint32_t id = 0;
    if (ParseU32(key.substr(isString ? 8 : 5), id)) {
      if (isString) {
        VirtualString item{id, {}};
        ok = ParseData(value, item.data);
        std::erase_if(config.strings, [id](const VirtualString& s) { return s.id == id; });
        if (ok) config.strings.push_back(std::move(item));
      } else {
        const auto w = Words(value);
        VirtualRegister reg{id, 0, true};
        ok = (w.size() == 1 || (w.size() == 2 && w[1] == "ro")) && ParseU32(w[0], reg.value);
        reg.writable = w.size() == 1;
        std::erase_if(config.registers, [id](const VirtualRegister& r) { return r.id == id; });
        if (ok) config.registers.push_back(reg);
      }
    }
  } else if (key.rfind("flash_area.", 0) == 0) {
    uint32_t area = 0;
    std::vector<uint8_t> bytes;
    ok = ParseU32(key.substr(11), area) && ParseData(value, bytes);
    if (ok) config.flashAreas[area] = bytes;
  } else if (key == "fault") {
    Fault fault;
    if (!ParseFault(value, fault, error)) return false;
    config.faults.push_back(fault);
    return true;
  } else if (key == "transport_fault") {
    TransportFault fault;
    if (!ParseTransportFault(value, fault, error)) return false;
    config.transportFault = fault;
    return true;
  } else if (key == "script") {
    // "CMD [KIND options]": the next command expected and how it is answered.
    const size_t space = value.find_first_of(" \t");
    const std::string command = value.substr(0, space);
    ScriptStep step;
    if (command != "any" && !ParseCommand(command, step.code)) {
      error = "unknown command \"" + command + "\" in script step";
      return false;
    }
    if (space != std::string::npos && !Trim(value.substr(space)).empty()) {
      Fault fault;
      if (!ParseFault(Trim(value.substr(space)), fault, error)) return false;
      step.faults.push_back(fault);
    }
    config.script.push_back(step);
    return true;
  } else {
    const auto& setters = Setters();
    const auto it = setters.find(key);
    if (it == setters.end()) {
      error = "unknown key \"" + key + "\"";
      return false;
    }
    ok = it->second(config, value);
  }
  if (!ok) error = "bad value for \"" + key + "\": \"" + value + "\"";
  return ok;
}

bool ParseSetupText(const std::string& text, SimulatorSetup& setup, std::string& error) {
  std::istringstream in(text);
  InstrumentConfig* current = nullptr;
  unsigned lineNumber = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++lineNumber;
    const std::string line = Trim(raw);
    auto fail = [&](const std::string& why) {
      error = "line " + std::to_string(lineNumber) + ": " + why;
      return false;
    };
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return fail("unclosed section header");
      const auto words = Words(line.substr(1, line.size() - 2));
      if (words.size() != 2 || words[0] != "instrument") return fail("expected [instrument NAME]");
      setup.instruments.emplace_back();
      current = &setup.instruments.back();
      current->name = words[1];
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected key = value");
    const std::string key = Trim(line.substr(0, eq));
    const std::string value = Trim(line.substr(eq + 1));
    if (current == nullptr) {
      if (key == "root") {
        setup.root = value;
      } else if (key == "time_scale") {
        char* end = nullptr;
        setup.timeScale = std::strtod(value.c_str(), &end);
        if (end == value.c_str() || *end != '\0' || setup.timeScale <= 0)
          return fail("bad time_scale");
      } else {
        return fail("unknown key \"" + key + "\" before the first [instrument]");
      }
      continue;
    }
    std::string why;
    if (!ApplySetting(*current, key, value, why)) return fail(why);
  }
  return true;
}

const char* SettingsHelp() {
  return R"(Instrument keys (config file lines "key = value", or --set key=value):
  class                 interface class folder (default {A5DCBF10-6530-11D2-901F-00C04FB951ED})
  service, location, description
                        enumeration properties; "<none>" leaves the property out
  driver_version        text of the driver-version control request (nvsim 1.0)
  handle_status         word of the handle-status request; 0xC0000008 = handle in use
  refuse_open           yes: every open is refused as a sharing violation
  loopback              yes: no instrument, every write comes back as one transfer
  target_id             SET_EXCHANGE target id (0xDADA0105)
  buffers               "IN OUT" buffer sizes reported by SET_EXCHANGE (1024 1024)
  interface             optional SET_EXCHANGE interface word (byte 0 IF_READY, byte 1 IF_TYPE)
  status                GET_STATUS word (BOOT_BIT follows the mode) (0x4)
  loader                yes: starts in its loader (BOOT_BIT set)
  hwid                  "LOW MID HIGH" hardware id words of GET_SERIAL
  serial_extra          hex bytes after the hardware id in GET_SERIAL
  serial_reply          hex bytes: the whole GET_SERIAL payload instead
  serial, trg_file, prod_name, mnfct_name, comment
                        public area texts (ProdSerNumber, TrgFileName, ...)
  public_signat, struct_len, boot_signat, calib_bp0, calib_bp290, vid, pid,
  area_target_id, target_start_timeout
                        public area numbers
  public_area_size      bytes of the public area served (448)
  public_area_hex       hex bytes: the raw public area instead
  flash_area.N          contents of flash area N (text:... or hex:...)
  flash_seed            RD_FLASH_AREA mask seed (0: a new seed every read)
  boot_version, target_version
                        "MAJOR.MINOR" (1.02) or a number
  boot_date, target_date, version_suffix
                        GET_VERSION texts
  signature, signature_file, signature_text, signature_status (hex)
                        RD_SIGNAT record
  vstring.ID            virtual string ID (e.g. vstring.0x203) = text:... or hex:...
  vsfr.ID               virtual register ID = VALUE [ro]
  start_status          START_TARGET flash status (0; 13 = FLASH_INVALID_TARGET)
  reset_stays_in_target yes: RESET_TARGET re-enumerates but stays in the target
  drop_delay            ms between a mode-switch reply and dropping off the bus (50)
  reenum_delay          ms away from the bus during a mode switch (1000)
  flash_base, flash_size
                        the flash, [base, base + size) (0, 0x100000), erased to 0xFF
  flash_needs_loader    yes: LOAD_TARGET, WR_SIGNAT and blocks answer FLASH_INIT_ER (7)
                        in target mode (yes)
  image_support         no: FW_IMAGE_* are unrecognized commands (yes)
  image_chunk           largest FW_IMAGE_WRITE data, reported by FW_IMAGE_GET_INFO (256)
  image_capacity        bytes the staging memory holds (0x200000)
  burn_wait             ms FW_IMAGE_UPDATE reports (300)
  burn_away             ms off the bus after an update (default burn_wait); never: it
                        does not come back
  staged                PATH [COUNT|all] [bad-crc]: the first COUNT bytes of the file are
                        held in the staging memory at power-up; bad-crc alters one of them
  fault                 KIND [code=CMD] [skip=N] [times=N] [delay=MS] [gap=MS]
                             [value=N] [replug=MS|never] [bytes=HEX] [at=N]
  script                CMD|any [KIND options]: the next step of a script; steps play in
                        order, one per command (a command that is not the one expected is
                        answered normally)
      KIND: no-reply late split wrong-index wrong-code unrecognized truncate
            overstate-length oversize garbage raw unplug status
      code: a command name (GET_VERSION) or number; none = every command
      at: only commands whose offset (FW_IMAGE_WRITE) or address (LOAD_TARGET,
          block command 0x80000106; first parameter of others) is N
      status: the command is not carried out and answers u32 `value`
      times: commands affected (1); 0 = all of them
  transport_fault       KIND [on=READ|WRITE|CONTROL|any] [skip=N] [times=N] [value=N]
                        the driver itself misbehaves: the request (or, for the greeting
                        kinds, the connection) gets a frame that breaks the stream
      KIND: oversize-frame undersize-frame unknown-type wrong-type short-frame
            count-above-max count-beyond-frame (READ, CONTROL)
            no-greeting bad-greeting close-before-greeting (new connections)
)";
}

}  // namespace nvsim
