// The library log: every diagnostic line goes to one process-wide text file,
// NVDevices.log in the start-up directory, flushed after every entry.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

// Passes the entry to the print hook (nothing when it is null).
void LogPrint(const char* format, ...);
// The same while the debug-output switch is on (it always is).
void LogDebugPrint(const char* format, ...);

using PrintHookFn = void (*)(const char* format, va_list args);
using LogWriteHookFn = void (*)(FILE* stream, const char* format, va_list args);
using LogTitleHookFn = const char* (*)();

PrintHookFn SetPrintHook(PrintHookFn hook);
LogWriteHookFn SetLogWriteHook(LogWriteHookFn hook);
LogTitleHookFn SetLogTitleHook(LogTitleHookFn hook);
bool DebugOutputEnabled();
// The log title (the title hook's text; the module name by default).
const char* LogTitle();

// The log writer installed as the print hook at start-up.
void WriteLogEntry(const char* format, va_list args);
// The default write hook: cut-off check, formatted write, flush.
void WriteLogText(FILE* stream, const char* format, va_list args);
// Opens the log if it is not open.
void OpenLog();
// Text of the header's system-information block.
const char* BuildSystemInfoBlock();  // valid until the next call on this thread

// Device-layer output hooks.
void DeviceErrorHook(const char* text);  // "Error: %s\n"
void DeviceInfoHook(const char* text);   // "%s"
// The hooks the device layer calls (installed at start-up; a null hook
// drops the text).
using DeviceTextHookFn = void (*)(const char* text);
void SetDeviceOutputHooks(DeviceTextHookFn errorHook, DeviceTextHookFn infoHook);
void DeviceErrorOutput(const char* text);
void DeviceInfoOutput(const char* text);

// Base name of the log file: null disables the log; the default (the module
// name) is restored by SetLogBaseName(kDefaultLogBaseName). A name with a
// folder is used as given, extension included. Takes effect at the next open.
extern const char* const kDefaultLogBaseName;
void SetLogBaseName(const char* name);
// Full path of the open log file ("" while closed).
const char* LogPath();
void SetLogCutOff(bool on);
// Bytes removed by cut-offs since the log was opened.
uint64_t LogTotalCut();
// Closes the log so that the next entry opens it again as a new file (the
// total cut starts again from 0).
void CloseLog();

// The log's size limits: a file longer than kLogCutOffLimit before an entry
// is cut to its newest kLogKeptBytes behind the header.
inline constexpr int64_t kLogCutOffLimit = 0x800000;
inline constexpr int64_t kLogKeptBytes = 0x400000;

// Process-wide trace level: 0 at load; device trace lines are written only
// when it is at least 1.
extern int g_TraceLevel;
