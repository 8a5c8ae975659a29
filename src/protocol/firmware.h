// Firmware programming for host programs and tools: a device whose
// programming hooks are callbacks, and the target-file helpers (image CRC,
// container reader and writer, Intel HEX reader, memory image).
//
// Typical use:
//   FirmwareHooks hooks;
//   hooks.Progress = [](uint32_t total, uint32_t done) { ... };
//   FirmwareDevice device(path, std::move(hooks));
//   if (device.IsOpen() && device.Identify() && device.ProgramFile("fw.trg")) ...
//
// Threads: one device is driven from one thread at a time; the callbacks run
// on that thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol/container.h"
#include "protocol/crc32.h"
#include "protocol/intel_hex.h"
#include "protocol/memory_image.h"
#include "protocol/real_usb_device.h"

// The whole target file; false when it does not open, cannot be read, or is
// too large for the 32-bit counts of the flash and image commands.
bool LoadWholeFile(const char* path, std::vector<uint8_t>& bytes);

// Callbacks for the programming hooks; an empty one keeps the device's
// default (nothing, target 0, fall back to flash programming).
struct FirmwareHooks {
  // Flash programming: bytes of the target written so far; the burn of a
  // staged image: milliseconds of the burn wait passed so far.
  std::function<void(uint32_t total, uint32_t done)> Progress;
  // The index of the target to program among the names of a multi-target
  // file; `previous` is the index chosen last time.
  std::function<uint32_t(const std::vector<std::string>& names, uint32_t previous)> ChooseTarget;
  std::function<void()> BeforeProgramming;
  std::function<void(bool ok)> AfterProgramming;
  std::function<void()> BeforeBurn;
  std::function<void(bool ok)> AfterBurn;
  // After a failed image upload: true falls back to flash programming.
  std::function<bool()> ContinueAfterImageFailure;
};

class FirmwareDevice : public RealUSBDevice {
 public:
  explicit FirmwareDevice(const char* path, FirmwareHooks hooks = {});
  const char* ClassName() const override { return "FirmwareDevice"; }

  // Sets up the session and reads the identity without comparing the
  // target with any file (IgnoreSignature on).
  bool Identify();
  // Programs the target from a container or Intel HEX file (a missing
  // "x.trg" is looked for as "x.bin"), starts the target when the instrument
  // is left in its loader, and reads the signature record and versions
  // again. True when all of it succeeded.
  bool ProgramFile(const char* fileName);

  uint32_t ChooseTarget(uint32_t previous) override;
  void BeforeProgramming() override;
  void ReportProgress(uint32_t total, uint32_t done) override;
  void AfterProgramming(bool ok) override;
  void BeforeBurn() override;
  void AfterBurn(bool ok) override;
  bool ContinueAfterImageFailure() override;

 private:
  FirmwareHooks hooks_;
};
