// The simulated instrument: its configuration, its fault rules and the model
// that turns command frames from the host into reply bytes.
//
// The model is pure: it is fed bytes and the current (dilated) time and says
// what to send back, when, and whether the instrument drops off the bus. The
// server (simulator.h) carries that out on the socket.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "firmware.h"
#include "stand_in.h"

namespace nvsim {

// Command codes the model answers, and the other words of the protocol.
namespace command {
inline constexpr uint32_t kGetStatus = 0x80000005;
inline constexpr uint32_t kSetExchange = 0x80000007;
inline constexpr uint32_t kResetTarget = 0x80000009;
inline constexpr uint32_t kGetVersion = 0x8000000A;
inline constexpr uint32_t kGetSerial = 0x8000000B;
inline constexpr uint32_t kSetDebug = 0x8000000C;
inline constexpr uint32_t kRdDebugTrace = 0x8000000F;
inline constexpr uint32_t kRdSignat = 0x80000101;
inline constexpr uint32_t kStartTarget = 0x80000104;
inline constexpr uint32_t kFlashInit = 0x80000105;
inline constexpr uint32_t kRdFlashArea = 0x8000081C;
inline constexpr uint32_t kRdVirtSfr = 0x80000824;
inline constexpr uint32_t kWrVirtSfr = 0x80000825;
inline constexpr uint32_t kRdVirtString = 0x80000826;
inline constexpr uint32_t kWrSignat = 0x80000102;
inline constexpr uint32_t kLoadTarget = 0x80000103;
inline constexpr uint32_t kLoadBlock = 0x80000106;  // the block command; it has no name
inline constexpr uint32_t kFwImageGetInfo = 0x80000012;
inline constexpr uint32_t kFwImageWrite = 0x80000013;
inline constexpr uint32_t kFwImageUpdate = 0x80000014;
}  // namespace command

inline constexpr uint32_t kUnrecognizedCommand = 0xE0000006;
inline constexpr uint32_t kIndexMask = 0x1F000000;
inline constexpr uint32_t kCodeMask = 0xE0FFFFFF;
inline constexpr uint32_t kHostId = 0xFF12FF01;
inline constexpr uint32_t kTargetIdReply = 0xFF01FF32;  // answer to SET_DEBUG
inline constexpr uint32_t kBootBit = 0x00000001;
inline constexpr uint32_t kNever = 0xFFFFFFFF;
// Largest command frame the instrument accepts; a length word beyond it is
// taken as noise and the instrument drops what it has received.
inline constexpr uint32_t kMaxCommandLength = 0x100000;

// The word a fault's `at` is compared with: the offset of FW_IMAGE_WRITE, the
// first parameter of any other command (0 when the frame has none).
uint32_t PositionWord(uint32_t code, const uint8_t* params, size_t size);
// Name of a known command code ("GET_VERSION"), or nullptr.
const char* CommandName(uint32_t code);
// Parses "GET_VERSION", "0x8000000A" or "2147483658"; false when neither.
bool ParseCommand(const std::string& text, uint32_t& code);

// Flash area 1: the fields in the order and at the offsets the host reads.
struct PublicArea {
  uint32_t publicSignat = 0x50424C43;
  uint32_t structLen = 0;  // 0: the served size
  uint32_t bootSignat = 0x58A16000;
  std::string prodSerNumber = "NV2-000001";  // char[32]
  std::string trgFileName = "nv2.trg";       // char[32]
  std::string prodName = "NV2";              // char[64]
  uint32_t calibBP0 = 0;
  uint32_t calibBP290 = 0;
  uint16_t vid = 0x0483;
  uint16_t pid = 0x5750;
  std::string mnfctName = "Norvane";  // char[32]
  uint32_t targetId = 0;
  uint32_t targetStartTimeOut = 500;
  std::string comment;  // char[256]
  uint32_t size = 448;  // bytes served: the layout is cut or zero-padded to it
};
std::vector<uint8_t> EncodePublicArea(const PublicArea& area);

struct VirtualString {
  uint32_t id = 0;
  std::vector<uint8_t> data;
};

struct VirtualRegister {
  uint32_t id = 0;
  uint32_t value = 0;
  bool writable = true;
};

// What can go wrong with one reply. Faults are matched against every complete
// command in the order they were added; all that match apply together.
enum class FaultKind {
  kNoReply,          // the command is carried out but never answered
  kLate,             // the reply comes delayMs later
  kSplit,            // the reply comes as `value` transfers (default 2), gapMs apart
  kWrongIndex,       // the reply carries the next index instead of the one sent
  kWrongCode,        // the reply word is `value` (default 0xE0000001) with the index sent
  kUnrecognized,     // "unrecognized command" 0xE0000006; the command has no effect
  kTruncate,         // only the first `value` bytes of the reply are sent (default 6)
  kOverstateLength,  // the length word is `value` larger than the data (default 16)
  kOversize,         // the reply is zero-padded to `value` bytes in all, its length word matching
                     // (default: the input buffer size reported by SET_EXCHANGE + 16)
  kGarbage,          // `bytes` (or `value` pseudo-random bytes, default 16) instead of the reply
  kRaw,              // `bytes` exactly instead of the reply (scripted replies)
  kUnplug,           // no reply; the instrument drops off after delayMs, back after replugMs
  kStatus,           // the command has no effect; its reply is u32 `value` (a flash status,
                     // or the error word of FW_IMAGE_WRITE / FW_IMAGE_UPDATE)
};

struct Fault {
  FaultKind kind = FaultKind::kNoReply;
  uint32_t code = 0;           // command code it applies to; 0: any command
  uint32_t skip = 0;           // matching commands to let pass before it applies
  uint32_t times = 1;          // matching commands it applies to; 0: all of them
  uint32_t delayMs = 0;        // extra wait before the (first part of the) reply
  uint32_t gapMs = 0;          // kSplit: wait between the parts
  uint32_t value = 0;          // see the kinds
  uint32_t replugMs = kNever;  // kUnplug: when to come back; kNever: stays away
  std::vector<uint8_t> bytes;
  // Only commands whose position word is this: the offset of FW_IMAGE_WRITE,
  // the address of LOAD_TARGET and of the block command, the first parameter
  // of other commands. Counted by skip and times like any other match.
  std::optional<uint32_t> at;
};

// One step of a script: the command the instrument expects next (0: any)
// and the faults of its reply (their code, skip and times are not used). A
// script is played in order, one step per command; a command other than the
// one expected is answered normally and counted as a mismatch.
struct ScriptStep {
  uint32_t code = 0;
  std::vector<Fault> faults;
};

const char* FaultKindName(FaultKind kind);
bool ParseFaultKind(const std::string& text, FaultKind& kind);

struct InstrumentConfig {
  // Enumeration entry.
  std::string name;  // entry name: socket <name>.sock, properties <name>.props
  std::string interfaceClass = kUsbInterfaceClass;
  std::optional<std::string> service = std::string("ZDUSBDEV");
  std::optional<std::string> location = std::string("Port_#0001.Hub_#0001");
  std::optional<std::string> description = std::string("Norvane NV2 instrument");

  // Driver.
  std::string driverVersion = "nvsim 1.0";
  uint32_t handleStatus = kStatusSuccess;  // kStatusInvalidHandle: "handle in use"
  bool refuseOpen = false;                 // every connection is answered BUSY
  TransportFault transportFault;           // driver-level fault (stand_in.h); kNone: none
  // A loopback device instead of an instrument: every WRITE's bytes come back
  // unchanged as one transfer; no command is parsed, faults and scripts do
  // not apply. For tests of the byte transport alone.
  bool loopback = false;

  // Session and identity.
  uint32_t targetId = 0xDADA0105;
  uint16_t inBufferSize = 1024;
  uint16_t outBufferSize = 1024;
  std::optional<uint32_t> interfaceWord;  // byte 0 IF_READY, byte 1 IF_TYPE
  uint32_t status = 0x00000004;           // BOOT_BIT follows the mode
  bool loader = false;                    // starts in its loader
  uint32_t hwId[3] = {0x00123456, 0x00ABCDEF, 0x00000042};
  std::vector<uint8_t> serialExtra;                 // bytes after the hardware id in GET_SERIAL
  std::optional<std::vector<uint8_t>> serialReply;  // whole GET_SERIAL payload instead
  PublicArea publicArea;
  std::optional<std::vector<uint8_t>> publicAreaBytes;  // raw area 1 instead
  std::map<uint32_t, std::vector<uint8_t>> flashAreas;  // other readable areas
  uint32_t flashSeed = 0;                               // 0: a new seed for every read
  uint32_t bootVersion = 0x00010002;                    // major in the high half
  std::string bootDate = "Mar 12 2024";
  uint32_t targetVersion = 0x00020005;
  std::string targetDate = "Apr 01 2025";
  std::optional<std::u16string> versionSuffix;
  uint32_t signature = 0x5A816000;
  std::string signatureFile = "nv2.trg";
  std::optional<std::string> signatureText;
  std::optional<std::vector<uint8_t>> signatureStatus;
  std::vector<VirtualString> strings;
  std::vector<VirtualRegister> registers;

  // Loader and target.
  uint32_t startStatus = kFlashOk;  // START_TARGET's flash status
  bool resetStaysInTarget = false;  // RESET_TARGET re-enumerates but stays in the target
  uint32_t dropDelayMs = 50;        // after the reply to a mode switch, before dropping off
  uint32_t reenumDelayMs = 1000;    // away from the bus during a mode switch

  // Flash and firmware image.
  uint32_t flashBase = 0;
  uint32_t flashSize = 0x100000;
  bool flashNeedsLoader = true;       // flash commands in target mode answer FLASH_INIT_ER (7)
  bool imageSupport = true;           // false: FW_IMAGE_* are unrecognized commands
  uint32_t imageChunk = 256;          // largest n of FW_IMAGE_WRITE, reported by FW_IMAGE_GET_INFO
  uint32_t imageCapacity = 0x200000;  // bytes the staging memory holds
  uint32_t burnWaitMs = 300;          // reported by FW_IMAGE_UPDATE
  // Off the bus after an update: nullopt: burnWaitMs; kNever: never comes back.
  std::optional<uint32_t> burnAwayMs;
  std::optional<StagedImage> staged;  // held in the staging memory at power-up

  std::vector<Fault> faults;
  std::vector<ScriptStep> script;
};

// One command as the instrument saw it (its command trace).
struct TraceEntry {
  uint32_t commandWord = 0;
  uint32_t commandLength = 0;
  uint32_t replyWord = 0;
  uint32_t replyLength = 0;
  uint32_t diag1 = 0;      // first parameter word of the command
  uint32_t diag2 = 0;      // number of the command since power-up
  uint32_t timeStamp = 0;  // dilated ms since power-up
};

// What the instrument does in answer to a command.
struct Action {
  enum class Kind {
    kSend,        // one transfer towards the host
    kDrop,        // drops off the bus (unplug) and comes back after replugMs
    kSwitchMode,  // drops off, comes back in the mode `loader` after replugMs
  };
  Kind kind = Kind::kSend;
  uint32_t atMs = 0;  // dilated ms after the command arrived
  std::vector<uint8_t> bytes;
  uint32_t replugMs = kNever;
  bool loader = false;
};

class Instrument {
 public:
  explicit Instrument(InstrumentConfig config);

  const InstrumentConfig& Config() const { return config_; }
  InstrumentConfig& MutableConfig() { return config_; }
  void AddFault(const Fault& fault);
  void AddScript(const std::vector<ScriptStep>& steps);
  // Removes the faults and what is left of the script.
  void ClearFaults();
  size_t ScriptLeft() const { return script_.size(); }
  uint32_t ScriptMismatches() const { return scriptMismatches_; }

  // Bytes from the host at dilated time nowMs; appends what to do for every
  // command that became complete.
  void Receive(const uint8_t* data, size_t size, uint64_t nowMs, std::vector<Action>& actions);
  // Forgets a partly received command (channel reset, new connection).
  void DropPartialCommand() { pending_.clear(); }

  bool InLoader() const { return loader_; }
  void SetLoader(bool loader) { loader_ = loader; }
  uint32_t StatusWord() const;
  std::optional<uint32_t> Register(uint32_t id) const;
  const std::deque<TraceEntry>& History() const { return history_; }
  uint64_t CommandsReceived() const { return commands_; }

  // Firmware side.
  const Flash& FlashMemory() const { return flash_; }
  uint32_t Signature() const { return config_.signature; }
  const StagedImage& Staged() const { return staged_; }
  void SetStaged(StagedImage image) {
    staged_ = std::move(image);
    stagedCrc_.reset();
  }
  // The image CRC of the bytes held (what FW_IMAGE_GET_INFO reports).
  uint32_t StagedCrc() const {
    if (!stagedCrc_) stagedCrc_ = ImageCrc(staged_.bytes);
    return *stagedCrc_;
  }
  const std::deque<ImageWrite>& ImageWrites() const { return imageWrites_; }
  const std::deque<FlashWrite>& FlashWrites() const { return flashWrites_; }
  uint32_t Burns() const { return burns_; }
  // Lines about what the firmware commands did, since the last call.
  std::vector<std::string> TakeEvents() { return std::exchange(events_, {}); }

  // The payload-less reply frame for a word, and one with a payload.
  static std::vector<uint8_t> Reply(uint32_t word, const std::vector<uint8_t>& payload);

 private:
  struct Rule {
    Fault fault;
    uint32_t seen = 0;
    uint32_t applied = 0;
  };
  void HandleCommand(const std::vector<uint8_t>& frame, uint64_t nowMs,
                     std::vector<Action>& actions);
  // Carries out a command; returns its reply payload and what follows it.
  // known is false for a command the instrument does not have.
  std::vector<uint8_t> Execute(uint32_t code, const uint8_t* params, size_t size,
                               std::optional<Action>& after, bool& known);
  std::vector<uint8_t> FlashArea(uint32_t area);
  std::vector<uint8_t> DebugTrace() const;
  uint32_t NextRandom();
  // Firmware commands (firmware_commands.cpp).
  std::vector<uint8_t> LoadTarget(const uint8_t* params, size_t size);
  std::vector<uint8_t> LoadBlock(const uint8_t* params, size_t size);
  std::vector<uint8_t> WriteSignature(const uint8_t* params, size_t size);
  std::vector<uint8_t> ImageInfo() const;
  std::vector<uint8_t> StageChunk(const uint8_t* params, size_t size);
  std::vector<uint8_t> ImageUpdate(const uint8_t* params, size_t size,
                                   std::optional<Action>& after);
  uint32_t Burn(uint32_t index);
  void RecordFlashWrite(uint32_t code, uint32_t address, uint32_t length, uint32_t status);
  // Records a firmware command that a status fault answered instead.
  void RecordRefused(uint32_t code, const uint8_t* params, size_t size, uint32_t status);
  void Event(std::string text) { events_.push_back(std::move(text)); }

  InstrumentConfig config_;
  std::vector<Rule> rules_;
  std::deque<ScriptStep> script_;
  uint32_t scriptMismatches_ = 0;
  std::vector<uint8_t> pending_;
  std::deque<TraceEntry> history_;
  bool loader_;
  uint64_t commands_ = 0;
  uint32_t seedCounter_ = 0x2545F491;
  uint32_t noise_ = 0x9E3779B9;
  Flash flash_;
  StagedImage staged_;
  mutable std::optional<uint32_t> stagedCrc_;  // of staged_, computed when asked
  std::deque<ImageWrite> imageWrites_;
  std::deque<FlashWrite> flashWrites_;
  uint32_t burns_ = 0;
  std::vector<std::string> events_;
};

}  // namespace nvsim
