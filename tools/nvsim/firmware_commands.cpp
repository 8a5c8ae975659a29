// The instrument's flash and firmware-image commands: LOAD_TARGET, WR_SIGNAT,
// the block command, FW_IMAGE_GET_INFO, FW_IMAGE_WRITE and FW_IMAGE_UPDATE.
#include <cstdio>

#include "instrument.h"

namespace nvsim {
namespace {

constexpr size_t kWriteHistory = 16384;

uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The i-th u32 parameter, 0 when the frame is too short for it.
uint32_t Param(const uint8_t* params, size_t size, size_t i) {
  return size >= 4 * (i + 1) ? Load32(params + 4 * i) : 0;
}

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> out;
  for (uint32_t w : words) {
    for (int i = 0; i < 4; ++i)
      out.push_back(static_cast<uint8_t>(w >> (8 * i)));
  }
  return out;
}

std::string Format(const char* format, auto... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

template <typename T>
void Keep(std::deque<T>& list, const T& item) {
  list.push_back(item);
  if (list.size() > kWriteHistory) list.pop_front();
}

}  // namespace

uint32_t PositionWord(uint32_t code, const uint8_t* params, size_t size) {
  return Param(params, size, code == command::kFwImageWrite ? 1 : 0);
}

void Instrument::RecordFlashWrite(uint32_t code, uint32_t address, uint32_t length,
                                  uint32_t status) {
  Keep(flashWrites_, FlashWrite{code, address, length, status});
}

void Instrument::RecordRefused(uint32_t code, const uint8_t* params, size_t size, uint32_t status) {
  if (code == command::kFwImageWrite) {
    Keep(imageWrites_, ImageWrite{Param(params, size, 0), Param(params, size, 1),
                                  Param(params, size, 2), status});
  } else if (code == command::kLoadTarget || code == command::kLoadBlock) {
    const uint32_t length = Param(params, size, 1);
    RecordFlashWrite(code, Param(params, size, 0), length, status);
  }
  Event(Format("%08X refused by a fault: %u", code, status));
}

std::vector<uint8_t> Instrument::LoadTarget(const uint8_t* params, size_t size) {
  const uint32_t address = Param(params, size, 0);
  const uint32_t length = Param(params, size, 1);
  uint32_t status = kFlashOk;
  if (size < 8 || size - 8 != length) {
    status = kFlashProg;  // the length word does not match the data carried
  } else if (config_.flashNeedsLoader && !loader_) {
    status = kFlashInitEr;
  } else if (!flash_.Write(address, params + 8, length)) {
    status = kFlashInvAddr;
  }
  RecordFlashWrite(command::kLoadTarget, address, length, status);
  Event(Format("flash write %08X, %u bytes: status %u", address, length, status));
  return Words({status});
}

std::vector<uint8_t> Instrument::LoadBlock(const uint8_t* params, size_t size) {
  const uint32_t w = Param(params, size, 0);
  const uint32_t l = Param(params, size, 1);
  uint32_t status = kFlashInvalidSign;  // without W and L there is nothing to check
  if (size >= 8) status = CheckBlock(flash_, w, l, params + 8, size - 8);
  if (status == kFlashOk && config_.flashNeedsLoader && !loader_) status = kFlashInitEr;
  if (status == kFlashOk) flash_.Write(w, params + 8, l);
  RecordFlashWrite(command::kLoadBlock, w, l, status);
  Event(Format("flash block %08X, %u bytes: status %u", w, l, status));
  return Words({status});
}

std::vector<uint8_t> Instrument::WriteSignature(const uint8_t* params, size_t size) {
  uint32_t status = kFlashOk;
  if (size < 4) {
    status = kFlashProg;
  } else if (config_.flashNeedsLoader && !loader_) {
    status = kFlashInitEr;
  } else {
    config_.signature = Load32(params);
  }
  Event(Format("signature %08X: status %u", Param(params, size, 0), status));
  return Words({status});
}

std::vector<uint8_t> Instrument::ImageInfo() const {
  const auto held = static_cast<uint32_t>(staged_.bytes.size());
  if (held == 0) return Words({0, config_.imageChunk});
  return Words({held, config_.imageChunk, staged_.signature, StagedCrc()});
}

std::vector<uint8_t> Instrument::StageChunk(const uint8_t* params, size_t size) {
  const uint32_t signature = Param(params, size, 0);
  const uint32_t offset = Param(params, size, 1);
  const uint32_t n = Param(params, size, 2);
  const auto held = static_cast<uint32_t>(staged_.bytes.size());
  uint32_t error = kImageOk;
  if (size < 12 || size - 12 != n) {
    error = kImageLength;
  } else if (n > config_.imageChunk) {
    error = kImageChunk;
  } else if (offset != 0 && offset != held) {
    error = kImageOffset;
  } else if (offset != 0 && signature != staged_.signature) {
    error = kImageSignature;
  } else if (static_cast<uint64_t>(offset) + n > config_.imageCapacity) {
    error = kImageTooBig;
  }
  Keep(imageWrites_, ImageWrite{signature, offset, n, error});
  if (error != kImageOk) {
    Event(Format("image write of %u bytes at %u refused: error %u (%u held)", n, offset, error,
                 held));
    return Words({error});
  }
  if (offset == 0) staged_ = StagedImage{{}, signature, false};
  stagedCrc_.reset();
  staged_.bytes.insert(staged_.bytes.end(), params + 12, params + 12 + n);
  staged_.closed = n == 0;
  if (n == 0) {
    Event(Format("image closed: %u bytes, signature %08X, CRC %08X",
                 static_cast<uint32_t>(staged_.bytes.size()), signature, StagedCrc()));
  } else {
    Event(Format("image write of %u bytes at %u", n, offset));
  }
  return Words({kImageOk});
}

std::vector<uint8_t> Instrument::ImageUpdate(const uint8_t* params, size_t size,
                                             std::optional<Action>& after) {
  const uint32_t index = Param(params, size, 1);
  const uint32_t signature = Param(params, size, 2);
  uint32_t error = kImageOk;
  if (Param(params, size, 0) != kHostId) {
    error = kImageHostId;
  } else if (staged_.bytes.empty()) {
    error = kImageNothingStaged;
  } else if (!staged_.closed) {
    error = kImageNotClosed;
  } else if (signature != staged_.signature) {
    error = kImageSignature;
  } else {
    error = Burn(index);
  }
  if (error != kImageOk) {
    Event(Format("image update of target %u refused: error %u", index, error));
    return Words({error, 0});
  }
  Action a;
  a.kind = Action::Kind::kSwitchMode;
  a.loader = false;
  a.replugMs = config_.burnAwayMs.value_or(config_.burnWaitMs);
  after = a;
  return Words({kImageOk, config_.burnWaitMs});
}

uint32_t Instrument::Burn(uint32_t index) {
  uint32_t error = kImageOk;
  std::string why;
  const auto target = ReadContainer(staged_.bytes, index, error, why);
  if (!target) {
    Event("staged image: " + why);
    return error;
  }
  if (target->signature != staged_.signature) {
    Event(Format("staged image carries signature %08X, written with %08X", target->signature,
                 staged_.signature));
    return kImageSignature;
  }
  // Every block is checked before the first is written: a bad image leaves
  // the flash as it was.
  const size_t trailer = 512;
  for (const ContainerBlock& b : target->blocks) {
    const size_t span = ((static_cast<size_t>(b.l) + 7) & ~size_t{7}) + trailer;
    const uint32_t status = CheckBlock(flash_, b.w, b.l, &staged_.bytes[b.payload], span);
    if (status != kFlashOk) {
      Event(Format("staged block %08X, %u bytes: status %u", b.w, b.l, status));
      return kImageBlockRejected;
    }
  }
  for (const ContainerBlock& b : target->blocks) {
    flash_.Write(b.w, &staged_.bytes[b.payload], b.l);
    RecordFlashWrite(command::kFwImageUpdate, b.w, b.l, kFlashOk);
  }
  config_.signature = target->signature;
  ++burns_;
  Event(Format("burnt target %u: %u blocks, signature %08X", index,
               static_cast<uint32_t>(target->blocks.size()), target->signature));
  SetStaged(StagedImage{});
  return kImageOk;
}

}  // namespace nvsim
