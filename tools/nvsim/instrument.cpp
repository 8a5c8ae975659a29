#include "instrument.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace nvsim {
namespace {

struct NamedCode {
  uint32_t code;
  const char* name;
};

// Every command code of the protocol, so that faults can name any of them.
constexpr NamedCode kCommandNames[] = {
    {0x80000005, "GET_STATUS"},
    {0x80000007, "SET_EXCHANGE"},
    {0x80000009, "RESET_TARGET"},
    {0x8000000A, "GET_VERSION"},
    {0x8000000B, "GET_SERIAL"},
    {0x80000101, "RD_SIGNAT"},
    {0x80000102, "WR_SIGNAT"},
    {0x80000103, "LOAD_TARGET"},
    {0x80000104, "START_TARGET"},
    {0x80000105, "FLASH_INIT"},
    {0x80000109, "FLASH_INIT_POWER_OFF"},
    {0x8000000F, "RD_DEBUG_TRACE"},
    {0x8000000C, "SET_DEBUG"},
    {0x80000010, "RD_BUFFER_INIT"},
    {0x80000011, "RD_BUFFER"},
    {0x80000001, "GET_BOOT_VER"},
    {0x80000826, "RD_VIRT_STRING"},
    {0x80000827, "WR_VIRT_STRING"},
    {0x8000082C, "RD_VIRT_STRING_BATCH"},
    {0x8000082D, "WR_VIRT_STRING_BATCH"},
    {0x80000832, "WR_VIRT_STRING_EX_START"},
    {0x80000833, "WR_VIRT_STRING_EX_DATA"},
    {0x80000824, "RD_VIRT_SFR"},
    {0x80000825, "WR_VIRT_SFR"},
    {0x8000082A, "RD_VIRT_SFR_BATCH"},
    {0x8000082B, "WR_VIRT_SFR_BATCH"},
    {0x8000081C, "RD_FLASH_AREA"},
    {0x80000811, "SD_RD_DIR"},
    {0x80000A06, "GET_SCREEN_SQ"},
    {0x80000A04, "SET_LOCAL_TIME"},
    {0x80000A05, "RESET_OPTIONS"},
    {0x80000A03, "SET_TIME"},
    {0x80000A02, "VIRT_KB_CMD"},
    {0x80000012, "FW_IMAGE_GET_INFO"},
    {0x80000013, "FW_IMAGE_WRITE"},
    {0x80000014, "FW_IMAGE_UPDATE"},
    {0x80000903, "SET_BT_EXCHANGE_ID"},
};

struct NamedFault {
  FaultKind kind;
  const char* name;
};

constexpr NamedFault kFaultNames[] = {
    {FaultKind::kNoReply, "no-reply"},     {FaultKind::kLate, "late"},
    {FaultKind::kSplit, "split"},          {FaultKind::kWrongIndex, "wrong-index"},
    {FaultKind::kWrongCode, "wrong-code"}, {FaultKind::kUnrecognized, "unrecognized"},
    {FaultKind::kTruncate, "truncate"},    {FaultKind::kOverstateLength, "overstate-length"},
    {FaultKind::kGarbage, "garbage"},      {FaultKind::kRaw, "raw"},
    {FaultKind::kUnplug, "unplug"},        {FaultKind::kOversize, "oversize"},
    {FaultKind::kStatus, "status"},
};

constexpr size_t kTraceEntrySize = 28;
constexpr size_t kTraceHistory = 256;

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreU32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t bytes[4];
  StoreU32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

void PutU16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

// A counted text: u8 length, then at most 255 bytes.
void PutCounted(std::vector<uint8_t>& out, const std::string& text) {
  const size_t n = std::min<size_t>(text.size(), 255);
  out.push_back(static_cast<uint8_t>(n));
  out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
}

// A fixed char[width] field: the text NUL-padded; a text of width bytes or
// more fills the whole field and has no terminator (as a careless instrument
// may send it).
void PutFixed(std::vector<uint8_t>& out, const std::string& text, size_t width) {
  const size_t n = std::min(text.size(), width);
  out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
  out.insert(out.end(), width - n, 0);
}

// The masking generator of RD_FLASH_AREA: a 32-bit linear congruential
// generator whose output is bits 16..30 of the new state.
class MaskGenerator {
 public:
  explicit MaskGenerator(uint32_t seed) : state_(seed) {}
  uint8_t NextByte() {
    state_ = state_ * 22695477u + 1u;
    return static_cast<uint8_t>((state_ >> 16) & 0x7FFF);
  }

 private:
  uint32_t state_;
};

}  // namespace

const char* CommandName(uint32_t code) {
  for (const auto& row : kCommandNames) {
    if (row.code == code) return row.name;
  }
  return nullptr;
}

bool ParseCommand(const std::string& text, uint32_t& code) {
  for (const auto& row : kCommandNames) {
    if (text == row.name) {
      code = row.code;
      return true;
    }
  }
  if (text.empty()) return false;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFull) return false;
  code = static_cast<uint32_t>(value);
  return true;
}

const char* FaultKindName(FaultKind kind) {
  for (const auto& row : kFaultNames) {
    if (row.kind == kind) return row.name;
  }
  return "?";
}

bool ParseFaultKind(const std::string& text, FaultKind& kind) {
  for (const auto& row : kFaultNames) {
    if (text == row.name) {
      kind = row.kind;
      return true;
    }
  }
  return false;
}

std::vector<uint8_t> EncodePublicArea(const PublicArea& area) {
  std::vector<uint8_t> out;
  PutU32(out, area.publicSignat);
  PutU32(out, area.structLen != 0 ? area.structLen : area.size);
  PutU32(out, area.bootSignat);
  PutFixed(out, area.prodSerNumber, 32);
  PutFixed(out, area.trgFileName, 32);
  PutFixed(out, area.prodName, 64);
  PutU32(out, area.calibBP0);
  PutU32(out, area.calibBP290);
  PutU16(out, area.vid);
  PutU16(out, area.pid);
  PutFixed(out, area.mnfctName, 32);
  PutU32(out, area.targetId);
  PutU32(out, area.targetStartTimeOut);
  PutFixed(out, area.comment, 256);
  out.resize(area.size, 0);
  return out;
}

Instrument::Instrument(InstrumentConfig config)
    : config_(std::move(config)),
      loader_(config_.loader),
      flash_(config_.flashBase, config_.flashSize),
      staged_(config_.staged.value_or(StagedImage{})) {
  for (const auto& fault : config_.faults)
    AddFault(fault);
  AddScript(config_.script);
}

void Instrument::AddFault(const Fault& fault) {
  rules_.push_back(Rule{fault});
}

void Instrument::ClearFaults() {
  rules_.clear();
  script_.clear();
}

void Instrument::AddScript(const std::vector<ScriptStep>& steps) {
  script_.insert(script_.end(), steps.begin(), steps.end());
}

uint32_t Instrument::StatusWord() const {
  return (config_.status & ~kBootBit) | (loader_ ? kBootBit : 0);
}

std::optional<uint32_t> Instrument::Register(uint32_t id) const {
  for (const auto& reg : config_.registers) {
    if (reg.id == id) return reg.value;
  }
  return std::nullopt;
}

std::vector<uint8_t> Instrument::Reply(uint32_t word, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out;
  out.reserve(8 + payload.size());
  PutU32(out, static_cast<uint32_t>(4 + payload.size()));
  PutU32(out, word);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

void Instrument::Receive(const uint8_t* data, size_t size, uint64_t nowMs,
                         std::vector<Action>& actions) {
  pending_.insert(pending_.end(), data, data + size);
  while (pending_.size() >= 4) {
    const uint32_t length = LoadU32(pending_.data());
    if (length < 4 || length > kMaxCommandLength) {
      // Not a frame the instrument can make sense of: it loses sync and
      // throws away everything it holds, as a real one would on noise.
      pending_.clear();
      break;
    }
    if (pending_.size() < static_cast<size_t>(length) + 4) break;
    std::vector<uint8_t> frame(pending_.begin(), pending_.begin() + length + 4);
    pending_.erase(pending_.begin(), pending_.begin() + length + 4);
    HandleCommand(frame, nowMs, actions);
  }
}

uint32_t Instrument::NextRandom() {
  noise_ ^= noise_ << 13;
  noise_ ^= noise_ >> 17;
  noise_ ^= noise_ << 5;
  return noise_;
}

void Instrument::HandleCommand(const std::vector<uint8_t>& frame, uint64_t nowMs,
                               std::vector<Action>& actions) {
  ++commands_;
  const uint32_t length = LoadU32(frame.data());
  const uint32_t word = LoadU32(frame.data() + 4);
  const uint32_t code = word & kCodeMask;
  const uint32_t index = word & kIndexMask;
  const uint8_t* params = frame.data() + 8;
  const size_t paramSize = frame.size() - 8;

  std::vector<const Fault*> active;
  for (auto& rule : rules_) {
    if (rule.fault.code != 0 && rule.fault.code != code) continue;
    if (rule.fault.at && PositionWord(code, params, paramSize) != *rule.fault.at) continue;
    ++rule.seen;
    if (rule.seen <= rule.fault.skip) continue;
    if (rule.fault.times != 0 && rule.applied >= rule.fault.times) continue;
    ++rule.applied;
    active.push_back(&rule.fault);
  }
  // The script's next step applies when this is the command it expects.
  std::optional<ScriptStep> step;
  if (!script_.empty()) {
    if (script_.front().code == 0 || script_.front().code == code) {
      step = std::move(script_.front());
      script_.pop_front();
      for (const Fault& f : step->faults)
        active.push_back(&f);
    } else {
      ++scriptMismatches_;
    }
  }
  const bool refused = std::any_of(active.begin(), active.end(), [](const Fault* f) {
    return f->kind == FaultKind::kUnrecognized;
  });

  const auto statusFault = std::find_if(
      active.begin(), active.end(), [](const Fault* f) { return f->kind == FaultKind::kStatus; });

  std::optional<Action> after;
  std::vector<uint8_t> payload;
  bool known = false;
  if (!refused && statusFault != active.end()) {
    // The command is answered with the chosen status and not carried out.
    known = true;
    PutU32(payload, (*statusFault)->value);
    if (code == command::kFwImageUpdate) PutU32(payload, 0);  // no burn wait
    RecordRefused(code, params, paramSize, (*statusFault)->value);
  } else if (!refused) {
    payload = Execute(code, params, paramSize, after, known);
  }
  std::vector<uint8_t> reply =
      known ? Reply(word, payload) : Reply(kUnrecognizedCommand | index, {});

  bool send = true;
  uint32_t delay = 0;
  uint32_t parts = 1;
  uint32_t gap = 0;
  std::optional<Action> drop;
  // Padding first, then header changes, then whole-reply replacements, then
  // cutting.
  for (const Fault* f : active) {
    if (f->kind != FaultKind::kOversize) continue;
    const size_t total = f->value != 0 ? f->value : config_.inBufferSize + 16u;
    if (total > reply.size()) reply.resize(total, 0);
    StoreU32(reply.data(), static_cast<uint32_t>(reply.size() - 4));
  }
  for (const Fault* f : active) {
    delay += f->kind == FaultKind::kUnplug ? 0 : f->delayMs;
    switch (f->kind) {
      case FaultKind::kWrongIndex: {
        const uint32_t replyWord = LoadU32(reply.data() + 4);
        const uint32_t wrong = (((replyWord >> 24) + 1) & 0x1F) << 24;
        StoreU32(reply.data() + 4, (replyWord & ~kIndexMask) | wrong);
        break;
      }
      case FaultKind::kWrongCode: {
        const uint32_t bad = f->value != 0 ? f->value : 0xE0000001;
        StoreU32(reply.data() + 4, (bad & kCodeMask) | index);
        break;
      }
      case FaultKind::kOverstateLength:
        StoreU32(reply.data(), LoadU32(reply.data()) + (f->value != 0 ? f->value : 16));
        break;
      default:
        break;
    }
  }
  for (const Fault* f : active) {
    switch (f->kind) {
      case FaultKind::kNoReply:
        send = false;
        break;
      case FaultKind::kSplit:
        parts = std::max<uint32_t>(2, f->value);
        gap = f->gapMs;
        break;
      case FaultKind::kGarbage:
        if (!f->bytes.empty()) {
          reply = f->bytes;
        } else {
          reply.resize(f->value != 0 ? f->value : 16);
          for (auto& b : reply)
            b = static_cast<uint8_t>(NextRandom());
        }
        break;
      case FaultKind::kRaw:
        reply = f->bytes;
        break;
      case FaultKind::kUnplug: {
        send = false;
        Action a;
        a.kind = Action::Kind::kDrop;
        a.atMs = f->delayMs;
        a.replugMs = f->replugMs;
        drop = a;
        break;
      }
      default:
        break;
    }
  }
  for (const Fault* f : active) {
    if (f->kind == FaultKind::kTruncate) {
      reply.resize(std::min<size_t>(reply.size(), f->value != 0 ? f->value : 6));
    }
  }

  TraceEntry entry;
  entry.commandWord = word;
  entry.commandLength = length;
  if (send && reply.size() >= 8) {
    entry.replyLength = LoadU32(reply.data());
    entry.replyWord = LoadU32(reply.data() + 4);
  }
  entry.diag1 = paramSize >= 4 ? LoadU32(params) : 0;
  entry.diag2 = static_cast<uint32_t>(commands_);
  entry.timeStamp = static_cast<uint32_t>(nowMs);
  history_.push_back(entry);
  if (history_.size() > kTraceHistory) history_.pop_front();

  uint32_t lastAt = delay;
  if (send && !reply.empty()) {
    parts = std::min<uint32_t>(parts, static_cast<uint32_t>(reply.size()));
    const size_t piece = reply.size() / parts;
    size_t offset = 0;
    for (uint32_t i = 0; i < parts; ++i) {
      const size_t n = i + 1 == parts ? reply.size() - offset : piece;
      Action a;
      a.kind = Action::Kind::kSend;
      a.atMs = delay + i * gap;
      a.bytes.assign(reply.begin() + static_cast<std::ptrdiff_t>(offset),
                     reply.begin() + static_cast<std::ptrdiff_t>(offset + n));
      lastAt = a.atMs;
      actions.push_back(std::move(a));
      offset += n;
    }
  }
  if (drop) {
    actions.push_back(*drop);
  } else if (after) {
    after->atMs = lastAt + config_.dropDelayMs;
    actions.push_back(*after);
  }
}

std::vector<uint8_t> Instrument::Execute(uint32_t code, const uint8_t* params, size_t size,
                                         std::optional<Action>& after, bool& known) {
  auto param = [&](size_t i) -> uint32_t {
    return size >= 4 * (i + 1) ? LoadU32(params + 4 * i) : 0;
  };
  auto switchTo = [&](bool loader) {
    Action a;
    a.kind = Action::Kind::kSwitchMode;
    a.loader = loader;
    a.replugMs = config_.reenumDelayMs;
    after = a;
  };
  std::vector<uint8_t> out;
  known = true;
  switch (code) {
    case command::kGetStatus:
      PutU32(out, StatusWord());
      break;
    case command::kSetExchange:
      PutU32(out, config_.targetId);
      PutU16(out, config_.inBufferSize);
      PutU16(out, config_.outBufferSize);
      if (config_.interfaceWord) PutU32(out, *config_.interfaceWord);
      break;
    case command::kResetTarget:
      switchTo(config_.resetStaysInTarget ? loader_ : true);
      break;
    case command::kGetVersion: {
      PutU32(out, config_.bootVersion);
      PutCounted(out, config_.bootDate);
      PutU32(out, config_.targetVersion);
      PutCounted(out, config_.targetDate);
      if (config_.versionSuffix) {
        const size_t n = std::min<size_t>(config_.versionSuffix->size(), 255);
        out.push_back(static_cast<uint8_t>(n));
        for (size_t i = 0; i < n; ++i)
          PutU16(out, static_cast<uint16_t>((*config_.versionSuffix)[i]));
      }
      break;
    }
    case command::kGetSerial:
      if (config_.serialReply) {
        out = *config_.serialReply;
      } else {
        PutU32(out, static_cast<uint32_t>(12 + config_.serialExtra.size()));
        for (uint32_t w : config_.hwId)
          PutU32(out, w);
        out.insert(out.end(), config_.serialExtra.begin(), config_.serialExtra.end());
      }
      break;
    case command::kSetDebug:
      PutU32(out, kTargetIdReply);
      break;
    case command::kRdDebugTrace:
      out = DebugTrace();
      break;
    case command::kRdSignat:
      PutU32(out, config_.signature);
      PutCounted(out, config_.signatureFile);
      if (config_.signatureText || config_.signatureStatus) {
        PutCounted(out, config_.signatureText.value_or(""));
      }
      if (config_.signatureStatus) {
        const auto& status = *config_.signatureStatus;
        const size_t n = std::min<size_t>(status.size(), 255);
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), status.begin(), status.begin() + static_cast<std::ptrdiff_t>(n));
      }
      break;
    case command::kStartTarget:
      PutU32(out, config_.startStatus);
      if (config_.startStatus == kFlashOk && loader_) switchTo(false);
      break;
    case command::kFlashInit:
      PutU32(out, kFlashOk);
      if (!loader_) switchTo(true);
      break;
    case command::kRdFlashArea:
      out = FlashArea(param(0));
      break;
    case command::kRdVirtSfr: {
      const auto value = Register(param(0));
      PutU32(out, value ? 1 : 0);
      if (value) PutU32(out, *value);
      break;
    }
    case command::kWrVirtSfr: {
      uint32_t result = 0;
      for (auto& reg : config_.registers) {
        if (reg.id == param(0) && reg.writable) {
          reg.value = param(1);
          result = 1;
        }
      }
      PutU32(out, result);
      break;
    }
    case command::kWrSignat:
      out = WriteSignature(params, size);
      break;
    case command::kLoadTarget:
      out = LoadTarget(params, size);
      break;
    case command::kLoadBlock:
      out = LoadBlock(params, size);
      break;
    case command::kFwImageGetInfo:
    case command::kFwImageWrite:
    case command::kFwImageUpdate:
      known = config_.imageSupport;
      if (!known) break;
      if (code == command::kFwImageGetInfo) out = ImageInfo();
      if (code == command::kFwImageWrite) out = StageChunk(params, size);
      if (code == command::kFwImageUpdate) out = ImageUpdate(params, size, after);
      break;
    case command::kRdVirtString: {
      const uint32_t id = param(0);
      const auto it = std::find_if(config_.strings.begin(), config_.strings.end(),
                                   [id](const VirtualString& s) { return s.id == id; });
      PutU32(out, it != config_.strings.end() ? 1 : 0);
      if (it != config_.strings.end()) {
        PutU32(out, static_cast<uint32_t>(it->data.size()));
        out.insert(out.end(), it->data.begin(), it->data.end());
      }
      break;
    }
    default:
      known = false;
      break;
  }
  return out;
}

std::vector<uint8_t> Instrument::FlashArea(uint32_t area) {
  std::vector<uint8_t> data;
  if (area == 1) {
    data =
        config_.publicAreaBytes ? *config_.publicAreaBytes : EncodePublicArea(config_.publicArea);
  } else if (auto it = config_.flashAreas.find(area); it != config_.flashAreas.end()) {
    data = it->second;
  } else {
    std::vector<uint8_t> out;
    PutU32(out, kFlashInvalidAreaName);
    return out;
  }
  uint32_t seed = config_.flashSeed;
  if (seed == 0) {
    seedCounter_ = seedCounter_ * 1103515245u + 12345u;
    seed = seedCounter_ | 1u;
  }
  MaskGenerator mask(seed);
  std::vector<uint8_t> out;
  PutU32(out, kFlashOk);
  PutU32(out, seed);
  uint8_t length[4];
  StoreU32(length, static_cast<uint32_t>(data.size()));
  for (uint8_t b : length)
    out.push_back(b ^ mask.NextByte());
  for (uint8_t b : data)
    out.push_back(b ^ mask.NextByte());
  return out;
}

std::vector<uint8_t> Instrument::DebugTrace() const {
  // The host reads the trace in one transfer of its input size; send only the
  // newest entries that fit in it.
  const size_t room = config_.inBufferSize > 12 ? (config_.inBufferSize - 12) / kTraceEntrySize : 0;
  const size_t count = std::min(history_.size(), room);
  std::vector<uint8_t> out;
  PutU32(out, static_cast<uint32_t>(count * kTraceEntrySize));
  for (size_t i = history_.size() - count; i < history_.size(); ++i) {
    const TraceEntry& e = history_[i];
    for (uint32_t w : {e.commandWord, e.commandLength, e.replyWord, e.replyLength, e.diag1, e.diag2,
                       e.timeStamp}) {
      PutU32(out, w);
    }
  }
  return out;
}

}  // namespace nvsim
