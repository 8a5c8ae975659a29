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

std::vector<size_t> ColumnWidths(const std::vector<Instrument>& instruments) {
  const auto& columns = TableColumns();
  std::vector<size_t> widths;
  for (const Column& column : columns) {
    size_t width = std::string(column.heading).size();
    for (const Instrument& instrument : instruments)
      width = std::max(width, column.cell(instrument).size());
    widths.push_back(width);
  }
  return widths;
}

std::string Row(const std::vector<std::string>& cells, const std::vector<size_t>& widths) {
  const auto& columns = TableColumns();
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

std::vector<std::string> Cells(const Instrument& instrument) {
  std::vector<std::string> cells;
  for (const Column& column : TableColumns())
    cells.push_back(column.cell(instrument));
  return cells;
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

std::string FormatTable(const std::vector<Instrument>& instruments) {
  if (instruments.empty()) return "No instruments found.\n";
  const auto widths = ColumnWidths(instruments);
  std::vector<std::string> headings;
  for (const Column& column : TableColumns())
    headings.push_back(column.heading);
  std::string text = Row(headings, widths) + "\n";
  for (const Instrument& instrument : instruments)
    text += Row(Cells(instrument), widths) + "\n";
  return text;
}

std::string FormatLine(const Instrument& instrument) {
  std::string line;
  for (const std::string& cell : Cells(instrument)) {
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
  return json + "}";
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
