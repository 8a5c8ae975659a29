// The command exchange: frame, send, reply checks, the one retry, trace lines.
#include <cstring>
#include <string>

#include "base/format.h"
#include "base/log.h"
#include "base/numbers.h"
#include "base/options.h"
#include "platform/time.h"
#include "protocol/real_usb_device.h"

namespace {

uint32_t LoadU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreU32(unsigned char* p, uint32_t value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
  p[2] = static_cast<unsigned char>(value >> 16);
  p[3] = static_cast<unsigned char>(value >> 24);
}

constexpr uint8_t kIndexLowBits = 0x1F;

// Upper-case hex digits for the trace lines, written directly: a trace line
// shows up to kDumpLimit bytes and is built for every traced exchange.
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Two digits ("%02X").
void AppendHexByte(std::string& out, uint8_t value) {
  const char digits[2] = {kHexDigits[value >> 4], kHexDigits[value & 0xF]};
  out.append(digits, 2);
}

// Eight digits ("%08X").
void AppendHexWord(std::string& out, uint32_t value) {
  char digits[8];
  for (int i = 7; i >= 0; --i, value >>= 4)
    digits[i] = kHexDigits[value & 0xF];
  out.append(digits, 8);
}

}  // namespace

RealUSBDevice::RealUSBDevice(const char* path) : ZdUSBDevice(path) {
  ExchangeIndex &= static_cast<uint8_t>(~kIndexLowBits);
  ReplyDelay = 0;
  IndexingEnabled = true;
  RetryEnabled = true;
  NoDebugTraceOnError = false;
  IgnoreSignature = false;
  ForceTargetUpload = IsOptionOn(kOptForceTargetUpload);
}

RealUSBDevice::~RealUSBDevice() = default;

bool RealUSBDevice::IsEqual(const BaseObject* other) const {
  const auto* device = dynamic_cast<const RealUSBDevice*>(other);
  if (device == nullptr) return false;
  return HardwareIdValid() && device->HardwareIdValid() &&
         std::memcmp(HardwareId, device->HardwareId, sizeof HardwareId) == 0;
}

bool RealUSBDevice::HardwareIdValid() const {
  return HardwareId[0] != 0 && HardwareId[1] != 0 && HardwareId[2] != 0;
}

PStr RealUSBDevice::HardwareIdText() const {
  const bool wide =
      HardwareId[0] > 0xFFFFFF || HardwareId[1] > 0xFFFFFF || HardwareId[2] > 0xFFFFFF;
  return FormatStr(wide ? "%08X-%08X-%08X" : "%06X-%06X-%06X", HardwareId[0], HardwareId[1],
                   HardwareId[2]);
}

RealUSBDevice& RealUSBDevice::BeginCommand(uint32_t code) {
  USBDeviceBuffer* buffer = GetThreadBuffer();
  WasError = false;
  if (buffer == nullptr) {
    // No buffer for this thread: the exchange fails before sending.
    FailureText = "Cannot create the I/O buffer of this thread";
    WasError = true;
    return *this;
  }
  buffer->RewindOutput();
  buffer->PutU32(0).PutU32(code);
  return *this;
}

RealUSBDevice& RealUSBDevice::PutU32(uint32_t value) {
  if (USBDeviceBuffer* buffer = GetThreadBuffer()) buffer->PutU32(value);
  return *this;
}

RealUSBDevice& RealUSBDevice::PutBytes(const void* data, uint32_t count) {
  if (USBDeviceBuffer* buffer = GetThreadBuffer()) buffer->PutBytes(data, count);
  return *this;
}

bool RealUSBDevice::TakeReplyBytes(void* destination, uint32_t count) {
  USBDeviceBuffer* buffer = GetThreadBuffer();
  if (buffer != nullptr && buffer->GetData(destination, count)) return true;
  if (buffer != nullptr) FailureText = buffer->ErrorText;
  WasError = true;
  return false;
}

bool RealUSBDevice::TakeU8(uint8_t& value) {
  return TakeReplyBytes(&value, 1);
}

bool RealUSBDevice::TakeU16(uint16_t& value) {
  unsigned char bytes[2];
  const bool ok = TakeReplyBytes(bytes, sizeof bytes);
  value = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
  return ok;
}

bool RealUSBDevice::TakeU32(uint32_t& value) {
  unsigned char bytes[4];
  const bool ok = TakeReplyBytes(bytes, sizeof bytes);
  value = LoadU32(bytes);
  return ok;
}

uint32_t RealUSBDevice::ReplyBytesLeft() {
  USBDeviceBuffer* buffer = GetThreadBuffer();
  return buffer != nullptr ? buffer->InPending() : 0;
}

bool RealUSBDevice::CheckReplyLength(const char* command, uint32_t length) {
  const uint32_t left = ReplyBytesLeft();
  if (length <= left) return true;
  FailureText =
      FormatStr("%s: length %u exceeds the %u bytes left in the reply", command, length, left)
          .c_str();
  Log("%s\n", FailureText.Text());
  WasError = true;
  return false;
}

RealUSBDevice& RealUSBDevice::Exchange() {
  // A failed device refuses until the session is set up again.
  if (ErrorEvent.Wait(0)) {
    Log("ErrorEvent is set, returning\n");
    WasError = true;
    return *this;
  }
  // The lock is held to the end of the finish step.
  InCommand = true;
  ExchangeLocker.Lock();
  Unlocker unlock(ExchangeLocker);
  USBDeviceBuffer* buffer = GetThreadBuffer();
  if (!ReadyToSend(buffer)) {
    FinishExchange();
    return *this;
  }

  ExchangeStartTick = platform::TickCount();
  const uint32_t attempts = RetryEnabled ? 2 : 1;
  for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
    if (attempt != 0) PrepareRetry();
    const AttemptResult result = Attempt(*buffer);
    if (result == AttemptResult::kReplySkipped) {
      FinishExchange();
      return *this;
    }
    if (result == AttemptResult::kDone) break;
  }
  // The finish step still reports the frame; the output is rewound after it.
  FinishExchange();
  buffer->RewindOutput();
  return *this;
}

bool RealUSBDevice::ReadyToSend(const USBDeviceBuffer* buffer) {
  // ReplyEvent is reset while an exchange runs: this thread re-entered.
  if (!ReplyEvent.Wait(0)) {
    FailureText = "Attempt to transmit data to the USB device recursively";
    WasError = true;
    return false;
  }
  // Building the frame failed.
  if (WasError || buffer == nullptr) {
    WasError = true;
    return false;
  }
  return true;
}

void RealUSBDevice::PrepareRetry() {
  WasError = false;
  ErrorEvent.Reset();
  platform::Sleep(kRetryPause);
  Log("\n%s\nRetrying command...\n", FailureText.Text() != nullptr ? FailureText.Text() : "");
  FailureText = "";
}

RealUSBDevice::AttemptResult RealUSBDevice::Attempt(USBDeviceBuffer& buffer) {
  ReplyEvent.Reset();
  Traced = false;
  ReplyCode = 0;
  unsigned char* frame = buffer.OutBegin();
  const uint32_t size = buffer.OutLength();
  StampFrame(frame, size);
  TraceCommand();

  if (size != 0 && !Write(frame, size)) {
    ReportSendFailure();
    UnstampFrame(frame, size);
    return AttemptResult::kFailed;
  }
  if (ReplyDelay == kSkipReply) {
    Log(" <Skipping reply>\n");
    ReplyEvent.Set();
    return AttemptResult::kReplySkipped;
  }
  if (ReplyDelay != 0) platform::Sleep(ReplyDelay);

  buffer.RewindInput();
  const bool ok = ReadReply();
  ReplyTick = platform::TickCount();
  if (!ok) {
    WasError = true;
  } else if (Traced) {
    PStr line;
    DescribeReply(line, ReplyTick - ExchangeStartTick);
    Log("%s\n", line.c_str());
  }
  if (!WasError) return AttemptResult::kDone;
  UnstampFrame(frame, size);
  return AttemptResult::kFailed;
}

void RealUSBDevice::StampFrame(unsigned char* frame, uint32_t size) {
  if (size >= 8) {
    CommandCode = LoadU32(frame + 4);
    StoreU32(frame, size - 4);
    frame[7] |= static_cast<unsigned char>(ExchangeIndex & kIndexLowBits);
    CommandWord = LoadU32(frame + 4);
  }
  if (IndexingEnabled)
    ExchangeIndex = static_cast<uint8_t>((ExchangeIndex & ~kIndexLowBits) |
                                         ((ExchangeIndex + 1) & kIndexLowBits));
}

void RealUSBDevice::UnstampFrame(unsigned char* frame, uint32_t size) {
  if (size >= 8) frame[7] &= static_cast<unsigned char>(~kIndexLowBits);
  if (IndexingEnabled)
    ExchangeIndex = static_cast<uint8_t>((ExchangeIndex & ~kIndexLowBits) |
                                         ((ExchangeIndex - 1) & kIndexLowBits));
}

void RealUSBDevice::TraceCommand() {
  if (g_TraceLevel < 1) return;
  PStr line;
  DescribeCommand(line, false);
  if (line.IsEmpty()) return;
  Log("%s", line.c_str());
  Traced = true;
}

void RealUSBDevice::ReportSendFailure() {
  FailureText = "Error occurred while trying to send command:\n";
  PStr line;
  DescribeCommand(line, true);
  if (!line.IsEmpty()) Log("%s\n", line.c_str());
  WasError = true;
}

bool RealUSBDevice::ReadReply() {
  USBDeviceBuffer* buffer = GetThreadBuffer();
  const uint32_t inputSize = InBufferSize;
  uint32_t received = 0;
  if (!ReceiveReply(buffer, inputSize, received)) return false;
  uint32_t replyWord = 0;
  if (!CheckReplyHeader(*buffer, inputSize, received, replyWord))
    return DumpReply(*buffer, received);
  ReplyCode = replyWord & kReplyCodeMask;
  if (!SkipChecks && !CheckReplyWord(replyWord)) return DumpReply(*buffer, received);
  if (WasError) return false;
  if (!CheckTransferSize(received)) return DumpReply(*buffer, received);
  return ReadReplyRest(*buffer, received);
}

bool RealUSBDevice::ReceiveReply(USBDeviceBuffer* buffer, uint32_t inputSize, uint32_t& received) {
  const char* const failure = "Error occurred while reading reply to command ";
  if (buffer == nullptr) {
    FailureText = failure;
    return false;
  }
  buffer->RewindInput();
  unsigned char* room = buffer->ReserveInput(inputSize);
  if (room == nullptr) {
    buffer->RewindInput();
    FailureText = failure;
    return false;
  }
  const bool read = Read(room, inputSize, false);
  LastBytesReturned = BytesTransferred;
  buffer->InPos = 0;
  buffer->InEnd = read ? BytesTransferred : 0;
  if (!read) {
    FailureText = failure;
    return false;
  }
  received = BytesTransferred;
  if (received == 0) {
    FailureText = "Possibly timeout while reading reply to command ";
    return false;
  }
  return true;
}

bool RealUSBDevice::CheckReplyHeader(USBDeviceBuffer& buffer, uint32_t inputSize, uint32_t received,
                                     uint32_t& replyWord) {
  if (received < 8) {
    FailureText = FormatStr("Target reply length (%u) < 8 to command ", received).c_str();
    return false;
  }
  buffer.GetU32(ReplyLength).GetU32(replyWord);
  if (ReplyLength > inputSize) {
    FailureText = FormatStr(
                      "Target reply length (%u) > size of the input buffer (%u).\nReply: %08X, "
                      "LastBytesReturned = %u\nLast command:",
                      ReplyLength, inputSize, replyWord, received)
                      .c_str();
    return false;
  }
  // A length that does not even cover the reply word is as short as a
  // reply of fewer than 8 bytes.
  if (ReplyLength < 4) {
    FailureText = FormatStr("Target reply length (%u) < 8 to command ", ReplyLength + 4).c_str();
    return false;
  }
  return true;
}

bool RealUSBDevice::CheckReplyWord(uint32_t replyWord) {
  if (ReplyCode == kUnrecognizedCommand) {
    LastError =
        FormatStr("Target reports unrecognized command %s", CommandNameText(CommandCode).c_str())
            .c_str();
    return true;
  }
  if (ReplyCode != CommandCode) {
    PurgeInput();
    FailureText = FormatStr("Target reports error %08X to command %s", ReplyCode,
                            CommandNameText(CommandCode).c_str())
                      .c_str();
    return false;
  }
  if ((replyWord & kIndexBits) != (CommandWord & kIndexBits)) {
    PurgeInput();
    const PStr got = HexText((replyWord & kIndexBits) >> kIndexShift);
    const PStr expected = HexText((CommandWord & kIndexBits) >> kIndexShift);
    FailureText =
        FormatStr("Target returned reply to command %s with index = %s while expected index is %s",
                  CommandNameText(CommandCode).c_str(), got.c_str(), expected.c_str())
            .c_str();
    return false;
  }
  return true;
}

bool RealUSBDevice::CheckTransferSize(uint32_t received) {
  // One transfer is one reply: a transfer longer than its own length word
  // is malformed (counting the rest as missing would wrap).
  if (received <= ReplyLength + 4) return true;
  FailureText = FormatStr("Target sent %u bytes, more than its reply length (%u) + 4, to command ",
                          received, ReplyLength)
                    .c_str();
  return false;
}

bool RealUSBDevice::ReadReplyRest(USBDeviceBuffer& buffer, uint32_t received) {
  const uint32_t frameSize = ReplyLength + 4;
  if (received == frameSize) return true;
  // Exactly the missing count, behind what arrived.
  const uint32_t remaining = frameSize - received;
  const uint32_t position = buffer.InPos;
  unsigned char* more = buffer.ReserveInput(remaining);
  buffer.InPos = position;
  if (more == nullptr) {
    buffer.InEnd = received;
    return false;
  }
  const bool ok = Read(more, remaining, true);
  buffer.InEnd = received + BytesTransferred;
  LastBytesReturned += BytesTransferred;
  return ok;
}

bool RealUSBDevice::DumpReply(USBDeviceBuffer& buffer, uint32_t received) {
  g_TraceLevel = 1;
  std::string text = "\nGot:";
  const unsigned char* bytes = buffer.InBegin();
  const uint32_t shown = received < kDumpLimit ? received : kDumpLimit;
  text.reserve(8 + shown * 3);
  for (uint32_t i = 0; i < shown; ++i) {
    text += ' ';
    AppendHexByte(text, bytes[i]);
  }
  if (received > kDumpLimit) text += "...";
  if (g_TraceLevel >= 1) Log("%s\n", text.c_str());
  return false;
}

void RealUSBDevice::FinishExchange() {
  if (WasError) {
    g_TraceLevel = 1;
    PStr line;
    DescribeCommand(line, true);
    if (FailureText.Length() != 0 && g_TraceLevel >= 1) {
      Log("\n%s%s\n", FailureText.Text(), line.c_str());
      LastError = FailureText;
    }
    platform::Sleep(kFailurePause);
    if (ReplyCode != kUnrecognizedCommand && !NoDebugTraceOnError) {
      // The readout runs its own frames; the failure stays reported.
      const Istr failure = FailureText;
      const uint32_t replyCode = ReplyCode;
      ReadDebugTrace();
      WasError = true;
      FailureText = failure;
      ReplyCode = replyCode;
    }
    ErrorEvent.Set();
  }
  ReplyDelay = 0;
  SkipChecks = false;
  ReplyEvent.Set();
  InCommand = false;
  FailureText = "";
}

namespace {

// A trace line for a command or reply of the given name (as CommandNameText
// gives it).
void BuildLine(PStr& text, char open, char close, const PStr& name, bool indexing,
               const char* suffix, const unsigned char* bytes, uint32_t count) {
  std::string line(1, open);
  if (count >= 8 && indexing) {
    AppendHexByte(line, static_cast<uint8_t>(bytes[7] & kIndexLowBits));
    line += '.';
  }
  const char* plain = name.c_str();
  if (plain != nullptr && *plain == '*') ++plain;
  line += plain != nullptr ? plain : "";
  line += ": ";
  line += std::to_string(count);
  line += suffix != nullptr ? suffix : "(null)";  // as the formatter shows a null text
  line += close;
  uint32_t offset = 0;
  if (count >= 4) {
    line += ' ';
    AppendHexWord(line, LoadU32(bytes));
    offset = 4;
  }
  if (count >= 8) {
    line += ' ';
    AppendHexWord(line, LoadU32(bytes + 4));
    offset = 8;
  }
  const uint32_t limit = IsOptionOn(kOptFullCommandTrace) || count < RealUSBDevice::kDumpLimit
                             ? count
                             : RealUSBDevice::kDumpLimit;
  if (limit > offset) {
    // " XX" per byte, written in place.
    const size_t start = line.size();
    line.resize(start + static_cast<size_t>(limit - offset) * 3);
    char* out = line.data() + start;
    for (uint32_t i = offset; i < limit; ++i, out += 3) {
      out[0] = ' ';
      out[1] = kHexDigits[bytes[i] >> 4];
      out[2] = kHexDigits[bytes[i] & 0xF];
    }
  }
  if (count > limit) line += "...";
  text = line.c_str();
}

}  // namespace

void RealUSBDevice::BuildTraceLine(PStr& text, char open, char close, uint32_t code,
                                   const char* suffix, const unsigned char* bytes, uint32_t count) {
  BuildLine(text, open, close, CommandNameText(code), IndexingEnabled, suffix, bytes, count);
}

void RealUSBDevice::DescribeCommand(PStr& text, bool force) {
  text = "";
  if (g_TraceLevel < 1 && !force) return;
  const PStr name = CommandNameText(CommandCode);
  if (!force && name.c_str() != nullptr && name.c_str()[0] == '*') return;
  USBDeviceBuffer* buffer = GetThreadBuffer();
  if (buffer == nullptr) return;
  BuildLine(text, '[', ']', name, IndexingEnabled, "", buffer->OutBegin(), buffer->OutLength());
}

void RealUSBDevice::DescribeReply(PStr& text, uint32_t elapsedMs) {
  text = "";
  USBDeviceBuffer* buffer = GetThreadBuffer();
  if (buffer == nullptr) return;
  const PStr suffix = elapsedMs != 0 ? FormatStr(", %ums", elapsedMs) : PStr("");
  // The bytes received, bounded by what the buffer holds.
  uint32_t count = LastBytesReturned;
  if (count > buffer->InCapacity()) count = static_cast<uint32_t>(buffer->InCapacity());
  BuildTraceLine(text, '<', '>', ReplyCode, suffix.c_str(), buffer->InBegin(), count);
}
