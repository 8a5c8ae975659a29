#include "protocol/commands.h"

#include <iterator>
#include <mutex>
#include <vector>

#include "base/format.h"
#include "base/log.h"
#include "base/options.h"
#include "protocol/virtual_items.h"
#include "usb/source_names.h"

namespace {

// clang-format off
constexpr CommandRow kBuiltinCommands[] = {
    {GET_STATUS, "GET_STATUS", 0},
    {SET_EXCHANGE, "SET_EXCHANGE", 0},
    {RESET_TARGET, "RESET_TARGET", 0},
    {GET_VERSION, "GET_VERSION", 0},
    {GET_SERIAL, "GET_SERIAL", 0},
    {RD_SIGNAT, "RD_SIGNAT", 0},
    {WR_SIGNAT, "WR_SIGNAT", 0},
    {LOAD_TARGET, "LOAD_TARGET", 0},
    {START_TARGET, "START_TARGET", 0},
    {FLASH_INIT, "FLASH_INIT", 0},
    {FLASH_INIT_POWER_OFF, "FLASH_INIT_POWER_OFF", 0},
    {RD_DEBUG_TRACE, "RD_DEBUG_TRACE", 0},
    {SET_DEBUG, "SET_DEBUG", 0},
    {RD_BUFFER_INIT, "RD_BUFFER_INIT", 0},
    {RD_BUFFER, "RD_BUFFER", 0},
    {GET_BOOT_VER, "GET_BOOT_VER", 0},
    {RD_VIRT_STRING, "RD_VIRT_STRING", 0},
    {WR_VIRT_STRING, "WR_VIRT_STRING", 0},
    {RD_VIRT_STRING_BATCH, "RD_VIRT_STRING_BATCH", 0},
    {WR_VIRT_STRING_BATCH, "WR_VIRT_STRING_BATCH", 0},
    {WR_VIRT_STRING_EX_START, "WR_VIRT_STRING_EX_START", 0},
    {WR_VIRT_STRING_EX_DATA, "WR_VIRT_STRING_EX_DATA", 0},
    {RD_VIRT_SFR, "RD_VIRT_SFR", 0},
    {WR_VIRT_SFR, "WR_VIRT_SFR", 0},
    {RD_VIRT_SFR_BATCH, "RD_VIRT_SFR_BATCH", 0},
    {WR_VIRT_SFR_BATCH, "WR_VIRT_SFR_BATCH", 0},
    {RD_FLASH_AREA, "RD_FLASH_AREA", 0},
    {SD_RD_DIR, "SD_RD_DIR", 0},
    {GET_SCREEN_SQ, "GET_SCREEN_SQ", 0},
    {SET_LOCAL_TIME, "SET_LOCAL_TIME", 0},
    {RESET_OPTIONS, "RESET_OPTIONS", 0},
    {SET_TIME, "SET_TIME", 0},
    {VIRT_KB_CMD, "VIRT_KB_CMD", 0},
    {FW_IMAGE_GET_INFO, "FW_IMAGE_GET_INFO", 0},
    {FW_IMAGE_WRITE, "FW_IMAGE_WRITE", 0},
    {FW_IMAGE_UPDATE, "FW_IMAGE_UPDATE", 0},
    {SET_BT_EXCHANGE_ID, "SET_BT_EXCHANGE_ID", 0},
};

struct TargetIdRow {
  uint32_t value;
  const char* name;
};
constexpr TargetIdRow kTargetIds[] = {
    {HOST_ID, "HOST_ID"},       {TARGET_ID, "TARGET_ID"},         {MIRELLO_ID, "MIRELLO_ID"},
    {KV_TEST_ID, "KV_TEST_ID"}, {QL1_TRG_ID, "QL1_TRG_ID"},       {TESSIVA_ID, "TESSIVA_ID"},
    {QL3_TEST_ID, "QL3_TEST_ID"}, {QL3_SENSOR_ID, "QL3_SENSOR_ID"}, {QL5_ID, "QL5_ID"},
    {QL5_TEST_ID, "QL5_TEST_ID"}, {QL5_SPY_ID, "QL5_SPY_ID"},     {NV1_TRG_ID, "NV1_TRG_ID"},
    {NV2_TRG_ID, "NV2_TRG_ID"}, {NV3_TRG_ID, "NV3_TRG_ID"},       {NV1_TEST_ID, "NV1_TEST_ID"},
    {NV2_TEST_ID, "NV2_TEST_ID"}, {NV3_TEST_ID, "NV3_TEST_ID"},   {NV4_TRG_ID, "NV4_TRG_ID"},
};

constexpr const char* kFlashStatusNames[] = {
    "FLASH_OK",          "FLASH_INV_ADDR",         "FLASH_WR_PROT",      "FLASH_NOT_BLANK",
    "FLASH_VERIFY",      "FLASH_ERASE",            "FLASH_PROG",         "FLASH_INIT_ER",
    "FLASH_SIGN_ER",     "FLASH_INVALID_CRC",      "FLASH_INVALID_KEY_NUMB",
    "FLASH_INVALID_SIGN", "FLASH_INVALID_AREA_NAME", "FLASH_INVALID_TARGET",
};

constexpr const char* kInterfaceTypeNames[] = {"NONE_IF", "USB_IF", "BLE_IF", "KEY_IF"};
// clang-format on

struct CommandTable {
  std::mutex lock;
  std::vector<CommandRecord> records;
};

CommandTable& Table() {
  static Immortal<CommandTable> table;
  return table.Get();
}

// The calling thread's level override (one code at a time; nested overrides
// restore the outer one).
struct LevelOverride {
  uint32_t code = 0;
  uint32_t level = 0;
  bool active = false;
};
thread_local LevelOverride t_Override;

// The protocol's deferred start-up entries.
void AddProtocolSourceName() {
  AddSourceName("RUSBDev");
}

void RegisterProtocolTables() {
  size_t count = 0;
  const CommandRow* rows = BuiltinCommandRows(count);
  RegisterCommands(rows, count);
  const VirtualItemRow* items = BuiltinVirtualItemRows(count);
  RegisterVirtualItems(items, count);
  SortVirtualItems();
}

void RegisterProtocolEntries() {
  RegisterStartupFunction(AddProtocolSourceName, kStartupPriorityDeferred);
  RegisterStartupFunction(RegisterProtocolTables, kStartupPriorityDeferred);
}

NVD_STATIC_REGISTRATION(g_ProtocolEntriesRegistered) {
  RegisterStartupStep(StartupStep::kProtocolEntries, RegisterProtocolEntries);
}

}  // namespace

const char* FlashStatusName(uint32_t status) {
  return status < std::size(kFlashStatusNames) ? kFlashStatusNames[status] : "FLASH_STATUS Unknown";
}

PStr TargetIdName(uint32_t value) {
  for (const TargetIdRow& row : kTargetIds)
    if (row.value == value) return PStr(row.name);
  return FormatStr("%08X", value);
}

const char* InterfaceTypeName(uint32_t type) {
  return type < std::size(kInterfaceTypeNames) ? kInterfaceTypeNames[type] : "?";
}

const CommandRow* BuiltinCommandRows(size_t& count) {
  count = std::size(kBuiltinCommands);
  return kBuiltinCommands;
}

void RegisterCommands(const CommandRow* rows, size_t count) {
  CommandTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  for (size_t i = 0; i < count; ++i) {
    const CommandRow& row = rows[i];
    bool replaced = false;
    for (CommandRecord& record : table.records) {
      if (record.code == row.code) {
        record.name = row.name != nullptr ? row.name : "";
        record.traceLevel = row.traceLevel;
        replaced = true;
        break;
      }
    }
    if (!replaced)
      table.records.push_back(
          CommandRecord{row.code, row.name != nullptr ? row.name : "", row.traceLevel});
  }
}

bool FindCommand(uint32_t code, CommandRecord& record) {
  CommandTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  for (const CommandRecord& candidate : table.records) {
    if (candidate.code == code) {
      record = candidate;
      return true;
    }
  }
  return false;
}

uint32_t CommandCount() {
  CommandTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return static_cast<uint32_t>(table.records.size());
}

uint32_t CommandTraceLevel(uint32_t code) {
  if (t_Override.active && t_Override.code == code) return t_Override.level;
  CommandRecord record;
  return FindCommand(code, record) ? record.traceLevel : 0;
}

PStr CommandNameText(uint32_t code) {
  CommandRecord record;
  if (!FindCommand(code, record)) return FormatStr("%08X", code);
  const uint32_t level =
      t_Override.active && t_Override.code == code ? t_Override.level : record.traceLevel;
  const bool hidden = g_TraceLevel < 0 || level > static_cast<uint32_t>(g_TraceLevel);
  return FormatStr(hidden ? "*%s" : "%s", record.name.c_str());
}

CommandLevelOverride::CommandLevelOverride(uint32_t code, uint32_t level)
    : previousCode_(t_Override.code),
      previousLevel_(t_Override.level),
      previousActive_(t_Override.active) {
  t_Override.code = code;
  t_Override.level = level;
  t_Override.active = true;
}

CommandLevelOverride::~CommandLevelOverride() {
  t_Override.code = previousCode_;
  t_Override.level = previousLevel_;
  t_Override.active = previousActive_;
}
