// What the host tool reads from the library about each instrument, and the
// ways it prints it: a table, JSON, and the changes between two listings.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "library.h"

namespace nvdevices {

// What GetDeviceDatabaseInfo answered for an instrument. The flags and
// dates are written by the library only when the code is 0.
struct Record {
  uint32_t code = 0;
  uint8_t testFlag = 0;
  uint8_t calibrationFlag = 0;
  uint32_t programmingDate = 0;  // seconds since 1970 (UTC); 0: no date
  uint32_t calibrationDate = 0;
};

struct Instrument {
  uint32_t id = 0;
  std::optional<std::string> serial;                  // absent: GetDeviceSerial gave 0
  std::optional<std::array<uint8_t, 12>> hardwareId;  // absent: GetDeviceMCUId gave 0
  std::optional<Record> record;                       // absent: not looked up
};

// Lists the attached instruments through the library and reads each one's
// identity. False (with a reason) when the library misbehaves.
bool ReadInstruments(const Library& library, std::vector<Instrument>& instruments,
                     std::string& error);
// Looks up each instrument's manufacturing record (GetDeviceDatabaseInfo).
// What the library's database layer prints while it does so goes to the
// standard error, so that the standard output holds only the listing.
void ReadRecords(const Library& library, std::vector<Instrument>& instruments);

// The meaning of a GetDeviceDatabaseInfo result code ("record found", ...).
const char* RecordMeaning(uint32_t code);
// Seconds since 1970 as "2024-05-06T07:08:09Z"; "" for 0.
std::string IsoUtc(uint32_t seconds);

// The three words low, middle, high of a 12-byte identifier, as the library
// writes them (little-endian).
std::array<uint32_t, 3> HardwareIdWords(const std::array<uint8_t, 12>& bytes);
// "%06X-%06X-%06X", or "%08X-%08X-%08X" when any word exceeds 0xFFFFFF.
std::string HardwareIdText(const std::array<uint8_t, 12>& bytes);
// "56 34 12 00 EF CD AB 00 42 00 00 00".
std::string HardwareIdBytesText(const std::array<uint8_t, 12>& bytes);

// A JSON string literal, quotes included. Bytes that are not printable ASCII
// are written as \u00XX (the serial is an 8-bit string of unknown code page).
std::string JsonString(const std::string& text);

// One column of the table: its heading and the cell of an instrument. The
// table is built from a list of these, so more columns can be added.
struct Column {
  const char* heading;
  std::string (*cell)(const Instrument& instrument);
  bool alignRight;
};
const std::vector<Column>& TableColumns();

// The columns of the manufacturing-record table.
const std::vector<Column>& RecordColumns();

// The table (a heading line and one line per instrument), or a line saying
// that no instrument was found. When any instrument's record was looked up,
// the records follow as a second table.
std::string FormatTable(const std::vector<Instrument>& instruments);
// One line of the table for an instrument, without the heading, for
// watch events.
std::string FormatLine(const Instrument& instrument);
// {"instruments": [ {...}, ... ]}
std::string FormatJson(const std::vector<Instrument>& instruments);
// One instrument as a JSON object (one line).
std::string InstrumentJson(const Instrument& instrument);

// Instruments of `after` whose id is not in `before` (arrivals) and of
// `before` whose id is not in `after` (departures), in list order.
void Compare(const std::vector<Instrument>& before, const std::vector<Instrument>& after,
             std::vector<Instrument>& arrived, std::vector<Instrument>& left);

}  // namespace nvdevices
