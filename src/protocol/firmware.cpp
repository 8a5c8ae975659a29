// FirmwareDevice: the programming hooks forwarded to callbacks.
#include "protocol/firmware.h"

FirmwareDevice::FirmwareDevice(const char* path, FirmwareHooks hooks)
    : RealUSBDevice(path), hooks_(std::move(hooks)) {}

bool FirmwareDevice::Identify() {
  IgnoreSignature = true;
  return ReadIdentity();
}

bool FirmwareDevice::ProgramFile(const char* fileName) {
  if (!ProgramTarget(fileName) || !GetStatus()) return false;
  if ((StatusWord & BOOT_BIT) != 0 && !StartTarget()) return false;
  ReadSignatureRecord();
  return ReadVersions();
}

uint32_t FirmwareDevice::ChooseTarget(uint32_t previous) {
  if (!hooks_.ChooseTarget) return RealUSBDevice::ChooseTarget(previous);
  return hooks_.ChooseTarget(TargetNames, previous);
}

void FirmwareDevice::BeforeProgramming() {
  if (hooks_.BeforeProgramming) hooks_.BeforeProgramming();
}

void FirmwareDevice::ReportProgress(uint32_t total, uint32_t done) {
  if (hooks_.Progress) hooks_.Progress(total, done);
}

void FirmwareDevice::AfterProgramming(bool ok) {
  if (hooks_.AfterProgramming) hooks_.AfterProgramming(ok);
}

void FirmwareDevice::BeforeBurn() {
  if (hooks_.BeforeBurn) hooks_.BeforeBurn();
}

void FirmwareDevice::AfterBurn(bool ok) {
  if (hooks_.AfterBurn) hooks_.AfterBurn(ok);
}

bool FirmwareDevice::ContinueAfterImageFailure() {
  if (!hooks_.ContinueAfterImageFailure) return RealUSBDevice::ContinueAfterImageFailure();
  return hooks_.ContinueAfterImageFailure();
}
