// The words of the instrument's command protocol: command codes and their
// process-wide name table, target ids, interface types, flash status codes
// and the status bits the library tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/strings.h"

// Command codes: bit 31 set, bits 24-28 clear (the exchange index goes there).
inline constexpr uint32_t GET_STATUS = 0x80000005;
inline constexpr uint32_t SET_EXCHANGE = 0x80000007;
inline constexpr uint32_t RESET_TARGET = 0x80000009;
inline constexpr uint32_t GET_VERSION = 0x8000000A;
inline constexpr uint32_t GET_SERIAL = 0x8000000B;
inline constexpr uint32_t SET_DEBUG = 0x8000000C;
inline constexpr uint32_t RD_DEBUG_TRACE = 0x8000000F;
inline constexpr uint32_t RD_BUFFER_INIT = 0x80000010;
inline constexpr uint32_t RD_BUFFER = 0x80000011;
inline constexpr uint32_t FW_IMAGE_GET_INFO = 0x80000012;
inline constexpr uint32_t FW_IMAGE_WRITE = 0x80000013;
inline constexpr uint32_t FW_IMAGE_UPDATE = 0x80000014;
inline constexpr uint32_t GET_BOOT_VER = 0x80000001;
inline constexpr uint32_t RD_SIGNAT = 0x80000101;
inline constexpr uint32_t WR_SIGNAT = 0x80000102;
inline constexpr uint32_t LOAD_TARGET = 0x80000103;
inline constexpr uint32_t START_TARGET = 0x80000104;
inline constexpr uint32_t FLASH_INIT = 0x80000105;
inline constexpr uint32_t FLASH_BLOCK = 0x80000106;  // no row in the table
inline constexpr uint32_t FLASH_INIT_POWER_OFF = 0x80000109;
inline constexpr uint32_t SD_RD_DIR = 0x80000811;
inline constexpr uint32_t RD_FLASH_AREA = 0x8000081C;
inline constexpr uint32_t RD_VIRT_SFR = 0x80000824;
inline constexpr uint32_t WR_VIRT_SFR = 0x80000825;
inline constexpr uint32_t RD_VIRT_STRING = 0x80000826;
inline constexpr uint32_t WR_VIRT_STRING = 0x80000827;
inline constexpr uint32_t RD_VIRT_SFR_BATCH = 0x8000082A;
inline constexpr uint32_t WR_VIRT_SFR_BATCH = 0x8000082B;
inline constexpr uint32_t RD_VIRT_STRING_BATCH = 0x8000082C;
inline constexpr uint32_t WR_VIRT_STRING_BATCH = 0x8000082D;
inline constexpr uint32_t WR_VIRT_STRING_EX_START = 0x80000832;
inline constexpr uint32_t WR_VIRT_STRING_EX_DATA = 0x80000833;
inline constexpr uint32_t SET_BT_EXCHANGE_ID = 0x80000903;
inline constexpr uint32_t VIRT_KB_CMD = 0x80000A02;
inline constexpr uint32_t SET_TIME = 0x80000A03;
inline constexpr uint32_t SET_LOCAL_TIME = 0x80000A04;
inline constexpr uint32_t RESET_OPTIONS = 0x80000A05;
inline constexpr uint32_t GET_SCREEN_SQ = 0x80000A06;

// Reply words.
inline constexpr uint32_t kUnrecognizedCommand = 0xE0000006;
inline constexpr uint32_t kReplyCodeMask = 0xE0FFFFFF;  // clears the index bits
inline constexpr uint32_t kIndexBits = 0x1F000000;      // bits 24-28
inline constexpr uint32_t kIndexShift = 24;

// Target ids. HOST_ID is what the host sends; the others are what
// instruments report.
inline constexpr uint32_t HOST_ID = 0xFF12FF01;
inline constexpr uint32_t TARGET_ID = 0xFF01FF32;
inline constexpr uint32_t MIRELLO_ID = 0xFFFF1100;
inline constexpr uint32_t KV_TEST_ID = 0xFF10FF30;
inline constexpr uint32_t QL1_TRG_ID = 0xDADA0101;
inline constexpr uint32_t TESSIVA_ID = 0xDADA0102;
inline constexpr uint32_t QL3_TEST_ID = 0xDEDA0102;
inline constexpr uint32_t QL3_SENSOR_ID = 0xDADA0103;
inline constexpr uint32_t QL5_ID = 0xDADA0104;
inline constexpr uint32_t QL5_TEST_ID = 0xDEDA0103;
inline constexpr uint32_t QL5_SPY_ID = 0xDEDA0104;
inline constexpr uint32_t NV1_TRG_ID = 0xFF03FF33;
inline constexpr uint32_t NV2_TRG_ID = 0xDADA0105;
inline constexpr uint32_t NV3_TRG_ID = 0xDADA0106;
inline constexpr uint32_t NV1_TEST_ID = 0xDEDA0101;
inline constexpr uint32_t NV2_TEST_ID = 0xDEDA0105;
inline constexpr uint32_t NV3_TEST_ID = 0xDEDA0106;
inline constexpr uint32_t NV4_TRG_ID = 0xDADA0107;

// Status bits the library tests.
inline constexpr uint32_t BOOT_BIT = 0x00000001;

// Flash status codes.
enum FlashStatus : uint32_t {
  FLASH_OK = 0,
  FLASH_INV_ADDR = 1,
  FLASH_WR_PROT = 2,
  FLASH_NOT_BLANK = 3,
  FLASH_VERIFY = 4,
  FLASH_ERASE = 5,
  FLASH_PROG = 6,
  FLASH_INIT_ER = 7,
  FLASH_SIGN_ER = 8,
  FLASH_INVALID_CRC = 9,
  FLASH_INVALID_KEY_NUMB = 10,
  FLASH_INVALID_SIGN = 11,
  FLASH_INVALID_AREA_NAME = 12,
  FLASH_INVALID_TARGET = 13,
};

// "FLASH_OK" ... "FLASH_INVALID_TARGET", else "FLASH_STATUS Unknown".
const char* FlashStatusName(uint32_t status);
// The target-id name, or "%08X".
PStr TargetIdName(uint32_t value);
// "NONE_IF", "USB_IF", "BLE_IF", "KEY_IF", else "?".
const char* InterfaceTypeName(uint32_t type);

// The command-code table: {code, name, trace level}, process-wide, filled at
// library start-up from the built-in rows. Registering a code that is present
// replaces its name and level; a new code is appended. The table has its own
// lock, so a registration never tears a lookup on another thread.
struct CommandRow {
  uint32_t code;
  const char* name;
  uint32_t traceLevel;
};
struct CommandRecord {
  uint32_t code = 0;
  std::string name;
  uint32_t traceLevel = 0;
};
void RegisterCommands(const CommandRow* rows, size_t count);
// Copies the record of a code; false when the code is not in the table.
bool FindCommand(uint32_t code, CommandRecord& record);
uint32_t CommandCount();
// The built-in rows (registered by the protocol's start-up entry).
const CommandRow* BuiltinCommandRows(size_t& count);

// The effective trace level of a code on the calling thread: a level pushed
// by CommandLevelOverride on this thread wins over the table's.
uint32_t CommandTraceLevel(uint32_t code);
// The command's name text: the name, prefixed with "*" when its effective
// trace level exceeds the process trace level; an unknown code is "%08X".
PStr CommandNameText(uint32_t code);

// Sets the effective trace level of one code for the calling thread while it
// lives (restored on every way out, exceptions included). Other threads keep
// seeing the table's level: reading virtual strings on two devices at once
// does not mix their levels.
class CommandLevelOverride {
 public:
  CommandLevelOverride(uint32_t code, uint32_t level);
  ~CommandLevelOverride();
  CommandLevelOverride(const CommandLevelOverride&) = delete;
  CommandLevelOverride& operator=(const CommandLevelOverride&) = delete;

 private:
  uint32_t previousCode_;
  uint32_t previousLevel_;
  bool previousActive_;
};
