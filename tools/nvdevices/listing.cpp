#include "listing.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace nvdevices {

namespace {

// Room for instruments that arrive between the counting call and the
// listing call. The function has no size parameter, so the margin is all
// that keeps a burst of arrivals from writing past the array.
constexpr uint32_t kArrivalMargin = 256;

std::string Hex(const char* format, uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::string IdCell(const Instrument& instrument) {
  return std::to_string(instrument.id);
}
std::string SerialCell(const Instrument& instrument) {
  return instrument.serial ? *instrument.serial : "-";
}
std::string HardwareIdCell(const Instrument& instrument) {
  return instrument.hardwareId ? HardwareIdText(*instrument.hardwareId) : "(not valid)";
}
std::string HardwareBytesCell(const Instrument& instrument) {
  return instrument.hardwareId ? HardwareIdBytesText(*instrument.hardwareId) : "-";
}

// Cells of the record table; "-" where the library wrote nothing.
std::string RecordCell(const Instrument& instrument) {
  if (!instrument.record) return "-";
  return std::to_string(instrument.record->code) + " " + RecordMeaning(instrument.record->code);
}
std::string DateCell(const Instrument& instrument, uint32_t Record::*date) {
  if (!instrument.record || instrument.record->code != 0) return "-";
  const uint32_t seconds = (*instrument.record).*date;
  return seconds == 0 ? "none" : IsoUtc(seconds);
}
std::string ProgrammedCell(const Instrument& instrument) {
  return DateCell(instrument, &Record::programmingDate);
}
std::string CalibratedCell(const Instrument& instrument) {
  return DateCell(instrument, &Record::calibrationDate);
}
std::string TestsCell(const Instrument& instrument) {
  if (!instrument.record || instrument.record->code != 0) return "-";
  return instrument.record->testFlag != 0 ? "passed" : "not passed";
}
std::string CalibrationCell(const Instrument& instrument) {
  if (!instrument.record || instrument.record->code != 0) return "-";
  return instrument.record->calibrationFlag != 0 ? "matches" : "does not match";
}

std::vector<size_t> ColumnWidths(const std::vector<Column>& columns,
                                 const std::vector<Instrument>& instruments) {
  std::vector<size_t> widths;
  for (const Column& column : columns) {
    size_t width = std::string(column.heading).size();
    for (const Instrument& instrument : instruments)
      width = std::max(width, column.cell(instrument).size());
    widths.push_back(width);
  }
  return widths;
}

std::string Row(const std::vector<Column>& columns, const std::vector<std::string>& cells,
                const std::vector<size_t>& widths) {
  std::string line;
  for (size_t i = 0; i < cells.size(); ++i) {
    const std::string padding(widths[i] > cells[i].size() ? widths[i] - cells[i].size() : 0, ' ');
    if (i > 0) line += "  ";
    if (columns[i].alignRight)
      line += padding + cells[i];
    else if (i + 1 < cells.size())
      line += cells[i] + padding;
    else
      line += cells[i];  // no trailing blanks on the last column
  }
  return line;
}

std::vector<std::string> Cells(const std::vector<Column>& columns, const Instrument& instrument) {
  std::vector<std::string> cells;
  for (const Column& column : columns)
    cells.push_back(column.cell(instrument));
  return cells;
}

std::string Table(const std::vector<Column>& columns, const std::vector<Instrument>& instruments) {
  const auto widths = ColumnWidths(columns, instruments);
  std::vector<std::string> headings;
  for (const Column& column : columns)
    headings.push_back(column.heading);
  std::string text = Row(columns, headings, widths) + "\n";
  for (const Instrument& instrument : instruments)
    text += Row(columns, Cells(columns, instrument), widths) + "\n";
  return text;
}

std::string RecordJson(const std::optional<Record>& record) {
  if (!record) return "null";
  std::string json = "{\"code\": " + std::to_string(record->code) +
                     ", \"meaning\": " + JsonString(RecordMeaning(record->code));
  if (record->code != 0) {
    return json +
           ", \"programming_date\": null, \"programming_date_seconds\": null"
           ", \"calibration_date\": null, \"calibration_date_seconds\": null"
           ", \"test_flag\": null, \"calibration_flag\": null}";
  }
  auto date = [](uint32_t seconds) {
    return seconds == 0 ? std::string("null") : JsonString(IsoUtc(seconds));
  };
  json += ", \"programming_date\": " + date(record->programmingDate) +
          ", \"programming_date_seconds\": " + std::to_string(record->programmingDate);
  json += ", \"calibration_date\": " + date(record->calibrationDate) +
          ", \"calibration_date_seconds\": " + std::to_string(record->calibrationDate);
  json += ", \"test_flag\": " + std::to_string(record->testFlag) +
          ", \"calibration_flag\": " + std::to_string(record->calibrationFlag);
  return json + "}";
}

}  // namespace

bool ReadInstruments(const Library& library, std::vector<Instrument>& instruments,
                     std::string& error) {
  instruments.clear();
  const uint32_t count = library.getDeviceList(nullptr);
  std::vector<uint32_t> ids(static_cast<size_t>(count) + kArrivalMargin);
  const uint32_t listed = library.getDeviceList(ids.data());
  if (listed > ids.size()) {
    error = "the instrument list grew from " + std::to_string(count) + " to " +
            std::to_string(listed) + " between two calls";
    return false;
  }
  for (uint32_t i = 0; i < listed; ++i) {
    Instrument instrument;
    instrument.id = ids[i];
    // The size first, then the text; a size that changed means the id was
    // dropped and issued again, which never happens: ids are not reused.
    const uint32_t size = library.getDeviceSerial(instrument.id, nullptr);
    if (size > 0) {
      std::string buffer(size, '\0');
      if (library.getDeviceSerial(instrument.id, buffer.data()) == size) {
        buffer.resize(size - 1);
        instrument.serial = buffer;
      }
    }
    std::array<uint8_t, 12> bytes{};
    if (library.getDeviceMCUId(instrument.id, bytes.data()) == 12) instrument.hardwareId = bytes;
    instruments.push_back(std::move(instrument));
  }
  return true;
}

void ReadRecords(const Library& library, std::vector<Instrument>& instruments) {
  if (library.getDeviceDatabaseInfo == nullptr) return;
  const StandardOutputToError divert;
  for (Instrument& instrument : instruments) {
    Record record;
    record.code =
        library.getDeviceDatabaseInfo(instrument.id, &record.testFlag, &record.calibrationFlag,
                                      &record.programmingDate, &record.calibrationDate);
    if (record.code != 0) record = Record{record.code};  // nothing was written
    instrument.record = record;
  }
}

const char* RecordMeaning(uint32_t code) {
  switch (code) {
    case 0:
      return "record found";
    case 1:
      return "no such instrument";
    case 2:
      return "database not reachable";
    case 3:
      return "no record for this hardware id";
    case 4:
      return "record has another serial number";
    case 5:
      return "calibration block not readable";
    default:
      return "unknown result";
  }
}

std::string IsoUtc(uint32_t seconds) {
  if (seconds == 0) return "";
  // Civil date of a day count since 1970-01-01 (proleptic Gregorian).
  const int64_t days = seconds / 86400;
  const uint32_t inDay = seconds % 86400;
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[32];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02u:%02u:%02uZ", static_cast<int>(year),
                static_cast<int>(month), static_cast<int>(day), inDay / 3600, inDay / 60 % 60,
                inDay % 60);
  return text;
}

std::array<uint32_t, 3> HardwareIdWords(const std::array<uint8_t, 12>& bytes) {
  std::array<uint32_t, 3> words{};
  for (size_t w = 0; w < 3; ++w)
    for (size_t b = 0; b < 4; ++b)
      words[w] |= static_cast<uint32_t>(bytes[w * 4 + b]) << (8 * b);
  return words;
}

std::string HardwareIdText(const std::array<uint8_t, 12>& bytes) {
  const auto words = HardwareIdWords(bytes);
  const bool wide =
      std::any_of(words.begin(), words.end(), [](uint32_t w) { return w > 0xFFFFFF; });
  const char* format = wide ? "%08X" : "%06X";
  return Hex(format, words[0]) + "-" + Hex(format, words[1]) + "-" + Hex(format, words[2]);
}

std::string HardwareIdBytesText(const std::array<uint8_t, 12>& bytes) {
  std::string text;
  for (uint8_t byte : bytes) {
    if (!text.empty()) text += ' ';
    text += Hex("%02X", byte);
  }
  return text;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7F) {
      out += Hex("\\u%04X", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

const std::vector<Column>& TableColumns() {
  static const std::vector<Column> columns = {
      {"ID", IdCell, true},
      {"SERIAL", SerialCell, false},
      {"HARDWARE ID", HardwareIdCell, false},
      {"HARDWARE ID BYTES (LOW, MIDDLE, HIGH)", HardwareBytesCell, false},
  };
  return columns;
}

const std::vector<Column>& RecordColumns() {
  static const std::vector<Column> columns = {
      {"ID", IdCell, true},
      {"SERIAL", SerialCell, false},
      {"RECORD", RecordCell, false},
      {"PROGRAMMED (UTC)", ProgrammedCell, false},
      {"CALIBRATED (UTC)", CalibratedCell, false},
      {"TESTS", TestsCell, false},
      {"CALIBRATION DATA", CalibrationCell, false},
  };
  return columns;
}

std::string FormatTable(const std::vector<Instrument>& instruments) {
  if (instruments.empty()) return "No instruments found.\n";
  std::string text = Table(TableColumns(), instruments);
  const bool anyRecord = std::any_of(instruments.begin(), instruments.end(),
                                     [](const Instrument& i) { return i.record.has_value(); });
  if (anyRecord) text += "\nManufacturing records:\n" + Table(RecordColumns(), instruments);
  return text;
}

std::string FormatLine(const Instrument& instrument) {
  std::string line;
  for (const std::string& cell : Cells(TableColumns(), instrument)) {
    if (!line.empty()) line += "  ";
    line += cell;
  }
  return line;
}

std::string InstrumentJson(const Instrument& instrument) {
  std::string json = "{\"id\": " + std::to_string(instrument.id);
  json += ", \"serial\": " + (instrument.serial ? JsonString(*instrument.serial) : "null");
  if (instrument.hardwareId) {
    const auto words = HardwareIdWords(*instrument.hardwareId);
    json += ", \"hardware_id\": " + JsonString(HardwareIdText(*instrument.hardwareId));
    json += ", \"hardware_id_words\": [" + std::to_string(words[0]) + ", " +
            std::to_string(words[1]) + ", " + std::to_string(words[2]) + "]";
    json += ", \"hardware_id_bytes\": " + JsonString(HardwareIdBytesText(*instrument.hardwareId));
  } else {
    json += ", \"hardware_id\": null, \"hardware_id_words\": null, \"hardware_id_bytes\": null";
  }
  return json + ", \"record\": " + RecordJson(instrument.record) + "}";
}

std::string FormatJson(const std::vector<Instrument>& instruments) {
  std::string json = "{\"instruments\": [";
  for (size_t i = 0; i < instruments.size(); ++i)
    json += (i == 0 ? "\n  " : ",\n  ") + InstrumentJson(instruments[i]);
  json += instruments.empty() ? "]}\n" : "\n]}\n";
  return json;
}

void Compare(const std::vector<Instrument>& before, const std::vector<Instrument>& after,
             std::vector<Instrument>& arrived, std::vector<Instrument>& left) {
  arrived.clear();
  left.clear();
  std::set<uint32_t> beforeIds, afterIds;
  for (const Instrument& instrument : before)
    beforeIds.insert(instrument.id);
  for (const Instrument& instrument : after)
    afterIds.insert(instrument.id);
  for (const Instrument& instrument : after)
    if (beforeIds.count(instrument.id) == 0) arrived.push_back(instrument);
  for (const Instrument& instrument : before)
    if (afterIds.count(instrument.id) == 0) left.push_back(instrument);
}

}  // namespace nvdevices
