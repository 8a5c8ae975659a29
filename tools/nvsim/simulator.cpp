#include "simulator.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>
#include <thread>

#include "os.h"

namespace nvsim {
namespace {

using os::kNoSocket;
using os::Socket;

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// One stand-in frame: size, type, reserved, the words, then the payload.
std::vector<uint8_t> Frame(uint16_t type, std::initializer_list<uint32_t> words,
                           const uint8_t* payload = nullptr, size_t payloadSize = 0) {
  std::vector<uint8_t> out;
  PutU32(out, static_cast<uint32_t>(4 + 4 * words.size() + payloadSize));
  out.push_back(static_cast<uint8_t>(type));
  out.push_back(static_cast<uint8_t>(type >> 8));
  out.push_back(0);
  out.push_back(0);
  for (uint32_t w : words)
    PutU32(out, w);
  if (payloadSize != 0) out.insert(out.end(), payload, payload + payloadSize);
  return out;
}

bool ValidEntryName(const std::string& name) {
  if (name.empty() || name.size() > kMaxEntryName || name[0] == '.') return false;
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

struct NamedTransportFault {
  TransportFaultKind kind;
  const char* name;
};

constexpr NamedTransportFault kTransportFaultNames[] = {
    {TransportFaultKind::kNone, "none"},
    {TransportFaultKind::kOversizeFrame, "oversize-frame"},
    {TransportFaultKind::kUndersizeFrame, "undersize-frame"},
    {TransportFaultKind::kUnknownType, "unknown-type"},
    {TransportFaultKind::kWrongType, "wrong-type"},
    {TransportFaultKind::kShortFrame, "short-frame"},
    {TransportFaultKind::kCountAboveMax, "count-above-max"},
    {TransportFaultKind::kCountBeyondFrame, "count-beyond-frame"},
    {TransportFaultKind::kNoGreeting, "no-greeting"},
    {TransportFaultKind::kBadGreeting, "bad-greeting"},
    {TransportFaultKind::kCloseBeforeGreeting, "close-before-greeting"},
};

bool IsGreetingFault(TransportFaultKind kind) {
  return kind == TransportFaultKind::kNoGreeting || kind == TransportFaultKind::kBadGreeting ||
         kind == TransportFaultKind::kCloseBeforeGreeting;
}

// Whether a request fault can be shown on a request of this type.
bool FitsRequest(const TransportFault& fault, uint16_t type) {
  if (fault.kind == TransportFaultKind::kNone || IsGreetingFault(fault.kind)) return false;
  if (fault.request != 0 && fault.request != type) return false;
  const bool countKind = fault.kind == TransportFaultKind::kCountAboveMax ||
                         fault.kind == TransportFaultKind::kCountBeyondFrame;
  return !countKind || type == kRead || type == kControl;
}

// Only a frame header: a size word and a type, nothing after them.
std::vector<uint8_t> BareHeader(uint32_t size, uint16_t type) {
  std::vector<uint8_t> out;
  PutU32(out, size);
  out.push_back(static_cast<uint8_t>(type));
  out.push_back(static_cast<uint8_t>(type >> 8));
  out.push_back(0);
  out.push_back(0);
  return out;
}

// The frame a faulty driver sends instead of the answer to a request.
// limit is the READ's maxBytes or the CONTROL's outMax.
std::vector<uint8_t> FaultyAnswer(const TransportFault& fault, uint16_t request, uint32_t limit) {
  const uint16_t done = static_cast<uint16_t>(request + 1);
  const uint32_t value = fault.value;
  switch (fault.kind) {
    case TransportFaultKind::kOversizeFrame:
      return BareHeader(value != 0 ? value : 0x7FFFFFFF, done);
    case TransportFaultKind::kUndersizeFrame:
      return BareHeader(value & 3, done);
    case TransportFaultKind::kUnknownType:
      return Frame(static_cast<uint16_t>(value != 0 ? value : 0x7777), {0, 0});
    case TransportFaultKind::kWrongType: {
      uint16_t type = static_cast<uint16_t>(value);
      if (type == 0) type = done == kWriteDone ? uint16_t{kReadDone} : uint16_t{kWriteDone};
      return Frame(type, {0, 0});
    }
    case TransportFaultKind::kShortFrame:
      return Frame(done, {0});
    case TransportFaultKind::kCountAboveMax: {
      const uint32_t extra = value != 0 ? value : 16;
      if (limit > kMaxReadBytes || extra > kMaxReadBytes) return Frame(done, {0, 0xFFFFFFFF});
      const std::vector<uint8_t> bytes(limit + extra, 0xA5);
      return Frame(done, {0, limit + extra}, bytes.data(), bytes.size());
    }
    case TransportFaultKind::kCountBeyondFrame:
      return Frame(done, {0, value != 0 ? value : 16});
    default:
      return {};
  }
}

}  // namespace

const char* TransportFaultKindName(TransportFaultKind kind) {
  for (const auto& row : kTransportFaultNames) {
    if (row.kind == kind) return row.name;
  }
  return "?";
}

bool ParseTransportFaultKind(const std::string& text, TransportFaultKind& kind) {
  for (const auto& row : kTransportFaultNames) {
    if (text == row.name) {
      kind = row.kind;
      return true;
    }
  }
  return false;
}

std::string DeviceRootFromEnvironment() {
  const char* root = std::getenv("NVDEVICES_DEVICE_ROOT");
  return root != nullptr && *root != '\0' ? std::string(root) : std::string(kDefaultDeviceRoot);
}

struct Simulator::Impl {
  struct Connection {
    Socket fd = kNoSocket;
    bool broken = false;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;  // reply bytes not yet taken by the socket
    uint32_t timeoutMs = kDefaultChannelTimeout;
    bool reading = false;
    uint32_t readMax = 0;
    std::optional<RealClock::time_point> readDeadline;
    std::deque<std::vector<uint8_t>> queue;  // transfers towards the host
    size_t frontOffset = 0;
  };

  struct Slot {
    Id id = 0;
    std::unique_ptr<Instrument> model;
    std::string folder;
    bool plugged = false;
    bool stale = false;           // files left behind by a crash, nobody listening
    Socket listenFd = kNoSocket;  // the Unix socket <name>.sock (none on Windows)
    Socket tcpFd = kNoSocket;     // the same device on 127.0.0.1:tcpPort
    uint16_t tcpPort = 0;
    std::unique_ptr<Connection> conn;
    uint64_t connGen = 0;  // changes whenever the connection goes
    uint64_t plugGen = 0;  // changes whenever the entry is created or removed
    uint32_t connections = 0;
    uint32_t refusals = 0;
    uint32_t plugs = 0;
    uint64_t bytesFromHost = 0;
    uint32_t transportSeen = 0;     // requests (connections) the transport fault matched
    uint32_t transportApplied = 0;  // ... and was shown on
    uint32_t transportFaults = 0;   // faulty frames and greetings in all
    std::vector<Socket> mute;       // connections that were never greeted
    std::deque<StandInRequest> requests;
    uint64_t requestsTotal = 0;
    std::string SocketPath() const { return folder + "/" + model->Config().name + kSocketSuffix; }
    std::string PropsPath() const { return folder + "/" + model->Config().name + kPropsSuffix; }
  };

  explicit Impl(Options options)
      : root(options.root.empty() ? DeviceRootFromEnvironment() : options.root),
        clock(options.timeScale),
        log(std::move(options.log)) {}

  void Log(const Slot& slot, const std::string& text) {
    if (!log) return;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%10.3f ", static_cast<double>(clock.NowMs()) / 1000.0);
    log(stamp + slot.model->Config().name + ": " + text);
  }

  static std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
  }

  static std::string Name(uint32_t word) {
    const char* name = CommandName(word & kCodeMask);
    return name != nullptr ? name : Hex(word & kCodeMask);
  }

  std::string root;
  DilatedClock clock;
  std::function<void(const std::string&)> log;
  mutable std::mutex mu;
  std::map<Id, Slot> slots;
  std::multimap<RealClock::time_point, std::function<void()>> timers;
  Id nextId = 1;
  os::Waker wake;
  std::thread thread;
  bool running = false;
  bool stopping = false;

  void Wake() { wake.Signal(); }

  Slot* Find(Id id) {
    auto it = slots.find(id);
    return it == slots.end() ? nullptr : &it->second;
  }

  void After(uint32_t dilatedMs, std::function<void()> fn) {
    timers.emplace(clock.After(dilatedMs), std::move(fn));
    Wake();
  }

  // ---- entries ----

  bool CreateEntry(Slot& slot, std::string* error) {
    const InstrumentConfig& cfg = slot.model->Config();
    if (!os::MakeFolders(slot.folder, error)) return false;
    const std::string name = cfg.name;
    const std::string propsTmp = slot.folder + "/." + name + kPropsSuffix + ".tmp";
    // No longer than the final socket path, so that it fits the address too.
    const std::string sockTmp = slot.folder + "/." + name + ".tmp";
    os::RemoveFile(propsTmp);
    os::RemoveFile(sockTmp);
    os::RemoveFile(slot.SocketPath());

    // The TCP listener comes first: its port goes into the properties.
    uint16_t port = 0;
    const Socket tcp = os::ListenOnLoopback(port, error);
    if (tcp == kNoSocket) return false;

    std::string text;
    if (cfg.service) text += "service=" + *cfg.service + "\n";
    if (cfg.location) text += "location=" + *cfg.location + "\n";
    if (cfg.description) text += "description=" + *cfg.description + "\n";
    text += "serial=" + cfg.publicArea.prodSerNumber + "\n";
    text += "tcp=" + std::to_string(port) + "\n";
    text += "simulator=nvsim\n";
    if (!os::WriteFileAtomically(propsTmp, slot.PropsPath(), text, error)) {
      os::Close(tcp);
      return false;
    }

    // The <name>.sock comes last: a Unix listener, or where there are none
    // an empty file that marks the entry for clients that list the folder.
    Socket fd = kNoSocket;
    const bool listed = os::HasUnixSockets()
                            ? (fd = os::ListenUnix(sockTmp, slot.SocketPath(), error)) != kNoSocket
                            : os::WriteFileAtomically(sockTmp, slot.SocketPath(), "", error);
    if (!listed) {
      os::Close(tcp);
      os::RemoveFile(slot.PropsPath());
      return false;
    }
    slot.listenFd = fd;
    slot.tcpFd = tcp;
    slot.tcpPort = port;
    slot.plugged = true;
    slot.stale = false;
    Log(slot, std::string("plugged") + (slot.model->InLoader() ? " (loader)" : "") + " at " +
                  slot.SocketPath() + " and 127.0.0.1:" + std::to_string(port));
    ++slot.plugs;
    ++slot.plugGen;
    Wake();
    return true;
  }

  void CloseConnection(Slot& slot) {
    if (!slot.conn) return;
    Log(slot, "connection closed");
    os::EndStream(slot.conn->fd);
    slot.conn.reset();
    ++slot.connGen;
    slot.model->DropPartialCommand();
  }

  // Whether the transport fault applies to this request (or, with type 0, to
  // this new connection); counts it either way.
  bool TakeTransportFault(Slot& slot, uint16_t type) {
    const TransportFault& f = slot.model->Config().transportFault;
    const bool fits = type == 0 ? IsGreetingFault(f.kind) : FitsRequest(f, type);
    if (!fits) return false;
    if (slot.transportSeen++ < f.skip) return false;
    if (f.times != 0 && slot.transportApplied >= f.times) return false;
    ++slot.transportApplied;
    ++slot.transportFaults;
    Log(slot, std::string("transport fault ") + TransportFaultKindName(f.kind));
    return true;
  }

  void CloseMute(Slot& slot) {
    for (Socket fd : slot.mute)
      os::EndStream(fd);
    slot.mute.clear();
  }

  void CloseListeners(Slot& slot) {
    os::CloseListener(slot.listenFd);
    os::CloseListener(slot.tcpFd);
    slot.tcpPort = 0;
  }

  // What a crashed server leaves: both files stay, the Unix socket and the
  // TCP port refuse connections, the open connection ends.
  void Crash(Slot& slot) {
    if (!slot.plugged) return;
    Log(slot, "crashed: entry left behind");
    CloseListeners(slot);
    CloseConnection(slot);
    CloseMute(slot);
    slot.plugged = false;
    slot.stale = true;
    ++slot.plugGen;
    Wake();
  }

  void RemoveEntry(Slot& slot) {
    if (slot.stale) {
      os::RemoveFile(slot.SocketPath());
      os::RemoveFile(slot.PropsPath());
      slot.stale = false;
    }
    if (slot.plugged) {
      Log(slot, "unplugged");
      os::RemoveFile(slot.SocketPath());
      CloseListeners(slot);
    }
    CloseConnection(slot);
    CloseMute(slot);
    if (slot.plugged) os::RemoveFile(slot.PropsPath());
    slot.plugged = false;
    ++slot.plugGen;
    Wake();
  }

  void Unplug(Slot& slot, uint32_t replugMs) {
    RemoveEntry(slot);
    if (replugMs == kNever) return;
    const Id id = slot.id;
    const uint64_t gen = slot.plugGen;
    After(replugMs, [this, id, gen] {
      Slot* s = Find(id);
      if (s != nullptr && s->plugGen == gen && !s->plugged) CreateEntry(*s, nullptr);
    });
  }

  // ---- connection ----

  void Send(Slot& slot, const std::vector<uint8_t>& bytes) {
    Connection& c = *slot.conn;
    c.out.insert(c.out.end(), bytes.begin(), bytes.end());
    Flush(c);
  }

  void Flush(Connection& c) {
    while (!c.out.empty() && !c.broken) {
      const long n = os::SendSome(c.fd, c.out.data(), c.out.size());
      if (n > 0) {
        c.out.erase(c.out.begin(), c.out.begin() + n);
      } else if (n == 0) {
        return;  // the rest goes when the socket has room
      } else {
        c.broken = true;
      }
    }
  }

  bool Usable(const Slot& slot) const { return slot.conn && !slot.conn->broken; }

  // New connections on either listener of the device: both lead to the one
  // device, so an open on one is BUSY on the other.
  void Accept(Slot& slot, Socket listenFd) {
    for (;;) {
      const Socket fd = os::Accept(listenFd);
      if (fd == kNoSocket) return;
      // Small frames (a greeting, a reply) go out at once, not after the
      // peer's delayed acknowledgement.
      if (listenFd == slot.tcpFd) os::SetNoDelay(fd);
      if (TakeTransportFault(slot, 0)) {
        const TransportFault& f = slot.model->Config().transportFault;
        if (f.kind == TransportFaultKind::kNoGreeting) {
          slot.mute.push_back(fd);
          continue;
        }
        if (f.kind == TransportFaultKind::kBadGreeting) {
          const auto bad =
              Frame(static_cast<uint16_t>(f.value != 0 ? f.value : uint32_t{kWriteDone}), {0, 0});
          os::SendSome(fd, bad.data(), bad.size());
          slot.mute.push_back(fd);  // left open: the client must give up by itself
          continue;
        }
        os::EndStream(fd);
        continue;
      }
      // A client that closed and connects again must not be refused because
      // of its own old connection: take in whatever the old one still holds.
      if (slot.conn) Pump(slot);
      if (slot.conn && slot.conn->broken) CloseConnection(slot);
      if (slot.conn || slot.model->Config().refuseOpen) {
        const auto busy = Frame(kBusy, {kErrorSharingViolation});
        os::SendSome(fd, busy.data(), busy.size());
        os::EndStream(fd);
        ++slot.refusals;
        Log(slot, "open refused (busy)");
        continue;
      }
      slot.conn = std::make_unique<Connection>();
      slot.conn->fd = fd;
      ++slot.connGen;
      ++slot.connections;
      Log(slot, "open accepted");
      slot.model->DropPartialCommand();
      Send(slot, Frame(kHello, {kStandInVersion}));
    }
  }

  // Reads what the socket holds and answers the requests in it.
  void Pump(Slot& slot) {
    Connection& c = *slot.conn;
    uint8_t buffer[65536];
    for (;;) {
      const long n = os::ReceiveSome(c.fd, buffer, sizeof buffer);
      if (n > 0) {
        c.in.insert(c.in.end(), buffer, buffer + n);
        continue;
      }
      if (n < 0) c.broken = true;
      break;
    }
    Process(slot);
  }

  void Process(Slot& slot) {
    while (Usable(slot) && !slot.conn->reading) {
      Connection& c = *slot.conn;
      if (c.in.size() < 4) return;
      const uint32_t size = LoadU32(c.in.data());
      if (size < 4 || size > kMaxFrameSize) {
        c.broken = true;
        return;
      }
      if (c.in.size() < size + 4u) return;
      const uint16_t type = static_cast<uint16_t>(c.in[4] | c.in[5] << 8);
      std::vector<uint8_t> body(c.in.begin() + kFrameHeader, c.in.begin() + 4 + size);
      c.in.erase(c.in.begin(), c.in.begin() + 4 + size);
      Handle(slot, type, body);
    }
  }

  void Handle(Slot& slot, uint16_t type, const std::vector<uint8_t>& body) {
    Connection& c = *slot.conn;
    if (type == kWrite || (type == kRead && body.size() >= 4) ||
        (type == kControl && body.size() >= 12 && LoadU32(body.data() + 8) <= body.size() - 12)) {
      StandInRequest request{type, 0, 0};
      if (type == kWrite) {
        request.value = static_cast<uint32_t>(body.size());
      } else {
        request.value = LoadU32(body.data());
        if (type == kControl && LoadU32(body.data() + 8) >= 4)
          request.param = LoadU32(body.data() + 12);
      }
      slot.requests.push_back(request);
      if (slot.requests.size() > 1024) slot.requests.pop_front();
      ++slot.requestsTotal;
      if (TakeTransportFault(slot, type)) {
        const uint32_t limit = type == kRead      ? std::min(LoadU32(body.data()), kMaxReadBytes)
                               : type == kControl ? LoadU32(body.data() + 4)
                                                  : 0;
        Send(slot, FaultyAnswer(slot.model->Config().transportFault, type, limit));
        return;
      }
    }
    switch (type) {
      case kWrite: {
        slot.bytesFromHost += body.size();
        if (slot.model->Config().loopback) {
          Send(slot, Frame(kWriteDone, {0, static_cast<uint32_t>(body.size())}));
          if (!body.empty()) Arrive(slot, body);
          return;
        }
        std::vector<Action> actions;
        const uint64_t before = slot.model->CommandsReceived();
        slot.model->Receive(body.data(), body.size(), clock.NowMs(), actions);
        const auto& history = slot.model->History();
        const uint64_t added = slot.model->CommandsReceived() - before;
        for (size_t i = history.size() - std::min<size_t>(added, history.size());
             log && i < history.size(); ++i) {
          const TraceEntry& e = history[i];
          Log(slot, "[" + Hex(e.commandWord) + " " + Name(e.commandWord) + " " +
                        std::to_string(e.commandLength) + "] <" +
                        (e.replyLength != 0 || e.replyWord != 0
                             ? Hex(e.replyWord) + " " + std::to_string(e.replyLength)
                             : std::string("no reply")) +
                        ">");
        }
        for (const std::string& event : slot.model->TakeEvents())
          Log(slot, "  " + event);
        Send(slot, Frame(kWriteDone, {0, static_cast<uint32_t>(body.size())}));
        Apply(slot, actions);
        return;
      }
      case kRead: {
        if (body.size() < 4) break;
        c.readMax = std::min(LoadU32(body.data()), kMaxReadBytes);
        if (c.readMax == 0) {
          Send(slot, Frame(kReadDone, {0, 0}));
        } else if (!c.queue.empty()) {
          c.reading = true;
          Deliver(slot);
        } else if (c.timeoutMs == 0) {
          Send(slot, Frame(kReadDone, {kErrorSemTimeout, 0}));
        } else {
          c.reading = true;
          c.readDeadline.reset();
          if (c.timeoutMs != kInfiniteTimeout) c.readDeadline = clock.After(c.timeoutMs);
        }
        return;
      }
      case kControl: {
        if (body.size() < 12) break;
        const uint32_t code = LoadU32(body.data());
        const uint32_t outMax = LoadU32(body.data() + 4);
        const uint32_t inSize = LoadU32(body.data() + 8);
        if (inSize > body.size() - 12) break;
        Control(slot, code, outMax, body.data() + 12, inSize);
        return;
      }
      default:
        break;
    }
    c.broken = true;  // unknown type or a frame too short for its fields
  }

  void Control(Slot& slot, uint32_t code, uint32_t outMax, const uint8_t* in, uint32_t inSize) {
    Connection& c = *slot.conn;
    auto answer = [&](uint32_t error, const std::vector<uint8_t>& out = {}) {
      Send(slot,
           Frame(kControlDone, {error, static_cast<uint32_t>(out.size())}, out.data(), out.size()));
    };
    switch (code) {
      case kIoctlGetDriverVersion: {
        if (outMax == 0) return answer(kErrorInsufficientBuffer);
        std::string text = slot.model->Config().driverVersion;
        if (text.size() + 1 > outMax) text.resize(outMax - 1);
        std::vector<uint8_t> out(text.begin(), text.end());
        out.push_back(0);
        return answer(0, out);
      }
      case kIoctlSetTimeout:
        if (inSize < 4) return answer(kErrorInvalidParameter);
        c.timeoutMs = LoadU32(in);
        return answer(0);
      case kIoctlGetHandleStatus: {
        if (outMax < 4) return answer(kErrorInsufficientBuffer);
        std::vector<uint8_t> out;
        PutU32(out, slot.model->Config().handleStatus);
        return answer(0, out);
      }
      case kIoctlResetChannel:
        if (inSize < 4) return answer(kErrorInvalidParameter);
        c.queue.clear();
        c.frontOffset = 0;
        slot.model->DropPartialCommand();
        return answer(0);
      default:
        return answer(kErrorInvalidFunction);
    }
  }

  // Completes the waiting read from the first queued transfer.
  void Deliver(Slot& slot) {
    Connection& c = *slot.conn;
    const std::vector<uint8_t>& front = c.queue.front();
    const size_t n = std::min<size_t>(c.readMax, front.size() - c.frontOffset);
    Send(slot, Frame(kReadDone, {0, static_cast<uint32_t>(n)}, front.data() + c.frontOffset, n));
    c.frontOffset += n;
    if (c.frontOffset == front.size()) {
      c.queue.pop_front();
      c.frontOffset = 0;
    }
    c.reading = false;
  }

  void Arrive(Slot& slot, std::vector<uint8_t> bytes) {
    if (!Usable(slot)) return;
    slot.conn->queue.push_back(std::move(bytes));
    if (slot.conn->reading) {
      Deliver(slot);
      Process(slot);
    }
  }

  void Apply(Slot& slot, std::vector<Action>& actions) {
    const Id id = slot.id;
    for (Action& a : actions) {
      switch (a.kind) {
        case Action::Kind::kSend: {
          if (a.atMs == 0) {
            Arrive(slot, std::move(a.bytes));
            break;
          }
          const uint64_t gen = slot.connGen;
          After(a.atMs, [this, id, gen, bytes = std::move(a.bytes)]() mutable {
            Slot* s = Find(id);
            if (s != nullptr && s->connGen == gen) Arrive(*s, std::move(bytes));
          });
          break;
        }
        case Action::Kind::kDrop: {
          const uint64_t gen = slot.plugGen;
          const uint32_t replug = a.replugMs;
          After(a.atMs, [this, id, gen, replug] {
            Slot* s = Find(id);
            if (s != nullptr && s->plugGen == gen) Unplug(*s, replug);
          });
          break;
        }
        case Action::Kind::kSwitchMode:
          ScheduleSwitch(id, slot.plugGen, a.atMs, a.loader, a.replugMs, 0);
          break;
      }
    }
  }

  // One unasked transfer now and the rest of them every everyMs, as long as
  // the connection lasts.
  void EmitFrom(Id id, uint64_t gen, std::vector<uint8_t> bytes, uint32_t left, uint32_t everyMs) {
    Slot* s = Find(id);
    if (s == nullptr || s->connGen != gen || left == 0) return;
    Arrive(*s, bytes);
    if (left == 1) return;
    After(everyMs, [this, id, gen, bytes = std::move(bytes), left, everyMs]() mutable {
      EmitFrom(id, gen, std::move(bytes), left - 1, everyMs);
    });
  }

  // The instrument leaves the bus to restart in the other mode; it waits
  // (up to 2 s) for the host to take the reply that announced it.
  void ScheduleSwitch(Id id, uint64_t gen, uint32_t atMs, bool loader, uint32_t replugMs,
                      uint32_t waited) {
    After(atMs, [this, id, gen, loader, replugMs, waited, atMs] {
      Slot* s = Find(id);
      if (s == nullptr || s->plugGen != gen) return;
      constexpr uint32_t kStep = 20;
      if (Usable(*s) && !s->conn->queue.empty() && waited < 2000) {
        ScheduleSwitch(id, gen, kStep, loader, replugMs, waited + atMs);
        return;
      }
      s->model->SetLoader(loader);
      Log(*s, loader ? "re-enumerating into the loader" : "re-enumerating into the target");
      Unplug(*s, replugMs);
    });
  }

  // ---- service thread ----

  void Run() {
    std::unique_lock<std::mutex> lock(mu);
    while (!stopping) {
      struct Ref {
        Id id;
        bool listener;
      };
      std::vector<os::PollItem> fds;
      std::vector<Ref> refs;
      fds.push_back({wake.Watched()});
      refs.push_back({0, false});
      std::optional<RealClock::time_point> next;
      if (!timers.empty()) next = timers.begin()->first;
      for (auto& [id, slot] : slots) {
        if (slot.conn) {
          fds.push_back({slot.conn->fd, !slot.conn->out.empty()});
          refs.push_back({id, false});
          if (slot.conn->reading && slot.conn->readDeadline &&
              (!next || *slot.conn->readDeadline < *next)) {
            next = slot.conn->readDeadline;
          }
        }
        if (slot.plugged) {
          for (Socket fd : {slot.listenFd, slot.tcpFd}) {
            if (fd == kNoSocket) continue;
            fds.push_back({fd});
            refs.push_back({id, true});
          }
        }
        for (Socket fd : slot.mute) {
          fds.push_back({fd});
          refs.push_back({id, false});
        }
      }
      int timeout = 1000;
      if (next) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - RealClock::now());
        timeout = static_cast<int>(std::clamp<int64_t>(wait.count(), 0, 1000));
      }
      lock.unlock();
      os::Poll(fds, timeout);
      lock.lock();
      if (stopping) break;

      wake.Drain();
      // Connections before listeners, so that a close and a new open that
      // arrive together are seen in that order.
      for (size_t i = 1; i < fds.size(); ++i) {
        Slot* slot = Find(refs[i].id);
        if (refs[i].listener || slot == nullptr || (!fds[i].readable && !fds[i].writable)) continue;
        if (DrainMute(*slot, fds[i].socket)) continue;
        if (!slot->conn || slot->conn->fd != fds[i].socket) continue;
        if (fds[i].writable) Flush(*slot->conn);
        if (fds[i].readable) Pump(*slot);
        if (slot->conn->broken) CloseConnection(*slot);
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        Slot* slot = Find(refs[i].id);
        if (!refs[i].listener || slot == nullptr || !slot->plugged ||
            (slot->listenFd != fds[i].socket && slot->tcpFd != fds[i].socket)) {
          continue;
        }
        if (fds[i].readable) Accept(*slot, fds[i].socket);
      }
      RunDue();
    }
  }

  // Takes in what a connection that was never greeted sends and closes it
  // when the client has gone. False when fd is not such a connection.
  bool DrainMute(Slot& slot, Socket fd) {
    const auto it = std::find(slot.mute.begin(), slot.mute.end(), fd);
    if (it == slot.mute.end()) return false;
    uint8_t buffer[4096];
    long n;
    while ((n = os::ReceiveSome(fd, buffer, sizeof buffer)) > 0) {
    }
    if (n < 0) {
      os::EndStream(fd);
      slot.mute.erase(it);
    }
    return true;
  }

  void RunDue() {
    const auto now = RealClock::now();
    while (!timers.empty() && timers.begin()->first <= now) {
      auto fn = std::move(timers.begin()->second);
      timers.erase(timers.begin());
      fn();
    }
    for (auto& [id, slot] : slots) {
      if (Usable(slot) && slot.conn->reading && slot.conn->readDeadline &&
          *slot.conn->readDeadline <= now) {
        slot.conn->reading = false;
        Send(slot, Frame(kReadDone, {kErrorSemTimeout, 0}));
        Process(slot);
      }
      if (slot.conn && slot.conn->broken) CloseConnection(slot);
    }
  }
};

Simulator::Simulator() : Simulator(Options{}) {}

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() {
  Stop();
}

bool Simulator::Start(std::string* error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->running) return true;
  if (!os::StartSockets(error) || !os::MakeFolders(impl_->root, error)) return false;
  if (!impl_->wake.Open(error)) return false;
  impl_->stopping = false;
  impl_->running = true;
  impl_->thread = std::thread([this] { impl_->Run(); });
  return true;
}

void Simulator::Stop() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->stopping = true;
    impl_->Wake();
  }
  if (impl_->thread.joinable()) impl_->thread.join();
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (auto& [id, slot] : impl_->slots)
    impl_->RemoveEntry(slot);
  impl_->timers.clear();
  impl_->wake.Close();
  impl_->running = false;
}

const std::string& Simulator::Root() const {
  return impl_->root;
}

const DilatedClock& Simulator::Clock() const {
  return impl_->clock;
}

Simulator::Id Simulator::Add(InstrumentConfig config, bool plug, std::string* error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (!ValidEntryName(config.name)) {
    if (error) *error = "invalid entry name \"" + config.name + "\"";
    return 0;
  }
  const std::string folder = impl_->root + "/" + config.interfaceClass;
  for (const auto& [id, slot] : impl_->slots) {
    if (slot.folder == folder && slot.model->Config().name == config.name) {
      if (error) *error = "duplicate entry name \"" + config.name + "\"";
      return 0;
    }
  }
  Impl::Slot slot;
  slot.id = impl_->nextId;
  slot.folder = folder;
  slot.model = std::make_unique<Instrument>(std::move(config));
  if (slot.SocketPath().size() > kMaxSocketPath) {
    if (error) *error = "device path too long: " + slot.SocketPath();
    return 0;
  }
  if (plug && !impl_->CreateEntry(slot, error)) return 0;
  ++impl_->nextId;
  const Id id = slot.id;
  impl_->slots.emplace(id, std::move(slot));
  return id;
}

bool Simulator::Plug(Id id, std::string* error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return false;
  if (slot->plugged) return true;
  return impl_->CreateEntry(*slot, error);
}

bool Simulator::Unplug(Id id, uint32_t replugAfterMs) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return false;
  impl_->Unplug(*slot, replugAfterMs);
  return true;
}

bool Simulator::Crash(Id id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr || !slot->plugged) return false;
  impl_->Crash(*slot);
  return true;
}

bool Simulator::Remove(Id id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return false;
  impl_->RemoveEntry(*slot);
  impl_->slots.erase(id);
  return true;
}

std::string Simulator::DevicePath(Id id) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  const Impl::Slot* slot = impl_->Find(id);
  return slot != nullptr ? slot->SocketPath() : std::string();
}

std::string Simulator::PropertiesPath(Id id) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  const Impl::Slot* slot = impl_->Find(id);
  return slot != nullptr ? slot->PropsPath() : std::string();
}

bool Simulator::AddFault(Id id, const Fault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return false;
  slot->model->AddFault(fault);
  return true;
}

bool Simulator::AddScript(Id id, const std::vector<ScriptStep>& steps) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return false;
  slot->model->AddScript(steps);
  return true;
}

bool Simulator::ClearFaults(Id id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return false;
  slot->model->ClearFaults();
  return true;
}

bool Simulator::SetHandleStatus(Id id, uint32_t status) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return false;
  slot->model->MutableConfig().handleStatus = status;
  return true;
}

bool Simulator::SetRefuseOpen(Id id, bool refuse) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return false;
  slot->model->MutableConfig().refuseOpen = refuse;
  return true;
}

bool Simulator::SetTransportFault(Id id, const TransportFault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return false;
  slot->model->MutableConfig().transportFault = fault;
  slot->transportSeen = 0;
  slot->transportApplied = 0;
  return true;
}

bool Simulator::Emit(Id id, const std::vector<uint8_t>& bytes, uint32_t repeat, uint32_t everyMs) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr || !impl_->Usable(*slot) || bytes.empty()) return false;
  impl_->EmitFrom(id, slot->connGen, bytes, repeat, everyMs);
  impl_->Wake();
  return true;
}

bool Simulator::SetReenumerationDelay(Id id, uint32_t delayMs) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return false;
  slot->model->MutableConfig().reenumDelayMs = delayMs;
  return true;
}

std::optional<Simulator::InstrumentState> Simulator::State(Id id) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  const Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return std::nullopt;
  InstrumentState state;
  state.plugged = slot->plugged;
  state.connected = slot->conn != nullptr;
  state.loader = slot->model->InLoader();
  state.statusWord = slot->model->StatusWord();
  state.commands = slot->model->CommandsReceived();
  state.connections = slot->connections;
  state.refusals = slot->refusals;
  state.plugs = slot->plugs;
  state.tcpPort = slot->tcpPort;
  state.channelTimeout = slot->conn ? slot->conn->timeoutMs : 0;
  state.bytesFromHost = slot->bytesFromHost;
  state.transportFaults = slot->transportFaults;
  state.queuedTransfers = slot->conn ? slot->conn->queue.size() : 0;
  state.unGreeted = static_cast<uint32_t>(slot->mute.size());
  state.scriptLeft = slot->model->ScriptLeft();
  state.scriptMismatches = slot->model->ScriptMismatches();
  state.history.assign(slot->model->History().begin(), slot->model->History().end());
  state.requests.assign(slot->requests.begin(), slot->requests.end());
  state.requestsTotal = slot->requestsTotal;
  const Instrument& model = *slot->model;
  state.signature = model.Signature();
  state.stagedBytes = static_cast<uint32_t>(model.Staged().bytes.size());
  state.stagedSignature = model.Staged().signature;
  state.stagedCrc = model.StagedCrc();
  state.stagedClosed = model.Staged().closed;
  state.burns = model.Burns();
  state.imageWrites.assign(model.ImageWrites().begin(), model.ImageWrites().end());
  state.flashWrites.assign(model.FlashWrites().begin(), model.FlashWrites().end());
  return state;
}

std::vector<uint8_t> Simulator::ReadFlash(Id id, uint32_t address, uint32_t length) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  const Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return {};
  return slot->model->FlashMemory().Read(address, length);
}

bool Simulator::SetStagedImage(Id id, const StagedImage& image) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return false;
  slot->model->SetStaged(image);
  return true;
}

std::optional<uint32_t> Simulator::Register(Id id, uint32_t registerId) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  const Impl::Slot* slot = impl_->Find(id);
  if (slot == nullptr) return std::nullopt;
  return slot->model->Register(registerId);
}

bool Simulator::WaitFor(Id id, const std::function<bool(const InstrumentState&)>& pred,
                        uint32_t timeoutMs) const {
  const auto deadline = impl_->clock.After(timeoutMs);
  for (;;) {
    const auto state = State(id);
    if (!state) return false;
    if (pred(*state)) return true;
    if (RealClock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
}

}  // namespace nvsim
