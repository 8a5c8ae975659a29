// The instrument's own command history, read after a failed exchange.
#include "base/numbers.h"
#include "protocol/real_usb_device.h"

namespace {

constexpr uint32_t kEntrySize = 28;
constexpr uint32_t kMaxEntries = 256;

uint32_t EntryWord(const unsigned char* entry, uint32_t index) {
  const unsigned char* p = entry + 4 * index;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void RealUSBDevice::ReadDebugTrace() {
  if (!IsOpen()) return;
  USBDeviceBuffer* buffer = GetThreadBuffer();
  if (buffer == nullptr) return;
  DumpInput();

  // A bare frame: length word set, no index, no reply read.
  auto send = [&](uint32_t code) {
    BeginCommand(code);
    unsigned char* frame = buffer->OutBegin();
    const uint32_t size = buffer->OutLength();
    const uint32_t length = size - 4;
    frame[0] = static_cast<unsigned char>(length);
    frame[1] = static_cast<unsigned char>(length >> 8);
    frame[2] = static_cast<unsigned char>(length >> 16);
    frame[3] = static_cast<unsigned char>(length >> 24);
    return Write(frame, size);
  };
  Log("Sending GET_STATUS\n");
  if (!send(GET_STATUS)) {
    Log("\nFailed to send GET_STATUS\n");
    return;
  }
  DumpInput();
  Log("Sending RD_DEBUG_TRACE\n");
  if (!send(RD_DEBUG_TRACE)) {
    Log("\nFailed to send RD_DEBUG_TRACE\n");
    return;
  }

  buffer->RewindInput();
  unsigned char* room = buffer->ReserveInput(InBufferSize);
  buffer->RewindInput();
  if (room == nullptr || !Read(room, InBufferSize, false)) {
    Log("\nFailed to read reply to RD_DEBUG_TRACE\n");
    return;
  }
  const uint32_t received = BytesTransferred;
  buffer->InEnd = received;
  if (received == 0) {
    Log("\nPossibly timeout while reading reply to RD_DEBUG_TRACE\n");
    return;
  }
  if (received < 8) {
    Log("Target reply length (%u) < 8 to command:", received);
    return;
  }
  uint32_t replyLength = 0;
  uint32_t replyWord = 0;
  uint32_t traceBytes = 0;
  if (!TakeU32(replyLength) || !TakeU32(replyWord) || !TakeU32(traceBytes)) return;
  const uint32_t entries =
      traceBytes / kEntrySize < kMaxEntries ? traceBytes / kEntrySize : kMaxEntries;
  // Every announced entry gets its line: one the reply does not hold is
  // written with zeros (the failed take gives zeros and sets WasError).
  for (uint32_t i = 0; i < entries; ++i) {
    unsigned char entry[kEntrySize];
    TakeReplyBytes(entry, kEntrySize);
    const uint32_t command = EntryWord(entry, 0);
    const uint32_t reply = EntryWord(entry, 2);
    const PStr commandName = CommandNameText(command & kReplyCodeMask);
    const PStr replyName = CommandNameText(reply & kReplyCodeMask);
    const PStr time = GroupThousands(EntryWord(entry, 6));
    Log("#%2u: %02X:%-12s(%u), %02X:%-12s(%u), %08X/%08X, T: %s\n", i,
        (command & kIndexBits) >> kIndexShift, commandName.c_str(), EntryWord(entry, 1),
        (reply & kIndexBits) >> kIndexShift, replyName.c_str(), EntryWord(entry, 3),
        EntryWord(entry, 4), EntryWord(entry, 5), time.c_str());
  }
}
