// The Intel HEX reader: one pass over the buffer, no allocation per line.
#include "protocol/intel_hex.h"

#include <cstring>

#include "base/format.h"

namespace {

// The value of a hexadecimal digit, or -1.
int DigitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsBlank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Reads hexadecimal pairs from one line.
class PairReader {
 public:
  PairReader(const unsigned char* p, const unsigned char* end) : p_(p), end_(end) {}

  // The next byte; false with the error when the line ends or a digit is bad.
  bool Next(uint8_t& value, HexError& error) {
    if (end_ - p_ < 2) {
      // A bad character before the end is the better reason.
      error = p_ < end_ && DigitValue(*p_) < 0 ? HexError::kBadDigit : HexError::kShortLine;
      return false;
    }
    const int high = DigitValue(p_[0]);
    const int low = DigitValue(p_[1]);
    if (high < 0 || low < 0) {
      error = HexError::kBadDigit;
      return false;
    }
    value = static_cast<uint8_t>(high << 4 | low);
    p_ += 2;
    return true;
  }

 private:
  const unsigned char* p_;
  const unsigned char* end_;
};

enum : uint8_t { kData = 0, kEndOfFile = 1, kSegment = 2, kStartSegment = 3, kLinear = 4 };
constexpr uint8_t kHighestType = 5;

// One record line (after its ':'); false with the error.
bool ReadRecord(const unsigned char* p, const unsigned char* end, uint32_t line, uint32_t& base,
                DebuggerNS::DataRecords& image, HexReport& report, HexError& error) {
  PairReader reader(p, end);
  uint8_t count = 0, high = 0, low = 0, type = 0;
  if (!reader.Next(count, error) || !reader.Next(high, error) || !reader.Next(low, error) ||
      !reader.Next(type, error))
    return false;
  if (type > kHighestType) {
    error = HexError::kBadRecordTag;
    return false;
  }
  uint8_t data[255];
  for (uint32_t i = 0; i < count; ++i)
    if (!reader.Next(data[i], error)) return false;
  uint8_t checksum = 0;
  if (!reader.Next(checksum, error)) return false;

  const uint32_t address = static_cast<uint32_t>(high) << 8 | low;
  if (type == kData) {
    uint32_t sum = count + high + low + checksum;
    for (uint32_t i = 0; i < count; ++i)
      sum += data[i];
    if ((sum & 0xFF) != 0) report.ChecksumMismatch.push_back(line);
    const uint64_t at = static_cast<uint64_t>(base) + address;
    if (at + count > (uint64_t{1} << 32) || !image.Add(static_cast<uint32_t>(at), data, count)) {
      error = HexError::kAddressWrap;
      return false;
    }
    report.DataBytes += count;
  } else if (type == kSegment || type == kLinear) {
    if (count < 2) {
      error = HexError::kShortAddressLine;
      return false;
    }
    const uint32_t value = static_cast<uint32_t>(data[0]) << 8 | data[1];
    base = type == kSegment ? value << 4 : value << 16;
  }
  return true;
}

}  // namespace

bool ReadIntelHex(const char* text, size_t size, DebuggerNS::DataRecords& image,
                  HexReport& report) {
  report = HexReport();
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* const stop = p + size;
  uint32_t base = 0;
  while (p < stop) {
    const auto* newline = static_cast<const unsigned char*>(std::memchr(p, '\n', stop - p));
    const unsigned char* end = newline != nullptr ? newline : stop;
    const uint32_t line = ++report.Lines;
    HexError error = HexError::kNone;
    if (static_cast<size_t>(end - p) > kMaxHexLine) {
      error = HexError::kLineTooLong;
    } else {
      while (p < end && IsBlank(*p))
        ++p;
      if (p < end) {
        if (*p != ':') {
          error = HexError::kColonExpected;
        } else {
          ReadRecord(p + 1, end, line, base, image, report, error);
        }
      }
    }
    if (error != HexError::kNone) {
      report.Error = error;
      report.ErrorLine = line;
      return false;
    }
    p = newline != nullptr ? newline + 1 : stop;
  }
  return true;
}

std::string HexErrorText(const HexReport& report, const char* fileName) {
  const char* format = "";
  switch (report.Error) {
    case HexError::kNone:
      return "";
    case HexError::kColonExpected:
      format = "Invalid '%s' HEX file format: ':' expected in line %u";
      break;
    case HexError::kBadRecordTag:
      format = "'%s' HEX file: Invalid record tag in line %u";
      break;
    case HexError::kBadDigit:
      format = "Invalid '%s' HEX file format: hexadecimal digit expected in line %u";
      break;
    case HexError::kShortLine:
      format = "Invalid '%s' HEX file format: line %u ends before its data and checksum";
      break;
    case HexError::kLineTooLong:
      format = "Invalid '%s' HEX file format: line %u is longer than 8192 characters";
      break;
    case HexError::kAddressWrap:
      format = "Invalid '%s' HEX file format: the data of line %u runs past address FFFFFFFF";
      break;
    case HexError::kShortAddressLine:
      format =
          "Invalid '%s' HEX file format: the address record in line %u has fewer than 2 "
          "data bytes";
      break;
  }
  return PFormatBuffer(format, fileName, report.ErrorLine).Text();
}

std::string HexChecksumText(uint32_t line, const char* fileName) {
  return PFormatBuffer("'%s' HEX file: CRC mismatch in line %u", fileName, line).Text();
}
