// The simulator: serves simulated instruments through the driver stand-in
// (docs/driver-stand-in.md) on a device root of its own.
//
// One service thread runs every instrument's listening sockets (the Unix
// socket and its loopback TCP twin; on Windows the TCP one alone, the entry's
// <name>.sock being a plain file there), connection and timers. All public
// operations are thread-safe; they take effect at once (an unplug has removed
// the entry and dropped the connection when it returns).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "clock.h"
#include "instrument.h"

namespace nvsim {

class Simulator {
 public:
  struct Options {
    std::string root;      // empty: NVDEVICES_DEVICE_ROOT, else /tmp/nvdevices
    double timeScale = 0;  // 0: NVDEVICES_TIME_SCALE
    // Receives one line per event (entries, opens, commands); called on the
    // service thread, or on the caller's for Plug/Unplug, with the
    // simulator's lock held: it must not call the simulator. Unset: silent.
    std::function<void(const std::string&)> log;
  };
  using Id = uint32_t;

  // A snapshot of one instrument.
  struct InstrumentState {
    bool plugged = false;
    bool connected = false;
    bool loader = false;
    uint32_t statusWord = 0;
    uint64_t commands = 0;        // complete command frames received
    uint32_t connections = 0;     // opens accepted
    uint32_t refusals = 0;        // opens answered BUSY
    uint32_t plugs = 0;           // times the entry was created
    uint16_t tcpPort = 0;         // the entry's loopback TCP port (the tcp key); 0 unplugged
    uint32_t channelTimeout = 0;  // of the current connection (dilated ms)
    uint64_t bytesFromHost = 0;
    size_t queuedTransfers = 0;       // transfers waiting for a READ on the current connection
    uint32_t transportFaults = 0;     // faulty frames and greetings sent (all connections)
    uint32_t unGreeted = 0;           // open connections kept without a (valid) greeting
    size_t scriptLeft = 0;            // script steps not yet played
    uint32_t scriptMismatches = 0;    // commands that were not the expected step
    std::vector<TraceEntry> history;  // oldest first, at most 256
    // Requests of every connection, oldest first: the newest 1024, and how
    // many there were in all.
    std::vector<StandInRequest> requests;
    uint64_t requestsTotal = 0;
    // Firmware side.
    uint32_t signature = 0;        // what RD_SIGNAT reports now
    uint32_t stagedBytes = 0;      // bytes held in the staging memory
    uint32_t stagedSignature = 0;  // ... written with this signature
    uint32_t stagedCrc = 0;        // ... their image CRC (what FW_IMAGE_GET_INFO reports)
    bool stagedClosed = false;     // ... and the closing write has come
    uint32_t burns = 0;            // images burnt by FW_IMAGE_UPDATE
    // Every FW_IMAGE_WRITE (the newest 16384), and every flash write
    // (LOAD_TARGET, block command, blocks burnt; the newest 16384), oldest first.
    std::vector<ImageWrite> imageWrites;
    std::vector<FlashWrite> flashWrites;
  };

  Simulator();
  explicit Simulator(Options options);
  ~Simulator();  // stops and removes every entry
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Starts the service thread. Instruments may be added before or after.
  bool Start(std::string* error = nullptr);
  // Stops the service thread and removes every entry.
  void Stop();

  const std::string& Root() const;
  const DilatedClock& Clock() const;

  // Adds an instrument and, when plug is true, creates its entry. 0 on failure
  // (invalid or duplicate name, path too long, entry not creatable).
  Id Add(InstrumentConfig config, bool plug = true, std::string* error = nullptr);
  bool Plug(Id id, std::string* error = nullptr);
  // Removes the entry and drops the connection; re-plugs after replugAfterMs
  // (dilated) unless it is kNever.
  bool Unplug(Id id, uint32_t replugAfterMs = kNever);
  // As if the server had crashed: the connection ends, the listening socket
  // closes, but <name>.sock and <name>.props stay, so the entry still
  // enumerates and a connect is refused (ECONNREFUSED). Plug recreates the
  // entry; Unplug, Remove and Stop delete the files. False when not plugged.
  bool Crash(Id id);
  bool Remove(Id id);

  std::string DevicePath(Id id) const;
  std::string PropertiesPath(Id id) const;

  bool AddFault(Id id, const Fault& fault);
  bool AddScript(Id id, const std::vector<ScriptStep>& steps);
  bool ClearFaults(Id id);
  bool SetHandleStatus(Id id, uint32_t status);
  bool SetRefuseOpen(Id id, bool refuse);
  bool SetReenumerationDelay(Id id, uint32_t delayMs);
  // Bytes the instrument sends on its own (unasked): `repeat` transfers of
  // `bytes`, the first at once, then one every everyMs (dilated). They go to
  // the current connection only and stop when it closes. False when nothing
  // is connected or bytes is empty.
  bool Emit(Id id, const std::vector<uint8_t>& bytes, uint32_t repeat = 1, uint32_t everyMs = 0);
  // Driver-level fault (stand_in.h): replaces the one set before and starts
  // its skip and times afresh; kind kNone switches it off.
  bool SetTransportFault(Id id, const TransportFault& fault);

  std::optional<InstrumentState> State(Id id) const;
  std::optional<uint32_t> Register(Id id, uint32_t registerId) const;
  // The instrument's flash at [address, address + length) (erased bytes are
  // 0xFF); empty when the range is not inside its flash or the instrument
  // does not exist.
  std::vector<uint8_t> ReadFlash(Id id, uint32_t address, uint32_t length) const;
  // Replaces what the staging memory holds (as if left by an earlier upload).
  bool SetStagedImage(Id id, const StagedImage& image);
  // Polls the instrument's state until pred holds; false after timeoutMs
  // (dilated) or when the instrument does not exist.
  bool WaitFor(Id id, const std::function<bool(const InstrumentState&)>& pred,
               uint32_t timeoutMs) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nvsim
