// Intel HEX text read into a memory image.
//
// Lines of up to kMaxHexLine characters; leading white space is skipped and
// empty lines are ignored. Each record is ':', byte count, 16-bit address
// (high byte first), record type, data and checksum, as hexadecimal pairs.
// Type 0 adds its data at base + address; type 2 sets base = value * 16 and
// type 4 base = value * 65536; types 1, 3 and 5 are ignored and reading goes
// on to the end of the text. A data record whose checksum is wrong is still
// added: the mismatch is only reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/memory_image.h"

inline constexpr size_t kMaxHexLine = 8192;

enum class HexError {
  kNone,
  kColonExpected,     // the line does not start with ':'
  kBadRecordTag,      // a record type above 5
  kBadDigit,          // a character that is no hexadecimal digit
  kShortLine,         // the line ends before its data and checksum
  kLineTooLong,       // more than kMaxHexLine characters
  kAddressWrap,       // data that would run past address 0xFFFFFFFF
  kShortAddressLine,  // a type 2 or 4 record with fewer than 2 data bytes
};

struct HexReport {
  HexError Error = HexError::kNone;
  uint32_t ErrorLine = 0;                  // 1-based line of the error
  std::vector<uint32_t> ChecksumMismatch;  // lines whose data checksum is wrong
  uint32_t Lines = 0;                      // lines read
  uint64_t DataBytes = 0;                  // data bytes added
};

// Reads the text into `image`; false at the first error (report.Error).
// Data read before the error stays in the image.
bool ReadIntelHex(const char* text, size_t size, DebuggerNS::DataRecords& image, HexReport& report);

// The message of a failed read for the named file.
std::string HexErrorText(const HexReport& report, const char* fileName);
// The message of a checksum mismatch in a line of the named file.
std::string HexChecksumText(uint32_t line, const char* fileName);
