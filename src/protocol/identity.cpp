// Session set-up and identification: SET_EXCHANGE, GET_STATUS, flash areas,
// the public area, versions, serial number and the identification sequence.
#include <cstring>
#include <iterator>
#include <string>

#include "base/datetime.h"
#include "base/format.h"
#include "base/log.h"
#include "base/numbers.h"
#include "platform/codepage.h"
#include "platform/time.h"
#include "protocol/real_usb_device.h"

namespace {

struct BitName {
  uint32_t bit;
  const char* name;
};

// Table order: down the left column, then down the right one. A bit named
// twice takes its first name.
constexpr BitName kStatusBits[] = {
    {0x00000001, "BOOT_BIT"},
    {0x00000002, "INIT_BIT"},
    {0x00000004, "RUN_BIT"},
    {0x00000008, "DEBUG_BIT"},
    {0x00000010, "LCD_BIT"},
    {0x00000020, "SDC_BIT"},
    {0x00000040, "EMU_BIT"},
    {0x00000080, "USB_TIMEOUT"},
    {0x00000100, "IR1_LED_BIT"},
    {0x00000200, "IR2_LED_BIT"},
    {0x00000400, "FRAME_BIT"},
    {0x00000800, "ACC_BIT"},
    {0x00010000, "Ch1 Enabled"},
    {0x00020000, "Ch1 Not Connected"},
    {0x00040000, "Ch1 High Freq"},
    {0x00080000, "Ch1 Read Overflow"},
    {0x01000000, "Ch2 Enabled"},
    {0x02000000, "Ch2 Not Connected"},
    {0x04000000, "Ch2 High Freq"},
    {0x08000000, "Ch2 Read Overflow"},
    {0x10000000, "VALVE_FAST_BIT"},
    {0x20000000, "VALVE_SLOW_BIT"},
    {0x00100000, "CH1_ADC_ENA_BIT"},
    {0x00200000, "CH2_ADC_ENA_BIT"},
    {0x00400000, "CH_ADC1_OF_BIT"},
    {0x00800000, "CH_ADC2_OF_BIT"},
    {0x80000000, "PRESS_BIT"},
    {0x40000000, "PRESS_2_BIT"},
    {0x00001000, "CH1_SpO2_BIT"},
    {0x00002000, "CH2_SpO2_BIT"},
    {0x40000000, "CALIB_ERROR_BIT"},
    {0x00004000, "POWER_OK_BIT"},
    {0x00008000, "BLOOD_PRESSURE_ASSESMENT"},
};

constexpr BitName kMaskBits[] = {
    {0x2, "CH1_MASK"},       {0x4, "CH2_MASK"},       {0x8, "CH1_SpO2_MASK"},
    {0x10, "CH2_SpO2_MASK"}, {0x100, "IR1_ENA_MASK"}, {0x200, "IR2_ENA_MASK"},
};

// Public-area layout.
constexpr size_t kProdSerNumberOffset = 12;
constexpr size_t kTrgFileNameOffset = 44;
constexpr size_t kProdNameOffset = 76;
constexpr size_t kMnfctNameOffset = 152;
constexpr size_t kCommentOffset = 192;
constexpr size_t kFirstFieldsSize = 140;
constexpr size_t kMiddleFieldsSize = 184;
constexpr size_t kTargetIdSize = 188;
constexpr size_t kStartTimeOutSize = 192;
constexpr size_t kCommentSize = 448;

uint32_t AreaU32(const std::vector<uint8_t>& area, size_t offset) {
  return static_cast<uint32_t>(area[offset]) | static_cast<uint32_t>(area[offset + 1]) << 8 |
         static_cast<uint32_t>(area[offset + 2]) << 16 |
         static_cast<uint32_t>(area[offset + 3]) << 24;
}

uint32_t AreaU16(const std::vector<uint8_t>& area, size_t offset) {
  return static_cast<uint32_t>(area[offset]) | static_cast<uint32_t>(area[offset + 1]) << 8;
}

// A character field of the area; the instrument's NUL is not trusted, the
// text ends with the field (or the area).
std::string AreaText(const std::vector<uint8_t>& area, size_t offset, size_t width) {
  if (offset >= area.size()) return std::string();
  const size_t available = std::min(width, area.size() - offset);
  const char* start = reinterpret_cast<const char*>(area.data() + offset);
  const void* nul = std::memchr(start, 0, available);
  const size_t length = nul != nullptr ? static_cast<const char*>(nul) - start : available;
  return std::string(start, length);
}

}  // namespace

PStr DosDateTimeText(uint32_t dosDateTime) {
  platform::SystemTime time;
  if (!DosDateTimeToSystemTime(dosDateTime, time)) return PStr("");
  return DateTimeText(time, kDtDefault);
}

uint32_t MaskFlashLength(uint32_t length) {
  uint32_t result = 0;
  for (uint32_t i = 0; i < 4; ++i) {
    const uint32_t byte = ((length >> (8 * i)) ^ NextRandom()) & 0xFF;
    result |= byte << (8 * i);
  }
  return result;
}

void MaskFlashBytes(uint8_t* data, size_t count) {
  for (size_t i = 0; i < count; ++i)
    data[i] = static_cast<uint8_t>(data[i] ^ NextRandom());
}

bool RealUSBDevice::SetExchange() {
  IfReady = 1;
  IfType = 0;
  InterfaceWordReceived = false;

  // No exchange retry here: the handshake has its own second try.
  struct RetryRestore {
    bool& flag;
    bool saved;
    ~RetryRestore() { flag = saved; }
  } restoreRetry{RetryEnabled, RetryEnabled};
  RetryEnabled = false;

  PurgeInput();
  const uint32_t timeout = Timeout;
  SetTimeout(SetupTimeout);

  uint32_t targetId = 0;
  uint16_t inSize = 0;
  uint16_t outSize = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt != 0) {
      ResetChannel();
      ErrorEvent.Reset();
      platform::Sleep(kSetExchangePause);
    }
    BeginCommand(SET_EXCHANGE).PutU32(HOST_ID);
    ReplyDelay = 10;
    Exchange();
    if (!WasError && TakeU32(targetId) && TakeU16(inSize) && TakeU16(outSize)) {
      // Any byte left starts the interface word, which must then be whole: a
      // word cut short fails the take, and so this try.
      if (ReplyBytesLeft() != 0) {
        uint8_t word[4] = {};
        if (TakeReplyBytes(word, sizeof word)) {
          IfReady = word[0];
          IfType = word[1];
          InterfaceWordReceived = true;
        }
      }
    }
    if (!WasError) break;
  }
  SetTimeout(timeout);

  if (WasError) return false;
  TargetId = targetId;
  const PStr interfaceText = InterfaceWordReceived ? FormatStr(", IF_READY = %u, IF_TYPE = %s",
                                                               IfReady, InterfaceTypeName(IfType))
                                                   : PStr("");
  Log("SET_EXCHANGE: TargetId = %s, In buffer size: %u, Out buffer size: %u%s\n",
      TargetIdName(TargetId).c_str(), inSize, outSize, interfaceText.c_str());
  InBufferSize = inSize;
  OutBufferSize = outSize;
  if (USBDeviceBuffer* buffer = GetThreadBuffer()) {
    buffer->RewindInput();
    buffer->ReserveInput(InBufferSize);
    buffer->RewindInput();
  }
  return true;
}

bool RealUSBDevice::GetStatus() {
  BeginCommand(GET_STATUS).Exchange();
  if (WasError) return false;
  // An "unrecognized command" reply carries no status word: nothing is read,
  // StatusWord keeps its value and the caller sees the reply code.
  if (ReplyCode == kUnrecognizedCommand) return true;
  uint32_t status = 0;
  if (!TakeU32(status)) return false;
  StatusWord = status;
  if (CommandTraceLevel(GET_STATUS) == 1) {
    PStr text;
    StatusText(text, StatusWord);
    Log("%s\n", text.c_str());
  }
  return true;
}

bool RealUSBDevice::ReadFlashArea(uint32_t area, std::vector<uint8_t>& data) {
  data.clear();
  BeginCommand(RD_FLASH_AREA).PutU32(area).Exchange();
  if (WasError || ReplyCode != CommandCode) return false;
  uint32_t status = 0;
  if (!TakeU32(status)) return false;
  Log("%s\n", FlashStatusName(status));
  if (status != FLASH_OK) {
    ReplyCode = kUnrecognizedCommand;
    return false;
  }
  uint32_t seed = 0;
  uint32_t maskedLength = 0;
  if (!TakeU32(seed) || !TakeU32(maskedLength)) return false;
  SeedRandom(seed);
  const uint32_t length = MaskFlashLength(maskedLength);
  if (!CheckReplyLength("RD_FLASH_AREA", length)) return false;
  data.resize(length);
  if (length != 0 && !TakeReplyBytes(data.data(), length)) {
    data.clear();
    return false;
  }
  MaskFlashBytes(data.data(), data.size());
  return true;
}

bool RealUSBDevice::ReadPublicArea() {
  PublicArea.clear();
  SkipChecks = true;
  std::vector<uint8_t> area;
  if (!ReadFlashArea(1, area)) {
    // An instrument without the command (or the area) has no public area.
    if (ReplyCode != kUnrecognizedCommand) return false;
    WasError = false;
  } else {
    PublicArea = std::move(area);
  }
  LogPublicArea();
  return true;
}

void RealUSBDevice::LogPublicArea() {
  const std::vector<uint8_t>& a = PublicArea;
  const size_t size = a.size();
  if (size < kFirstFieldsSize) {
    Log("PUBLIC area size is too small (%u)\n", static_cast<uint32_t>(size));
    return;
  }
  const uint32_t bootSignat = AreaU32(a, 8);
  Log("%s---- PUBLIC_AREA ----\n", "");
  Log("PublicSignat       = 0x%X\n", AreaU32(a, 0));
  Log("StructLen          = %u\n", AreaU32(a, 4));
  Log("BootSignat         = 0x%X (%s)\n", bootSignat, DosDateTimeText(bootSignat).c_str());
  Log("ProdSerNumber      = \"%s\"\n", AreaText(a, kProdSerNumberOffset, 32).c_str());
  Log("TrgFileName        = \"%s\"\n", AreaText(a, kTrgFileNameOffset, 32).c_str());
  Log("ProdName           = \"%s\"\n", AreaText(a, kProdNameOffset, 64).c_str());
  if (size >= kMiddleFieldsSize) {
    Log("CalibBP0           = %u\n", AreaU32(a, 140));
    Log("CalibBP290         = %u\n", AreaU32(a, 144));
    Log("VID                = 0x%X\n", AreaU16(a, 148));
    Log("PID                = 0x%X\n", AreaU16(a, 150));
    Log("MnfctName          = \"%s\"\n", AreaText(a, kMnfctNameOffset, 32).c_str());
  }
  if (size >= kTargetIdSize) Log("Target_ID          = 0x%X\n", AreaU32(a, 184));
  if (size >= kStartTimeOutSize) Log("TargetStartTimeOut = %u\n", AreaU32(a, 188));
  if (size >= kCommentSize)
    Log("Comment            = \"%s\"\n", AreaText(a, kCommentOffset, 256).c_str());
}

bool RealUSBDevice::ReadVersions() {
  BeginCommand(GET_VERSION).Exchange();
  if (WasError) return false;
  uint32_t bootVersion = 0;
  uint32_t targetVersion = 0;
  uint8_t n = 0;
  char bootDate[256] = {};
  char targetDate[256] = {};
  if (!TakeU32(bootVersion) || !TakeU8(n) || !TakeReplyBytes(bootDate, n)) return false;
  if (!TakeU32(targetVersion) || !TakeU8(n) || !TakeReplyBytes(targetDate, n)) return false;
  std::u16string suffix;
  if (ReplyBytesLeft() != 0) {
    uint8_t m = 0;
    if (!TakeU8(m)) return false;
    for (uint32_t i = 0; i < m; ++i) {
      uint16_t unit = 0;
      if (!TakeU16(unit)) return false;
      suffix.push_back(static_cast<char16_t>(unit));
    }
  }
  BootVersion = bootVersion;
  TargetVersion = targetVersion;
  BootDate = bootDate;
  TargetDate = targetDate;
  VersionSuffix = suffix;
  BootVersionText =
      FormatStr("%u.%02u, %s", BootVersion >> 16, BootVersion & 0xFFFF, bootDate).c_str();
  const PStr narrowSuffix =
      suffix.empty() ? PStr("") : NarrowFromWide(suffix.c_str(), platform::kCodePageAnsi);
  TargetVersionText = FormatStr("%u.%02u%s, %s", TargetVersion >> 16, TargetVersion & 0xFFFF,
                                narrowSuffix.IsNull() ? "" : narrowSuffix.c_str(), targetDate)
                          .c_str();
  SerialNumber = "";

  // An instrument whose signature record carries an empty text has no
  // serial number to read.
  if (SignatureTextReceived && SignatureText.Length() == 0) return !WasError;
  if (!ReadSerial()) return !WasError;

  if (PublicArea.empty()) ReadPublicArea();
  ProductName = "";
  if (PublicArea.size() >= kFirstFieldsSize) {
    const std::string name = AreaText(PublicArea, kProdNameOffset, 64);
    if (!name.empty()) ProductName = name.c_str();
  }
  std::string serial;
  if (PublicArea.size() >= kTrgFileNameOffset) {
    serial = AreaText(PublicArea, kProdSerNumberOffset, 32);
    SerialNumber = serial.c_str();
  }
  if (PublicArea.empty() || serial.empty()) SerialNumber = HardwareIdText().c_str();
  if (g_TraceLevel >= 1) {
    Log("\nBoot version:      %s\nTarget version:    %s\nSerial Number:     %s\nHW Serial "
        "Number:  %s\n",
        BootVersionText.Text(), TargetVersionText.Text(), SerialNumber.Text(),
        HardwareIdText().c_str());
  }
  return !WasError;
}

bool RealUSBDevice::ReadSerial() {
  BeginCommand(GET_SERIAL).Exchange();
  uint32_t length = 0;
  if (WasError || !TakeU32(length)) return false;
  if (length > kMaxSerialLength) return false;
  if (!CheckReplyLength("GET_SERIAL", length)) return false;
  // Fewer than 12 bytes leave the missing words zero.
  uint8_t bytes[12] = {};
  const uint32_t used = length < sizeof bytes ? length : static_cast<uint32_t>(sizeof bytes);
  if (!TakeReplyBytes(bytes, used)) return false;
  for (int i = 0; i < 3; ++i) {
    HardwareId[i] = static_cast<uint32_t>(bytes[4 * i]) |
                    static_cast<uint32_t>(bytes[4 * i + 1]) << 8 |
                    static_cast<uint32_t>(bytes[4 * i + 2]) << 16 |
                    static_cast<uint32_t>(bytes[4 * i + 3]) << 24;
  }
  if (length > used && !TakeReplyBytes(nullptr, length - used)) return false;
  return true;
}

bool RealUSBDevice::ReadIdentity() {
  // 1. The session.
  if (TargetId == 0 && !SetExchange()) return false;
  // 2. Status.
  if (!GetStatus()) return false;
  PStr status;
  StatusText(status, StatusWord);
  Log("%s\n", status.c_str());
  // 3. Public area.
  if (!ReadPublicArea()) return false;
  // 4. The target's signature against the target file.
  uint32_t fileSignature = kNoSignature;
  PStr fileName;
  const bool match = CheckTargetSignature(fileSignature, fileName);
  if (WasError) return false;
  ForceTargetUpload = false;
  // 5. Versions and serial number.
  if (!ReadVersions()) return false;
  // 6. The target file's version.
  ReadTargetFileVersion(fileName);
  // 7. A different target is programmed.
  if (!match && !ProgramTarget(fileName.c_str())) return false;
  // 8. An instrument in its loader starts its target.
  if ((StatusWord & BOOT_BIT) != 0 && !StartTarget()) return false;
  // 9. The public area, if the instrument could not give it before.
  if (PublicArea.empty() && !ReadPublicArea()) return false;
  // 10. Back to the normal time-out, and the identity of the running target.
  SetTimeout(DefaultTimeout);
  CheckTargetSignature(fileSignature, fileName);
  return ReadVersions();
}

void RealUSBDevice::BitWordText(PStr& text, const char* title, uint32_t word, bool status) {
  std::string out;
  if (title != nullptr) {
    out += title;
    out += " = ";
  }
  char piece[24];
  FormatTo(piece, sizeof piece, "%08X", word);
  out += piece;
  bool first = true;
  for (uint32_t bit = 0; bit < 32; ++bit) {
    const uint32_t value = 1u << bit;
    if ((word & value) == 0) continue;
    out += first ? ": " : ", ";
    first = false;
    const char* name = nullptr;
    if (status) {
      for (const BitName& row : kStatusBits)
        if (row.bit == value) {
          name = row.name;
          break;
        }
    } else {
      for (const BitName& row : kMaskBits)
        if (row.bit == value) {
          name = row.name;
          break;
        }
    }
    if (name != nullptr) {
      out += name;
    } else {
      FormatTo(piece, sizeof piece, "0x%X", value);
      out += piece;
    }
  }
  text = out.c_str();
}

void RealUSBDevice::StatusText(PStr& text, uint32_t status) {
  BitWordText(text, "Status", status, true);
}

void RealUSBDevice::MaskText(PStr& text, uint32_t mask) {
  BitWordText(text, nullptr, mask, false);
}
