// The Win32 device functions that the Windows driver channel and device
// enumeration call, as one table of function pointers.
//
// driver.cpp and enumeration.cpp reach the instrument's driver and SetupAPI
// only through this table, never directly. By default it holds the system's
// functions. When the environment variable NVDEVICES_DEVICE_ROOT is set (not
// empty), it holds the driver stand-in's functions instead (stand_in.cpp):
// the same signatures, carrying the same calls to the simulator
// (docs/driver-stand-in.md). Tests install tables of their own to drive the
// code above the table with fake drivers.
//
// Every entry has exactly the type of the Windows function it stands for.
// Only the device handle and the device-information set go through the
// table: events and the other objects the code above creates for itself are
// real, and so are the waits on them.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: setupapi.h builds on its types.
#include <setupapi.h>

#include "platform/enumeration.h"

namespace platform::win32 {

struct DeviceCalls {
  decltype(&::SetupDiGetClassDevsA) SetupDiGetClassDevsA;
  decltype(&::SetupDiEnumDeviceInfo) SetupDiEnumDeviceInfo;
  decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailA) SetupDiGetDeviceInterfaceDetailA;
  decltype(&::SetupDiGetDeviceRegistryPropertyA) SetupDiGetDeviceRegistryPropertyA;
  decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
  decltype(&::CreateFileA) CreateFileA;
  decltype(&::DeviceIoControl) DeviceIoControl;
  decltype(&::ReadFile) ReadFile;
  decltype(&::WriteFile) WriteFile;
  decltype(&::GetOverlappedResult) GetOverlappedResult;
  decltype(&::CancelIo) CancelIo;
  decltype(&::CloseHandle) CloseHandle;
};

// The library's form of a Windows GUID (enumeration.cpp).
Guid FromWindows(const GUID& guid);

// The system's functions.
const DeviceCalls& SystemDeviceCalls();

// The driver stand-in's functions (stand_in.cpp).
const DeviceCalls& StandInDeviceCalls();

// The table in use: the one a test installed, else the default, chosen once
// on first use (the stand-in's when NVDEVICES_DEVICE_ROOT is set and not
// empty, else the system's).
const DeviceCalls& DeviceFunctions();

// Installs `calls` (kept by pointer; the caller keeps it alive) and returns
// the table in use before. nullptr restores the default. Meant for tests:
// install before a device is opened or a set is enumerated, and restore
// after every handle and set made through the table is gone.
const DeviceCalls* InstallDeviceCalls(const DeviceCalls* calls);

}  // namespace platform::win32
