// The virtual-item table and the virtual string and register commands.
#include "protocol/virtual_items.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "base/numbers.h"
#include "base/options.h"
#include "protocol/real_usb_device.h"

namespace {

// In registration order; rows 3 and 4 rename rows 1 and 2.
constexpr VirtualItemRow kBuiltinItems[] = {
    {1, 1, "STRING_FILE_NAME", 0}, {1, 2, "STRING_CONFIGURATION", 0}, {1, 1, "VS_FILE_NAME", 0},
    {1, 2, "VS_CONFIGURATION", 0}, {1, 0x101, "VS_SFR_FILE", 0},      {1, 3, "VS_FW_DESCRIPTOR", 0},
    {1, 4, "VS_HW_DESCRIPTOR", 0}, {1, 0xF, "VS_TEXT_MESSAGE", 0},
};

struct ItemTable {
  std::mutex lock;
  std::vector<VirtualItemRecord> records;
};

ItemTable& Items() {
  static Immortal<ItemTable> table;
  return table.Get();
}

// The table's container is built at its start-up step, before the trace
// options; the rows come with the protocol's deferred entry.
void BuildItemTable() {
  Items();
}

NVD_STATIC_REGISTRATION(g_ItemTableStep) {
  RegisterStartupStep(StartupStep::kVirtualItems, BuildItemTable);
}

}  // namespace

const VirtualItemRow* BuiltinVirtualItemRows(size_t& count) {
  count = std::size(kBuiltinItems);
  return kBuiltinItems;
}

void RegisterVirtualItems(const VirtualItemRow* rows, size_t count) {
  ItemTable& table = Items();
  std::lock_guard<std::mutex> guard(table.lock);
  for (size_t i = 0; i < count; ++i) {
    const VirtualItemRow& row = rows[i];
    const char* name = row.name != nullptr ? row.name : "";
    auto found = std::find_if(table.records.begin(), table.records.end(),
                              [&](const VirtualItemRecord& r) { return r.id == row.id; });
    if (found != table.records.end()) {
      found->name = name;
      found->traceLevel = row.traceLevel;
    } else {
      table.records.push_back(VirtualItemRecord{row.kind, row.id, name, row.traceLevel});
    }
  }
}

void SortVirtualItems() {
  ItemTable& table = Items();
  std::lock_guard<std::mutex> guard(table.lock);
  // std::string compares as unsigned bytes.
  std::stable_sort(
      table.records.begin(), table.records.end(),
      [](const VirtualItemRecord& a, const VirtualItemRecord& b) { return a.name < b.name; });
}

bool FindVirtualItem(uint32_t id, VirtualItemRecord& record) {
  ItemTable& table = Items();
  std::lock_guard<std::mutex> guard(table.lock);
  for (const VirtualItemRecord& candidate : table.records) {
    if (candidate.id == id) {
      record = candidate;
      return true;
    }
  }
  return false;
}

uint32_t VirtualItemCount() {
  ItemTable& table = Items();
  std::lock_guard<std::mutex> guard(table.lock);
  return static_cast<uint32_t>(table.records.size());
}

bool VirtualItemAt(uint32_t index, VirtualItemRecord& record) {
  ItemTable& table = Items();
  std::lock_guard<std::mutex> guard(table.lock);
  if (index >= table.records.size()) return false;
  record = table.records[index];
  return true;
}

PStr VirtualItemNameText(uint32_t id) {
  VirtualItemRecord record;
  if (FindVirtualItem(id, record)) return FormatStr("%s (0x%X)", record.name.c_str(), id);
  return FormatStr("0x%X", id);
}

PStr VirtualValueText(uint64_t value) {
  return DecHexText(value);
}

bool RealUSBDevice::ReadVirtualString(uint32_t id, std::vector<uint8_t>& data, bool asText) {
  data.clear();
  VirtualItemRecord item;
  const bool known = FindVirtualItem(id, item);
  const uint32_t level = known ? item.traceLevel : CommandTraceLevel(RD_VIRT_STRING);
  uint32_t available = 0;
  {
    // The command's trace line follows the item's level, on this thread only.
    const CommandLevelOverride override(RD_VIRT_STRING, level);
    BeginCommand(RD_VIRT_STRING).PutU32(id).Exchange();
  }
  if (WasError || ReplyCode == kUnrecognizedCommand) return false;
  if (!TakeU32(available)) return false;
  const bool silent = level == kSilentItemLevel;
  if (available == 0) {
    if (!silent) Log("Read VString: %s = %s\n", VirtualItemNameText(id).c_str(), "<Not available>");
    return false;
  }
  uint32_t length = 0;
  if (!TakeU32(length)) return false;
  if (!CheckReplyLength("RD_VIRT_STRING", length)) return false;
  data.resize(length);
  if (length != 0 && !TakeReplyBytes(data.data(), length)) {
    data.clear();
    return false;
  }
  if (asText && std::memchr(data.data(), 0, data.size()) == nullptr) data.push_back(0);
  if (!silent) Log("Read VString: %s = %u bytes\n", VirtualItemNameText(id).c_str(), length);
  return true;
}

uint32_t RealUSBDevice::ReadVirtualSfr(uint32_t id, uint32_t& available) {
  BeginCommand(RD_VIRT_SFR).PutU32(id).Exchange();
  if (WasError || ReplyCode == kUnrecognizedCommand) {
    available = 0;
    return 0;
  }
  uint32_t value = 0;
  if (!TakeU32(available)) {
    available = 0;
    return 0;
  }
  if (available != 0 && !TakeU32(value)) {
    available = 0;
    return 0;
  }
  Log("Read VSFR: %s = %s\n", VirtualItemNameText(id).c_str(),
      available != 0 ? VirtualValueText(value).c_str() : "<Not available>");
  return available != 0 ? value : 0;
}

uint32_t RealUSBDevice::WriteVirtualSfr(uint32_t id, uint32_t value) {
  Log("Write VSFR: %s = %s\n", VirtualItemNameText(id).c_str(), VirtualValueText(value).c_str());
  BeginCommand(WR_VIRT_SFR).PutU32(id).PutU32(value).Exchange();
  if (WasError || ReplyCode == kUnrecognizedCommand) return 0;
  uint32_t result = 0;
  if (!TakeU32(result)) return 0;
  if (result == 0) Log("<Not available>");
  return result;
}
