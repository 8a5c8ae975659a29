// The driver stand-in's table (docs/driver-stand-in.md, the TCP transport)
// under the Windows channel and enumeration: a folder tree made here, and a
// scripted server on loopback in place of the simulator, so that wrong and
// broken answers can be sent on purpose.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/driver.h"
#include "platform/enumeration.h"
#include "platform/errors.h"
#include "platform/time.h"
#include "platform/win32/device_calls.h"

namespace {

using namespace platform;

const Guid kUsbClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const std::string kClassFolder = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A frame of `type` with the given u32 fields and payload.
Bytes MakeFrame(uint16_t type, std::initializer_list<uint32_t> fields, const Bytes& payload = {}) {
  Bytes frame;
  Put32(frame, static_cast<uint32_t>(4 + 4 * fields.size() + payload.size()));
  Put32(frame, type);
  for (const uint32_t field : fields)
    Put32(frame, field);
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

bool ReceiveAll(SOCKET s, uint8_t* bytes, size_t count) {
  while (count > 0) {
    const int got = ::recv(s, reinterpret_cast<char*>(bytes), static_cast<int>(count), 0);
    if (got <= 0) return false;
    bytes += got;
    count -= static_cast<size_t>(got);
  }
  return true;
}

// The next whole frame from the client, header included; empty at its end.
Bytes ReceiveFrame(SOCKET s) {
  Bytes frame(4);
  if (!ReceiveAll(s, frame.data(), 4)) return {};
  const uint32_t size = frame[0] | frame[1] << 8 | frame[2] << 16 | frame[3] << 24;
  frame.resize(4 + size);
  if (!ReceiveAll(s, frame.data() + 4, size)) return {};
  return frame;
}

void Send(SOCKET s, const Bytes& bytes) {
  ::send(s, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
}

// Waits until the client closes its end.
void AwaitClose(SOCKET s) {
  while (!ReceiveFrame(s).empty()) {
  }
}

// A loopback server that runs `script` on each connection, one after the
// other.
class ScriptedServer {
 public:
  using Script = std::function<void(SOCKET)>;
  explicit ScriptedServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    int length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    ::closesocket(listener_);
  }
  uint16_t Port() const { return port_; }

 private:
  void Serve() {
    while (!stop_) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(listener_, &readable);
      timeval wait{0, 20000};
      if (::select(0, &readable, nullptr, nullptr, &wait) != 1) continue;
      const SOCKET s = ::accept(listener_, nullptr, nullptr);
      if (s == INVALID_SOCKET) continue;
      script_(s);
      ::closesocket(s);
    }
  }

  Script script_;
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class StandInTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  void SetUp() override {
    // A Unix root, reached through Wine's drive Z:, as the simulator's is.
    root_ = "/tmp/nvdw-" + std::to_string(::GetCurrentProcessId());
    if (::GetFileAttributesA("Z:/tmp") == INVALID_FILE_ATTRIBUTES)
      GTEST_SKIP() << "no drive Z: (not under Wine)";
    std::filesystem::create_directories("Z:" + root_ + "/" + kClassFolder);
    ::SetEnvironmentVariableA("NVDEVICES_DEVICE_ROOT", root_.c_str());
    previous_ = win32::InstallDeviceCalls(&win32::StandInDeviceCalls());
    SetTimeScale(10);
  }
  void TearDown() override {
    if (previous_ == nullptr) return;
    win32::InstallDeviceCalls(previous_);
    SetTimeScale(1);
    std::error_code ignored;
    std::filesystem::remove_all("Z:" + root_, ignored);
  }
  // Writes <name>.sock (listed only) and <name>.props; returns the device path.
  std::string AddEntry(const std::string& name, const std::string& properties,
                       bool withSocket = true) {
    const std::string path = root_ + "/" + kClassFolder + "/" + name;
    if (withSocket) std::ofstream("Z:" + path + ".sock");
    std::ofstream("Z:" + path + ".props", std::ios::binary) << properties;
    return path + ".sock";
  }
  std::string AddServer(const std::string& name, const ScriptedServer& server) {
    return AddEntry(name, "service=ZDUSBDEV\ntcp=" + std::to_string(server.Port()) + "\n");
  }

  std::string root_;
  const win32::DeviceCalls* previous_ = nullptr;
};

TEST_F(StandInTest, EnumeratesTheEntriesAWindowsClientCanReach) {
  AddEntry("b", "service=ZDUSBDEV\r\nlocation=Port_#0002.Hub_#0001\ndescription=\ntcp=40213\n");
  AddEntry("a", "tcp=40214\ntcp=7\nservice=first\nservice=second");
  AddEntry("c", "service=ZDUSBDEV\n");                           // no port: not reachable
  AddEntry("d", "tcp=70000\n");                                  // not a port
  AddEntry("e", "tcp=40215\n", false);                           // properties without a socket
  std::ofstream("Z:" + root_ + "/" + kClassFolder + "/f.sock");  // socket without properties
  AddEntry(".g", "tcp=40216\n");                                 // a work file of the server

  const auto set = DeviceInfoSet::Open(kUsbClass);
  ASSERT_NE(set, nullptr);
  std::vector<std::string> paths;
  DeviceInfoData info;
  for (uint32_t i = 0; set->EnumDeviceInfo(i, info); ++i) {
    DeviceInterfaceData data;
    ASSERT_TRUE(set->EnumDeviceInterface(info, kUsbClass, 0, data));
    std::string path;
    ASSERT_TRUE(set->GetInterfacePath(data, path));
    paths.push_back(path);
  }
  const std::string folder = root_ + "/" + kClassFolder + "/";
  EXPECT_EQ(paths, (std::vector<std::string>{folder + "a.sock", folder + "b.sock"}));

  std::string value;
  ASSERT_TRUE(set->EnumDeviceInfo(0, info));
  EXPECT_TRUE(set->GetProperty(info, kPropertyService, 256, value));
  EXPECT_EQ(value, "first");
  EXPECT_FALSE(set->GetProperty(info, kPropertyDeviceDescription, 512, value));
  EXPECT_EQ(LastError(), kErrorInvalidData);
  ASSERT_TRUE(set->EnumDeviceInfo(1, info));
  EXPECT_TRUE(set->GetProperty(info, kPropertyLocationInformation, 512, value));
  EXPECT_EQ(value, "Port_#0002.Hub_#0001");
  EXPECT_TRUE(set->GetProperty(info, kPropertyDeviceDescription, 512, value));
  EXPECT_EQ(value, "");
  EXPECT_FALSE(set->GetProperty(info, kPropertyService, 8, value));
  EXPECT_EQ(LastError(), kErrorInsufficientBuffer);

  // A class without a folder has no devices.
  Guid other = kUsbClass;
  other.data1 = 1;
  const auto empty = DeviceInfoSet::Open(other);
  ASSERT_NE(empty, nullptr);
  EXPECT_FALSE(empty->EnumDeviceInfo(0, info));
  EXPECT_EQ(LastError(), kErrorNoMoreItems);
}

TEST_F(StandInTest, RequestsTravelAsTheDocumentedFrames) {
  std::vector<Bytes> requests;
  {  // the server's thread has ended when the block does
    ScriptedServer server([&](SOCKET s) {
      Send(s, MakeFrame(0x0001, {1}));
      requests.push_back(ReceiveFrame(s));
      Send(s, MakeFrame(0x0015, {0, 0}));
      requests.push_back(ReceiveFrame(s));
      Send(s, MakeFrame(0x0013, {0, 3}, {'a', 'b', 'c'}));
      requests.push_back(ReceiveFrame(s));
      Send(s, MakeFrame(0x0011, {0, 3}));
      requests.push_back(ReceiveFrame(s));
      Send(s, MakeFrame(0x0015, {0, 4}, {8, 0, 0, 0xC0}));
      requests.push_back(ReceiveFrame(s));
      Send(s, MakeFrame(0x0013, {121, 0}));
      AwaitClose(s);
    });
    const std::string path = AddServer("nv-1", server);
    const DeviceHandle handle = OpenDriverHandle(path.c_str(), true);
    ASSERT_NE(handle, kInvalidDeviceHandle) << LastError();

    const uint32_t timeout = 200;
    uint32_t count = 0;
    EXPECT_TRUE(DriverControl(handle, kIoctlSetTimeout, &timeout, 4, nullptr, 0, count));
    char buffer[1024];
    EXPECT_TRUE(ReadDriver(handle, buffer, sizeof buffer, count));
    EXPECT_EQ(std::string(buffer, count), "abc");
    EXPECT_TRUE(WriteDriver(handle, "xyz", 3, count));
    EXPECT_EQ(count, 3u);
    EXPECT_TRUE(DriverConnectionAlive(handle));  // the handle-status request
    EXPECT_FALSE(ReadDriver(handle, buffer, sizeof buffer, count));
    EXPECT_EQ(LastError(), kErrorSemTimeout);
    EXPECT_TRUE(CloseDriverHandle(handle));
  }

  ASSERT_EQ(requests.size(), 5u);
  // The example of the document, byte for byte.
  EXPECT_EQ(requests[0], (Bytes{0x14, 0, 0, 0, 0x14, 0, 0, 0, 0x10, 0x20, 0x22, 0,
                                0,    0, 0, 0, 4,    0, 0, 0, 0xC8, 0,    0,    0}));
  EXPECT_EQ(requests[1], (Bytes{8, 0, 0, 0, 0x12, 0, 0, 0, 0, 4, 0, 0}));
  EXPECT_EQ(requests[2], (Bytes{7, 0, 0, 0, 0x10, 0, 0, 0, 'x', 'y', 'z'}));
  EXPECT_EQ(requests[3],
            (Bytes{0x10, 0, 0, 0, 0x14, 0, 0, 0, 0x1C, 0x20, 0x22, 0, 4, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(StandInTest, BrokenRepliesLeaveTheDeviceGone) {
  const std::vector<Bytes> replies = {
      {0xFF, 0xFF, 0xFF, 0xFF, 0x13, 0, 0, 0},   // size beyond any frame
      {3, 0, 0, 0},                              // size below 4
      MakeFrame(0x0013, {0, 17}, Bytes(17, 1)),  // more than asked for
      MakeFrame(0x0013, {0, 2}, Bytes(5, 1)),    // size is not 12 + count
      MakeFrame(0x0011, {0, 0}),                 // the wrong reply type
      MakeFrame(0x0013, {0}),                    // too short for its fields
  };
  std::atomic<size_t> next{0};
  ScriptedServer server([&](SOCKET s) {
    Send(s, MakeFrame(0x0001, {1}));
    ReceiveFrame(s);
    Send(s, replies[next++ % replies.size()]);
    AwaitClose(s);
  });
  const std::string path = AddServer("nv-1", server);
  for (size_t i = 0; i < replies.size(); ++i) {
    const DeviceHandle handle = OpenDriverHandle(path.c_str(), true);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    char buffer[16];
    uint32_t count = 0;
    EXPECT_FALSE(ReadDriver(handle, buffer, sizeof buffer, count));
    EXPECT_EQ(LastError(), kErrorDeviceNotConnected) << "reply " << i;
    EXPECT_FALSE(WriteDriver(handle, "x", 1, count));
    EXPECT_EQ(LastError(), kErrorDeviceNotConnected) << "reply " << i;
    EXPECT_TRUE(CloseDriverHandle(handle));
  }
}

TEST_F(StandInTest, OpenFailuresAndAnEndingStream) {
  ScriptedServer busy([](SOCKET s) { Send(s, MakeFrame(0x0002, {32})); });
  ScriptedServer silent([](SOCKET s) { AwaitClose(s); });
  ScriptedServer hangsUp([](SOCKET) {});
  ScriptedServer unplugs([](SOCKET s) {
    Send(s, MakeFrame(0x0001, {1}));
    ReceiveFrame(s);
    ::shutdown(s, SD_BOTH);
  });
  // A port nobody listens on: that of a server that has gone.
  std::string stale;
  {
    ScriptedServer gone([](SOCKET) {});
    stale = AddServer("stale", gone);
  }
  const struct {
    std::string path;
    uint32_t error;
  } opens[] = {
      {AddServer("busy", busy), kErrorSharingViolation},
      {AddServer("silent", silent), kErrorGenFailure},
      {AddServer("hangs-up", hangsUp), kErrorFileNotFound},
      {stale, kErrorFileNotFound},
      {AddEntry("no-port", "service=ZDUSBDEV\n"), kErrorFileNotFound},
      {root_ + "/" + kClassFolder + "/missing.sock", kErrorFileNotFound},
      {root_ + "/" + kClassFolder + "/busy.props", kErrorFileNotFound},
      {root_ + "/" + std::string(120, 'x') + ".sock", kErrorBadPathname},
  };
  for (const auto& open : opens) {
    EXPECT_EQ(OpenDriverHandle(open.path.c_str(), true), kInvalidDeviceHandle);
    EXPECT_EQ(LastError(), open.error) << open.path;
  }

  const DeviceHandle handle = OpenDriverHandle(AddServer("unplugs", unplugs).c_str(), true);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  char buffer[16];
  uint32_t count = 0;
  EXPECT_FALSE(ReadDriver(handle, buffer, sizeof buffer, count));
  EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
  EXPECT_FALSE(DriverConnectionAlive(handle));
  EXPECT_TRUE(CloseDriverHandle(handle));
}

TEST_F(StandInTest, ClosingEndsAWaitingRead) {
  ScriptedServer server([](SOCKET s) {
    Send(s, MakeFrame(0x0001, {1}));
    AwaitClose(s);  // never answers the READ
  });
  const DeviceHandle handle = OpenDriverHandle(AddServer("nv-1", server).c_str(), true);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  std::atomic<uint32_t> error{0};
  std::thread reader([&] {
    char buffer[16];
    uint32_t count = 0;
    if (!ReadDriver(handle, buffer, sizeof buffer, count)) error = LastError();
  });
  ::Sleep(100);
  EXPECT_TRUE(CloseDriverHandle(handle));
  reader.join();
  EXPECT_EQ(error.load(), kErrorOperationAborted);
}

}  // namespace
