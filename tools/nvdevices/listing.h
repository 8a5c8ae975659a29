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

struct Instrument {
  uint32_t id = 0;
  std::optional<std::string> serial;                  // absent: GetDeviceSerial gave 0
  std::optional<std::array<uint8_t, 12>> hardwareId;  // absent: GetDeviceMCUId gave 0
};

// Lists the attached instruments through the library and reads each one's
// identity. False (with a reason) when the library misbehaves.
bool ReadInstruments(const Library& library, std::vector<Instrument>& instruments,
                     std::string& error);

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

// The table (a heading line and one line per instrument), or a line saying
// that no instrument was found.
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
