// A minimal client of the driver stand-in written from docs/driver-stand-in.md
// alone (it uses nothing of the simulator's own code), plus the test fixture
// that runs a simulator on a private device root.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "simulator.h"

namespace rawclient {

using Bytes = std::vector<uint8_t>;

inline void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint32_t Get32(const Bytes& in, size_t at) {
  return static_cast<uint32_t>(in.at(at)) | static_cast<uint32_t>(in.at(at + 1)) << 8 |
         static_cast<uint32_t>(in.at(at + 2)) << 16 | static_cast<uint32_t>(in.at(at + 3)) << 24;
}
inline uint16_t Get16(const Bytes& in, size_t at) {
  return static_cast<uint16_t>(in.at(at) | in.at(at + 1) << 8);
}

// Message types and control codes, as the document lists them.
constexpr uint16_t kHello = 1, kBusy = 2, kWrite = 0x10, kWriteDone = 0x11, kRead = 0x12,
                   kReadDone = 0x13, kControl = 0x14, kControlDone = 0x15;
constexpr uint32_t kGetDriverVersion = 0x0022200C, kSetTimeout = 0x00222010,
                   kGetHandleStatus = 0x0022201C, kResetChannel = 0x00222020;
constexpr const char* kUsbClass = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

struct Frame {
  uint16_t type = 0;
  Bytes fields;  // everything after the 8-byte header
};

struct Done {
  uint32_t error = 0xFFFFFFFF;
  uint32_t count = 0;
  Bytes data;  // READ_DONE and CONTROL_DONE: the count bytes that follow
};

class Client {
 public:
  Client() = default;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client() { Close(); }

  // Connects and takes the greeting: 0 (HELLO), 32 (BUSY), 2 (no device).
  uint32_t Open(const std::string& path) { return Connect(path) ? Greeting() : 2; }
  // The same over the device's loopback TCP port (the tcp key).
  uint32_t OpenTcp(uint16_t port) { return ConnectTcp(port) ? Greeting() : 2; }

  // Only the connect, without waiting for the greeting.
  bool Connect(const std::string& path) {
    Close();
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return Connected(::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  }
  bool ConnectTcp(uint16_t port) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return Connected(::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  }
  // errno of the last failed connect.
  int ConnectError() const { return connectError_; }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool IsOpen() const { return fd_ >= 0; }
  uint32_t Version() const { return version_; }
  uint32_t BusyError() const { return busyError_; }

  bool SendRaw(const Bytes& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

  bool SendFrame(uint16_t type, const Bytes& fields) {
    Bytes out;
    Put32(out, static_cast<uint32_t>(4 + fields.size()));
    out.push_back(static_cast<uint8_t>(type));
    out.push_back(static_cast<uint8_t>(type >> 8));
    out.push_back(0);
    out.push_back(0);
    out.insert(out.end(), fields.begin(), fields.end());
    return SendRaw(out);
  }

  // One frame, or nothing when the stream ends or realMs pass.
  std::optional<Frame> ReadFrame(int realMs) {
    Bytes header;
    if (!ReadExactly(header, 8, realMs)) return std::nullopt;
    const uint32_t size = Get32(header, 0);
    Bytes fields;
    if (size < 4 || !ReadExactly(fields, size - 4, realMs)) return std::nullopt;
    return Frame{Get16(header, 4), fields};
  }

  // Exactly n bytes as they come, without taking them as frames.
  std::optional<Bytes> ReadBytes(size_t n, int realMs) {
    Bytes out;
    if (!ReadExactly(out, n, realMs)) return std::nullopt;
    return out;
  }

  // True when nothing at all arrives (and the stream stays open) for realMs.
  bool Quiet(int realMs) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, realMs) == 0;
  }

  // True when the end of the stream is there right now, without waiting:
  // the cheap "still connected?" check a host makes (a non-blocking peek).
  bool EndedNow() {
    uint8_t b;
    return ::recv(fd_, &b, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }

  // True when the server has closed the stream (EOF within realMs).
  bool ClosedByPeer(int realMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, realMs) <= 0) return false;
    uint8_t b;
    return ::recv(fd_, &b, 1, MSG_PEEK) <= 0;
  }

  std::optional<Done> Request(uint16_t type, const Bytes& fields, uint16_t expect,
                              int realMs = 5000) {
    if (!SendFrame(type, fields)) return std::nullopt;
    const auto reply = ReadFrame(realMs);
    if (!reply || reply->type != expect || reply->fields.size() < 8) return std::nullopt;
    Done done;
    done.error = Get32(reply->fields, 0);
    done.count = Get32(reply->fields, 4);
    if (expect == kWriteDone) return done;
    if (reply->fields.size() != 8u + done.count) return std::nullopt;
    done.data.assign(reply->fields.begin() + 8, reply->fields.end());
    return done;
  }

  std::optional<Done> Write(const Bytes& bytes) { return Request(kWrite, bytes, kWriteDone); }
  std::optional<Done> Read(uint32_t maxBytes, int realMs = 5000) {
    Bytes f;
    Put32(f, maxBytes);
    return Request(kRead, f, kReadDone, realMs);
  }
  std::optional<Done> Control(uint32_t code, uint32_t outMax, const Bytes& in = {}) {
    Bytes f;
    Put32(f, code);
    Put32(f, outMax);
    Put32(f, static_cast<uint32_t>(in.size()));
    f.insert(f.end(), in.begin(), in.end());
    return Request(kControl, f, kControlDone);
  }
  bool SetTimeout(uint32_t ms) {
    Bytes in;
    Put32(in, ms);
    const auto done = Control(kSetTimeout, 0, in);
    return done && done->error == 0;
  }

 private:
  bool Connected(int result) {
    connectError_ = result == 0 ? 0 : errno;
    if (result != 0) Close();
    return result == 0;
  }

  uint32_t Greeting() {
    const auto greeting = ReadFrame(2000);
    if (!greeting) {
      Close();
      return 2;
    }
    if (greeting->type == kBusy) {
      busyError_ = Get32(greeting->fields, 0);
      Close();
      return 32;
    }
    version_ = greeting->type == kHello ? Get32(greeting->fields, 0) : 0;
    return greeting->type == kHello ? 0 : 2;
  }

  bool ReadExactly(Bytes& out, size_t n, int realMs) {
    out.resize(n);
    size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
    while (got < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      const ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }

  int fd_ = -1;
  int connectError_ = 0;
  uint32_t version_ = 0;
  uint32_t busyError_ = 0;
};

// ---- the instrument's frames ----

// A command frame: length, command word with the index in bits 24..28, words.
inline Bytes Command(uint32_t code, uint32_t index, std::initializer_list<uint32_t> params = {}) {
  Bytes out;
  Put32(out, static_cast<uint32_t>(4 + 4 * params.size()));
  Put32(out, code | (index & 0x1F) << 24);
  for (uint32_t p : params)
    Put32(out, p);
  return out;
}

struct Reply {
  uint32_t length = 0;
  uint32_t word = 0;
  Bytes payload;
};

// Reads transfers until a whole reply has arrived (or a read times out).
inline std::optional<Reply> ReadReply(Client& client, uint32_t maxBytes = 1024) {
  Bytes got;
  for (;;) {
    const auto done = client.Read(maxBytes);
    if (!done || done->error != 0) return std::nullopt;
    got.insert(got.end(), done->data.begin(), done->data.end());
    if (got.size() >= 8 && got.size() >= Get32(got, 0) + 4u) break;
  }
  Reply r;
  r.length = Get32(got, 0);
  r.word = Get32(got, 4);
  r.payload.assign(got.begin() + 8, got.begin() + 4 + r.length);
  return r;
}

inline std::optional<Reply> Exchange(Client& client, const Bytes& frame) {
  const auto written = client.Write(frame);
  if (!written || written->error != 0 || written->count != frame.size()) return std::nullopt;
  return ReadReply(client);
}

// ---- fixture ----

class SimulatorTest : public ::testing::Test {
 protected:
  static constexpr double kScale = 50;

  void SetUp() override {
    char pattern[] = "/tmp/nvsimt.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    nvsim::Simulator::Options options;
    options.root = root_;
    options.timeScale = kScale;
    sim_ = std::make_unique<nvsim::Simulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
  }

  void TearDown() override {
    sim_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  nvsim::InstrumentConfig Config(const std::string& name) {
    nvsim::InstrumentConfig config;
    config.name = name;
    config.reenumDelayMs = 500;
    return config;
  }

  nvsim::Simulator::Id AddInstrument(nvsim::InstrumentConfig config) {
    std::string error;
    const auto id = sim_->Add(std::move(config), true, &error);
    EXPECT_NE(id, 0u) << error;
    return id;
  }

  std::string ClassFolder(const std::string& guid = kUsbClass) const { return root_ + "/" + guid; }

  // Dilated milliseconds to real ones for this fixture's scale.
  static int Real(double dilatedMs) { return static_cast<int>(dilatedMs / kScale); }

  std::string root_;
  std::unique_ptr<nvsim::Simulator> sim_;
};

}  // namespace rawclient
