// Firmware image upload: the instrument stages a whole target file in chunks
// (FW_IMAGE_WRITE), reports what it holds and its CRC (FW_IMAGE_GET_INFO),
// and burns the staged image on FW_IMAGE_UPDATE, after which it restarts.
#include <algorithm>
#include <cstring>

#include "platform/driver.h"
#include "platform/time.h"
#include "protocol/crc32.h"
#include "protocol/real_usb_device.h"

namespace {

constexpr uint32_t kProgressSteps = 100;  // progress calls during the burn wait

}  // namespace

uint32_t ImageSignature(const std::vector<uint8_t>& image) {
  if (image.size() < 16) return RealUSBDevice::kNoSignature;
  const uint8_t* p = image.data() + 12;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void RealUSBDevice::QueryImageState(const std::vector<uint8_t>& image) {
  FirmwareImageState& state = ImageState;
  state.Failed = false;
  state.Loaded = 0;
  state.Complete = false;
  state.InfoValid = false;  // answered by this query, or not
  if (&image != &state.Image) state.Image = image;
  const uint32_t imageSignature = ImageSignature(state.Image);
  const uint32_t imageLength = static_cast<uint32_t>(state.Image.size());

  const bool savedSkipChecks = SkipChecks;
  BeginCommand(FW_IMAGE_GET_INFO);
  SkipChecks = true;
  Exchange();
  SkipChecks = savedSkipChecks;
  if (WasError || ReplyCode == kUnrecognizedCommand) return;
  // A reply to another command (the checks were skipped) is no answer.
  if (ReplyCode != FW_IMAGE_GET_INFO) return;

  uint32_t loaded = 0;
  if (!TakeU32(loaded) || !TakeU32(state.Chunk)) {
    state.Failed = true;
    return;
  }
  state.InfoValid = true;
  state.Signature = imageSignature;
  if (loaded != 0) {
    uint32_t deviceSignature = 0;
    if (!TakeU32(deviceSignature) || !TakeU32(state.DeviceCrc)) {
      state.Failed = true;
      state.InfoValid = false;
      return;
    }
    if (deviceSignature != imageSignature) {
      Log("Firmware image signature mismatch, resetting");
    } else if (loaded > imageLength) {
      Log("Firmware image signature match, invalid loaded byte count, resetting\n");
    } else if (ImageCrc32(state.Image.data(), loaded) != state.DeviceCrc) {
      Log("Firmware image signature match, CRC32 mismatch, resetting\n");
    } else {
      Log("Firmware image signature match, CRC32 match\n");
      state.Loaded = loaded;
      state.Complete = loaded == imageLength;
    }
  }
  if (state.Complete)
    Log("Ready to burn the firmware image\n");
  else
    Log("Continuing to upload the firmware image from offset %d\n", state.Loaded);
}

bool RealUSBDevice::WriteImageChunk(uint32_t offset, uint32_t count) {
  FirmwareImageState& state = ImageState;
  BeginCommand(FW_IMAGE_WRITE).PutU32(state.Signature).PutU32(offset).PutU32(count);
  if (count != 0) PutBytes(state.Image.data() + offset, count);
  Exchange();
  uint32_t error = 0;
  if (WasError || ReplyCode == kUnrecognizedCommand || !TakeU32(error)) {
    state.Failed = true;
    return false;
  }
  if (error != 0) {
    Log("FW_IMAGE_WRITE returned error #%d\n", error);
    state.Failed = true;
    return false;
  }
  return true;
}

bool RealUSBDevice::UploadImage() {
  FirmwareImageState& state = ImageState;
  const uint32_t length = static_cast<uint32_t>(state.Image.size());
  Log("--- Uploading FW Image to device: Total bytes = %d, already loaded: %d ---\n", length,
      state.Loaded);
  state.Signature = ImageSignature(state.Image);
  if (state.Complete) return true;
  // Writing resumes where the instrument's staged bytes end: it then
  // receives only the missing ones, each write carrying its offset.
  while (state.Loaded < length) {
    if (state.Chunk == 0) {
      Log("FW_IMAGE_GET_INFO reported a chunk size of 0: nothing can be written\n");
      state.Failed = true;
      return false;
    }
    const uint32_t n = std::min(length - state.Loaded, state.Chunk);
    Log("FW Image: Writing %d bytes at offset %d\n", n, state.Loaded);
    if (!WriteImageChunk(state.Loaded, n)) return false;
    state.Loaded += n;
  }
  if (!WriteImageChunk(state.Loaded, 0)) return false;
  QueryImageState(state.Image);
  return state.Complete;
}

bool RealUSBDevice::BurnImage(const std::vector<uint8_t>& file, const char* fileName) {
  FirmwareImageState& state = ImageState;
  if (file.size() > UINT32_MAX) {
    state.InfoValid = false;
    return false;
  }
  QueryImageState(file);
  if (!state.InfoValid) return false;
  Log("Uploading target FW image \"%s\" to device\n", fileName != nullptr ? fileName : "");
  if (!state.Complete) {
    UploadImage();
    if (!state.Complete) return false;
  }
  Log("--- Burning FW Image: Signat = %08X (%s), index = %d ---\n", state.Signature,
      DosDateTimeText(state.Signature).c_str(), ChosenTarget);
  BeforeBurn();

  state.BurnWait = 0;
  BeginCommand(FW_IMAGE_UPDATE).PutU32(HOST_ID).PutU32(ChosenTarget).PutU32(state.Signature);
  Exchange();
  uint32_t error = 0;
  if (WasError || ReplyCode == kUnrecognizedCommand) return false;
  if (!TakeU32(error)) return false;
  if (error != 0) Log("FW Image update: Device reported an error %d", error);
  if (!TakeU32(state.BurnWait) || error != 0) return false;

  Log("Closing device handle\n");
  platform::CloseDriverHandle(Handle);
  Handle = platform::kInvalidDeviceHandle;
  WaitForBurn(state.BurnWait);

  // The instrument comes back on its own after the burn wait: no further
  // wait before re-opening it.
  struct DelayRestore {
    uint32_t& delay;
    uint32_t saved;
    ~DelayRestore() { delay = saved; }
  } restoreDelay{ReinitDelay, ReinitDelay};
  ReinitDelay = 0;
  // A loader's path is gone once the instrument restarts into its target.
  if (DevicePath.Text() != nullptr && std::strstr(DevicePath.Text(), "bootloader") != nullptr)
    DevicePath = "";
  const bool ok = Reinitialize() && SetExchange() && GetStatus();
  AfterBurn(ok);
  return ok;
}

void RealUSBDevice::WaitForBurn(uint32_t burnWait) {
  Log("Waiting %d ms...\n", burnWait);
  // kProgressSteps steps, each ending at its own share of the wait: a late
  // wake-up shortens the next sleeps, so the wait is not stretched, and the
  // host sees every step.
  const uint32_t start = platform::TickCount();
  for (uint32_t step = 0; step < kProgressSteps; ++step) {
    const uint32_t elapsed = platform::TickCount() - start;
    ReportProgress(burnWait, std::min(elapsed, burnWait));
    const uint32_t stepEnd =
        static_cast<uint32_t>(uint64_t{burnWait} * (step + 1) / kProgressSteps);
    const uint32_t now = platform::TickCount() - start;
    if (stepEnd > now) platform::Sleep(stepEnd - now);
  }
  ReportProgress(burnWait, burnWait);
}
