// The virtual-item table: names of the instrument's virtual strings and
// virtual registers by id, process-wide, filled at library start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/strings.h"

// Ids of the built-in items.
inline constexpr uint32_t VS_FILE_NAME = 1;
inline constexpr uint32_t VS_CONFIGURATION = 2;
inline constexpr uint32_t VS_FW_DESCRIPTOR = 3;
inline constexpr uint32_t VS_HW_DESCRIPTOR = 4;
inline constexpr uint32_t VS_TEXT_MESSAGE = 0xF;
inline constexpr uint32_t VS_SFR_FILE = 0x101;
// The calibration block (not in the table: named "0x203").
inline constexpr uint32_t kCalibrationBlockId = 0x203;

// Trace level 3 of an item: its reads write no log line.
inline constexpr uint32_t kSilentItemLevel = 3;

struct VirtualItemRow {
  uint32_t kind;
  uint32_t id;
  const char* name;
  uint32_t traceLevel;
};
struct VirtualItemRecord {
  uint32_t kind = 0;
  uint32_t id = 0;
  std::string name;
  uint32_t traceLevel = 0;
};

// Registers rows: an id already present gets the row's name (and level), a
// new id is appended. SortVirtualItems orders the table by name (byte-wise,
// unsigned).
void RegisterVirtualItems(const VirtualItemRow* rows, size_t count);
void SortVirtualItems();
bool FindVirtualItem(uint32_t id, VirtualItemRecord& record);
uint32_t VirtualItemCount();
bool VirtualItemAt(uint32_t index, VirtualItemRecord& record);
const VirtualItemRow* BuiltinVirtualItemRows(size_t& count);

// "%s (0x%X)" for an item in the table, else "0x%X".
PStr VirtualItemNameText(uint32_t id);
// "%I64u" below 10, else "%I64u (0x%I64X)".
PStr VirtualValueText(uint64_t value);
