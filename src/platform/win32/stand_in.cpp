// The driver stand-in's table of device functions (docs/driver-stand-in.md):
// the Win32 device calls carried to the simulator, for Windows builds run
// under Wine, which has neither the instrument's driver nor Unix sockets.
//
// Enumeration reads the stand-in's folder tree: the class folder under
// $NVDEVICES_DEVICE_ROOT (a root given as a Unix path is reached through
// Wine's drive Z:). An entry is present when <name>.sock is listed and
// <name>.props is readable with a `tcp` key; its device path is
// <root>/<class>/<name>.sock, as on POSIX.
//
// The channel is the stand-in's framed protocol over a TCP connection on
// loopback to the port the simulator wrote as `tcp=<port>` into the entry's
// properties. Requests complete before the call returns, which overlapped
// handles allow: the call fills the OVERLAPPED, signals its event and
// returns TRUE (or FALSE with the error), so the code above the table takes
// its usual GetOverlappedResult path. A stand-in handle is a number of this
// file, never a Windows handle.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// winsock2.h before windows.h (device_calls.h).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/driver.h"
#include "platform/enumeration.h"
#include "platform/handle_table.h"
#include "platform/stand_in_common.h"
#include "platform/time.h"
#include "platform/win32/device_calls.h"

namespace platform::win32 {

namespace {

using namespace stand_in;

constexpr size_t kMaxDevicePath = 107;  // what a Unix socket address holds

// A waiting receive looks this often (real ms) whether its handle was closed.
constexpr DWORD kCloseCheckMs = 100;

// Windows error numbers of the stand-in's answers.
constexpr DWORD kOk = ERROR_SUCCESS;

// ---------------------------------------------------------------------------
// The folder tree.

// $NVDEVICES_DEVICE_ROOT as given, or /tmp/nvdevices when it is unset or
// empty.
std::string RootAsGiven() {
  std::string value(256, '\0');
  for (;;) {
    const DWORD length =
        ::GetEnvironmentVariableA("NVDEVICES_DEVICE_ROOT", value.data(), value.size());
    if (length < value.size()) {
      value.resize(length);
      return value.empty() ? kDefaultDeviceRoot : value;
    }
    value.resize(length);  // the size it needs, with its NUL
  }
}

// A path of the tree as Windows opens it: Unix paths through drive Z:.
std::string WindowsPath(const std::string& path) {
  return !path.empty() && path[0] == '/' ? "Z:" + path : path;
}

// Reads a whole (small) file; false when it cannot be opened or read.
bool ReadSmallFile(const std::string& path, std::string& text) {
  const HANDLE file = ::CreateFileA(WindowsPath(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  text.clear();
  bool ok = true;
  char buffer[4096];
  while (text.size() < kMaxPropertiesBytes) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    text.append(buffer, got);
  }
  ::CloseHandle(file);
  if (text.size() > kMaxPropertiesBytes) text.resize(kMaxPropertiesBytes);
  return ok;
}

// A device path's properties file: <name>.sock becomes <name>.props.
bool ReadEntryProperties(const std::string& devicePath, Properties& properties) {
  std::string propertiesPath;
  std::string text;
  if (!PropertiesPath(devicePath, propertiesPath) || !ReadSmallFile(propertiesPath, text))
    return false;
  properties = ParseProperties(text);
  return true;
}

// A snapshot of a class folder's present entries (an HDEVINFO of the
// stand-in points at one).
struct EntrySet {
  GUID interfaceClass{};
  struct Entry {
    std::string path;  // the device path
    Properties properties;
  };
  std::vector<Entry> entries;

  // The entry a record's Reserved field names (index + 1), or null.
  const Entry* EntryOf(ULONG_PTR reserved) const {
    return reserved >= 1 && reserved <= entries.size() ? &entries[reserved - 1] : nullptr;
  }
};

struct SetRegistry {
  std::mutex lock;
  std::unordered_set<EntrySet*> live;
};

SetRegistry& Sets() {
  alignas(SetRegistry) static unsigned char storage[sizeof(SetRegistry)];
  static SetRegistry* registry = ::new (storage) SetRegistry();
  return *registry;
}

// The set behind a handle, or null (error 6) for one that is not a set of
// the stand-in. Sets are used by one thread at a time, as SetupAPI's are.
EntrySet* FindSet(HDEVINFO handle) {
  SetRegistry& registry = Sets();
  std::lock_guard<std::mutex> guard(registry.lock);
  const auto found = registry.live.find(static_cast<EntrySet*>(handle));
  if (found != registry.live.end()) return *found;
  ::SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

BOOL Failed(DWORD error) {
  ::SetLastError(error);
  return FALSE;
}

HDEVINFO WINAPI StandInGetClassDevs(const GUID* classGuid, PCSTR /*enumerator*/, HWND /*parent*/,
                                    DWORD flags) {
  if (classGuid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_unique<EntrySet>();
  set->interfaceClass = *classGuid;
  const std::string folder = ClassFolder(RootAsGiven(), FromWindows(*classGuid));
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA(WindowsPath(folder + "/*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // A class (or root) folder that does not exist: no devices of the class.
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      ::SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
  } else {
    std::vector<std::string> files;
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        files.emplace_back(found.cFileName);
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    for (const std::string& name : EntryNames(files)) {
      EntrySet::Entry entry;
      entry.path = DevicePath(folder, name);
      // Without readable properties the entry is being created or removed;
      // without a port it cannot be reached from here.
      if (!ReadEntryProperties(entry.path, entry.properties) || entry.properties.tcpPort == 0)
        continue;
      set->entries.push_back(std::move(entry));
    }
  }
  SetRegistry& registry = Sets();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.live.insert(set.get());
  ::SetLastError(kOk);
  return static_cast<HDEVINFO>(set.release());
}

BOOL WINAPI StandInEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA info) {
  const EntrySet* set = FindSet(handle);
  if (set == nullptr) return FALSE;
  if (info == nullptr || info->cbSize != sizeof(SP_DEVINFO_DATA))
    return Failed(ERROR_INVALID_USER_BUFFER);
  if (index >= set->entries.size()) return Failed(ERROR_NO_MORE_ITEMS);
  info->ClassGuid = GUID{};
  info->DevInst = index + 1;
  info->Reserved = index + 1;
  ::SetLastError(kOk);
  return TRUE;
}

BOOL WINAPI StandInEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA info,
                                        const GUID* interfaceClass, DWORD memberIndex,
                                        PSP_DEVICE_INTERFACE_DATA data) {
  const EntrySet* set = FindSet(handle);
  if (set == nullptr) return FALSE;
  if (interfaceClass == nullptr || data == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Failed(ERROR_INVALID_USER_BUFFER);
  // Each entry is one interface of the set's class: member 0 of its device,
  // or member i of the whole set when no device is named.
  ULONG_PTR entry = 0;
  if (info != nullptr) {
    if (set->EntryOf(info->Reserved) == nullptr) return Failed(ERROR_INVALID_PARAMETER);
    entry = memberIndex == 0 ? info->Reserved : 0;
  } else {
    entry = static_cast<ULONG_PTR>(memberIndex) + 1;
  }
  if (!IsEqualGUID(*interfaceClass, set->interfaceClass) || set->EntryOf(entry) == nullptr)
    return Failed(ERROR_NO_MORE_ITEMS);
  data->InterfaceClassGuid = *interfaceClass;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = entry;
  ::SetLastError(kOk);
  return TRUE;
}

BOOL WINAPI StandInGetDeviceInterfaceDetail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                            PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                            DWORD detailSize, PDWORD requiredSize,
                                            PSP_DEVINFO_DATA info) {
  const EntrySet* set = FindSet(handle);
  if (set == nullptr) return FALSE;
  const EntrySet::Entry* entry = data != nullptr ? set->EntryOf(data->Reserved) : nullptr;
  if (entry == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  constexpr size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const DWORD required = static_cast<DWORD>(kPathOffset + entry->path.size() + 1);
  if (requiredSize != nullptr) *requiredSize = required;
  if (detail == nullptr && detailSize != 0) return Failed(ERROR_INVALID_USER_BUFFER);
  if (detail != nullptr && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
    return Failed(ERROR_INVALID_USER_BUFFER);
  if (detailSize < required) return Failed(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(detail->DevicePath, entry->path.c_str(), entry->path.size() + 1);
  if (info != nullptr && info->cbSize == sizeof(SP_DEVINFO_DATA)) {
    info->ClassGuid = GUID{};
    info->DevInst = static_cast<DWORD>(data->Reserved);
    info->Reserved = data->Reserved;
  }
  ::SetLastError(kOk);
  return TRUE;
}

BOOL WINAPI StandInGetDeviceRegistryProperty(HDEVINFO handle, PSP_DEVINFO_DATA info, DWORD property,
                                             PDWORD type, PBYTE buffer, DWORD bufferSize,
                                             PDWORD requiredSize) {
  const EntrySet* set = FindSet(handle);
  if (set == nullptr) return FALSE;
  const EntrySet::Entry* entry = info != nullptr ? set->EntryOf(info->Reserved) : nullptr;
  if (entry == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  const std::optional<std::string>* slot = entry->properties.Find(property);
  // What SetupAPI reports for a property the device does not have.
  if (slot == nullptr || !slot->has_value()) return Failed(ERROR_INVALID_DATA);
  const DWORD required = static_cast<DWORD>((*slot)->size() + 1);
  if (requiredSize != nullptr) *requiredSize = required;
  if (type != nullptr) *type = REG_SZ;
  if (buffer == nullptr || bufferSize < required) return Failed(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, (*slot)->c_str(), required);
  ::SetLastError(kOk);
  return TRUE;
}

BOOL WINAPI StandInDestroyDeviceInfoList(HDEVINFO handle) {
  EntrySet* set = static_cast<EntrySet*>(handle);
  {
    SetRegistry& registry = Sets();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (registry.live.erase(set) == 0) return Failed(ERROR_INVALID_HANDLE);
  }
  delete set;
  ::SetLastError(kOk);
  return TRUE;
}

// ---------------------------------------------------------------------------
// The channel.

// Winsock, started on the first open and stopped when the library is
// unloaded: the object below is built before every other static object of
// the library (the earliest initialisation priority), so it is destroyed
// after them all, when the devices held by static objects are closed.
std::atomic<bool> g_WinsockStarted{false};

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    const bool ok = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    g_WinsockStarted = ok;
    return ok;
  }();
  return started;
}

struct WinsockSession {
  ~WinsockSession() {
    if (g_WinsockStarted.exchange(false)) ::WSACleanup();
  }
};
__attribute__((init_priority(101))) WinsockSession g_WinsockSession;

// One stand-in handle: a connection to the device's port.
struct Link {
  explicit Link(SOCKET s) : socket(s) {}
  ~Link() { ::closesocket(socket); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  const SOCKET socket;
  std::atomic<bool> closed{false};  // the handle was closed (maybe while in use)
  std::mutex requestLock;           // one request at a time; guards what follows
  std::atomic<bool> broken{false};  // the device is gone for this handle
  uint32_t timeout = kInitialTimeout;
  ReceiveBuffer received;

  // Gives up on the stream: every later request fails with 1167.
  void Break() {
    if (!broken.exchange(true)) ::shutdown(socket, SD_BOTH);
  }

  // Waits until `count` unread bytes are buffered, or the deadline (a tick
  // of GetTickCount64) passes; no deadline when `forever`.
  Wait Need(size_t count, bool forever, ULONGLONG deadline) {
    while (received.Buffered() < count) {
      if (closed.load()) return Wait::kClosed;
      received.Reserve(count);
      DWORD slice = kCloseCheckMs;
      if (!forever) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return Wait::kTimedOut;
        slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kCloseCheckMs));
      }
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(socket, &readable);
      timeval wait{static_cast<long>(slice / 1000), static_cast<long>(slice % 1000 * 1000)};
      const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
      if (ready < 0) return closed.load() ? Wait::kClosed : Wait::kEnded;
      if (ready == 0) continue;
      const size_t room = std::min<size_t>(received.RoomSize(), 0x7FFFFFFF);
      const int got =
          ::recv(socket, reinterpret_cast<char*>(received.Room()), static_cast<int>(room), 0);
      if (got > 0) {
        received.Added(static_cast<size_t>(got));
      } else {
        return closed.load() ? Wait::kClosed : Wait::kEnded;
      }
    }
    return Wait::kOk;
  }

  // Takes one frame off the stream.
  Received ReceiveFrame(bool forever, ULONGLONG deadline, Frame& frame) {
    return received.ReceiveFrame([&](size_t count) { return Need(count, forever, deadline); },
                                 frame);
  }

  // Sends the bytes in full.
  bool SendAll(const uint8_t* bytes, size_t count) {
    while (count > 0) {
      const int piece = static_cast<int>(std::min<size_t>(count, 0x10000));
      const int sent = ::send(socket, reinterpret_cast<const char*>(bytes), piece, 0);
      if (sent <= 0) return false;
      bytes += sent;
      count -= static_cast<size_t>(sent);
    }
    return true;
  }

  // Runs one request: sends `request` (header and fields) and `payload`,
  // then receives the reply of `replyType`, whose fields (error, count) and
  // `count` bytes must fill it exactly when `exact`, else at least its two
  // fields. `forever`/`waitMs`: how long the reply may take (real ms,
  // beyond the grace). Gives the request's error (0 for success).
  DWORD Exchange(const uint8_t* request, size_t requestSize, const void* payload,
                 size_t payloadSize, uint16_t replyType, bool exact, bool forever, ULONGLONG waitMs,
                 Frame& reply) {
    if (broken) return ERROR_DEVICE_NOT_CONNECTED;
    if (!SendAll(request, requestSize) ||
        !SendAll(static_cast<const uint8_t*>(payload), payloadSize)) {
      if (closed.load()) return ERROR_OPERATION_ABORTED;
      Break();
      return ERROR_DEVICE_NOT_CONNECTED;
    }
    const ULONGLONG deadline = ::GetTickCount64() + waitMs + kReplyGraceMs;
    switch (ReceiveFrame(forever, deadline, reply)) {
      case Received::kOk:
        break;
      case Received::kClosed:
        return ERROR_OPERATION_ABORTED;
      default:  // ended, malformed, or a server that stopped answering
        Break();
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    if (reply.type != replyType || reply.length < 8 ||
        (exact && reply.length != 8 + static_cast<uint64_t>(GetU32(reply.body + 4)))) {
      Break();
      return ERROR_DEVICE_NOT_CONNECTED;
    }
    return kOk;
  }
};

// The process-wide table of stand-in handles.
HandleTable<Link>& Links() {
  return Handles<Link, 0x51000>();
}

std::shared_ptr<Link> FindLink(HANDLE handle) {
  std::shared_ptr<Link> link = Links().Find(reinterpret_cast<uintptr_t>(handle));
  if (link == nullptr) ::SetLastError(ERROR_INVALID_HANDLE);
  return link;
}

// The outcome of a request as its OVERLAPPED keeps it: 0 for success, else
// the Windows error with bit 32 set, so that no error reads as
// STATUS_PENDING (0x103, which is also error 259).
constexpr ULONG_PTR kErrorMark = ULONG_PTR{1} << 32;

// Ends a request: fills the OVERLAPPED as a completion does and signals its
// event, and the caller's count.
BOOL Completed(LPOVERLAPPED overlapped, DWORD error, DWORD count, LPDWORD countOut) {
  if (overlapped != nullptr) {
    overlapped->Internal = error == kOk ? 0 : kErrorMark | error;
    overlapped->InternalHigh = count;
    if (overlapped->hEvent != nullptr) ::SetEvent(overlapped->hEvent);
  }
  if (countOut != nullptr) *countOut = count;
  ::SetLastError(error);
  return error == kOk;
}

HANDLE OpenFailed(DWORD error) {
  ::SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

HANDLE WINAPI StandInCreateFile(LPCSTR path, DWORD /*access*/, DWORD /*shareMode*/,
                                LPSECURITY_ATTRIBUTES /*security*/, DWORD /*disposition*/,
                                DWORD /*flags*/, HANDLE /*templateFile*/) {
  if (path == nullptr) return OpenFailed(ERROR_INVALID_PARAMETER);
  // The same paths as on POSIX, though no socket is opened by its path here.
  if (std::strlen(path) > kMaxDevicePath) return OpenFailed(ERROR_BAD_PATHNAME);
  // The port is read at every open: it changes whenever the entry is made
  // again.
  Properties properties;
  if (!ReadEntryProperties(path, properties) || properties.tcpPort == 0)
    return OpenFailed(ERROR_FILE_NOT_FOUND);
  if (!StartWinsock()) return OpenFailed(ERROR_GEN_FAILURE);
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return OpenFailed(ERROR_GEN_FAILURE);
  auto link = std::make_shared<Link>(s);
  // Requests and replies are small and strictly alternate.
  const BOOL noDelay = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(properties.tcpPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    switch (::WSAGetLastError()) {
      case WSAECONNREFUSED:
        return OpenFailed(ERROR_FILE_NOT_FOUND);  // a stale entry
      case WSAEACCES:
        return OpenFailed(ERROR_ACCESS_DENIED);
      default:
        return OpenFailed(ERROR_GEN_FAILURE);
    }
  }

  // Exactly one greeting frame: HELLO opens, BUSY refuses.
  Frame greeting;
  switch (link->ReceiveFrame(false, ::GetTickCount64() + GreetingWaitMs(), greeting)) {
    case Received::kOk:
      break;
    case Received::kTimedOut:
      return OpenFailed(ERROR_GEN_FAILURE);
    default:
      return OpenFailed(ERROR_FILE_NOT_FOUND);
  }
  if (const DWORD error = GreetingError(greeting); error != kOk) return OpenFailed(error);

  const uintptr_t handle = Links().Add(std::move(link));
  ::SetLastError(kOk);
  return reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI StandInWriteFile(HANDLE handle, LPCVOID data, DWORD count, LPDWORD written,
                             LPOVERLAPPED overlapped) {
  if (written != nullptr) *written = 0;
  if (data == nullptr && count != 0) return Failed(ERROR_INVALID_PARAMETER);
  const std::shared_ptr<Link> link = FindLink(handle);
  if (link == nullptr) return FALSE;
  std::lock_guard<std::mutex> guard(link->requestLock);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  // Frames carry at most kMaxWritePiece bytes; larger writes go as several.
  // A write of 0 bytes is still one (empty) request.
  DWORD total = 0;
  DWORD left = count;
  do {
    const uint32_t piece = std::min<uint32_t>(left, kMaxWritePiece);
    uint8_t header[8];
    PutHeader(header, 4 + piece, kWrite);
    Frame reply;
    const DWORD error =
        link->Exchange(header, sizeof header, bytes, piece, kWriteDone, false, false, 0, reply);
    if (error != kOk) return Completed(overlapped, error, 0, written);
    const uint32_t status = GetU32(reply.body);
    const uint32_t accepted = GetU32(reply.body + 4);
    if (status != 0) return Completed(overlapped, status, 0, written);
    if (accepted > piece) {
      link->Break();
      return Completed(overlapped, ERROR_DEVICE_NOT_CONNECTED, 0, written);
    }
    total += accepted;
    bytes += piece;
    left -= piece;
  } while (left != 0);
  return Completed(overlapped, kOk, total, written);
}

BOOL WINAPI StandInReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD received,
                            LPOVERLAPPED overlapped) {
  if (received != nullptr) *received = 0;
  if (buffer == nullptr && count != 0) return Failed(ERROR_INVALID_PARAMETER);
  const std::shared_ptr<Link> link = FindLink(handle);
  if (link == nullptr) return FALSE;
  std::lock_guard<std::mutex> guard(link->requestLock);
  const uint32_t maxBytes = std::min<uint32_t>(count, kMaxReadSize);
  uint8_t request[12];
  PutHeader(request, 8, kRead);
  PutU32(request + 8, maxBytes);
  // The server answers when data comes or its time-out passes; from
  // 0x7FFFFFFF on it is waited for without limit.
  const uint32_t timeout = link->timeout;
  const bool forever = timeout >= kEndlessTimeoutFrom && maxBytes != 0;
  Frame reply;
  const DWORD error = link->Exchange(request, sizeof request, nullptr, 0, kReadDone, true, forever,
                                     RealMilliseconds(timeout), reply);
  if (error != kOk) return Completed(overlapped, error, 0, received);
  const uint32_t status = GetU32(reply.body);
  const uint32_t delivered = GetU32(reply.body + 4);
  if (status != 0) return Completed(overlapped, status, 0, received);
  if (delivered > maxBytes) {
    link->Break();
    return Completed(overlapped, ERROR_DEVICE_NOT_CONNECTED, 0, received);
  }
  if (delivered != 0) std::memcpy(buffer, reply.body + 8, delivered);
  return Completed(overlapped, kOk, delivered, received);
}

BOOL WINAPI StandInDeviceIoControl(HANDLE handle, DWORD code, LPVOID input, DWORD inputSize,
                                   LPVOID output, DWORD outputSize, LPDWORD returned,
                                   LPOVERLAPPED overlapped) {
  if (returned != nullptr) *returned = 0;
  if ((input == nullptr && inputSize != 0) || (output == nullptr && outputSize != 0) ||
      inputSize > kMaxControlInput)
    return Failed(ERROR_INVALID_PARAMETER);
  const std::shared_ptr<Link> link = FindLink(handle);
  if (link == nullptr) return FALSE;
  std::lock_guard<std::mutex> guard(link->requestLock);
  uint8_t request[20];
  PutHeader(request, 16 + inputSize, kControl);
  PutU32(request + 8, code);
  PutU32(request + 12, outputSize);
  PutU32(request + 16, inputSize);
  Frame reply;
  const DWORD error = link->Exchange(request, sizeof request, input, inputSize, kControlDone, true,
                                     false, 0, reply);
  if (error != kOk) return Completed(overlapped, error, 0, returned);
  const uint32_t status = GetU32(reply.body);
  const uint32_t count = GetU32(reply.body + 4);
  if (status != 0) return Completed(overlapped, status, 0, returned);
  if (count > outputSize) {
    link->Break();
    return Completed(overlapped, ERROR_DEVICE_NOT_CONNECTED, 0, returned);
  }
  if (count != 0) std::memcpy(output, reply.body + 8, count);
  // The server now holds this time-out; the reply guard of reads follows it.
  if (code == kIoctlSetTimeout && inputSize >= 4)
    link->timeout = GetU32(static_cast<const uint8_t*>(input));
  return Completed(overlapped, kOk, count, returned);
}

BOOL WINAPI StandInGetOverlappedResult(HANDLE /*handle*/, LPOVERLAPPED overlapped,
                                       LPDWORD transferred, BOOL /*wait*/) {
  // Every request of the stand-in has ended before its call returned, and
  // left its outcome in the structure; the handle may be closed since.
  if (overlapped == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  if (overlapped->Internal == STATUS_PENDING) return Failed(ERROR_IO_INCOMPLETE);
  if (transferred != nullptr) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  const DWORD error = static_cast<DWORD>(overlapped->Internal & ~kErrorMark);
  ::SetLastError(error);
  return error == kOk;
}

BOOL WINAPI StandInCancelIo(HANDLE handle) {
  // Nothing is ever pending.
  if (FindLink(handle) == nullptr) return FALSE;
  ::SetLastError(kOk);
  return TRUE;
}

BOOL WINAPI StandInCloseHandle(HANDLE handle) {
  const std::shared_ptr<Link> link = Links().Remove(reinterpret_cast<uintptr_t>(handle));
  if (link == nullptr) return Failed(ERROR_INVALID_HANDLE);
  // The server sees the end of the stream at once; a thread still waiting
  // on the connection wakes up and fails with 995. The socket itself is
  // closed when the last user lets go of it.
  link->closed.store(true);
  ::shutdown(link->socket, SD_BOTH);
  ::SetLastError(kOk);
  return TRUE;
}

}  // namespace

const DeviceCalls& StandInDeviceCalls() {
  static const DeviceCalls calls = {
      &StandInGetClassDevs,
      &StandInEnumDeviceInfo,
      &StandInEnumDeviceInterfaces,
      &StandInGetDeviceInterfaceDetail,
      &StandInGetDeviceRegistryProperty,
      &StandInDestroyDeviceInfoList,
      &StandInCreateFile,
      &StandInDeviceIoControl,
      &StandInReadFile,
      &StandInWriteFile,
      &StandInGetOverlappedResult,
      &StandInCancelIo,
      &StandInCloseHandle,
  };
  return calls;
}

}  // namespace platform::win32
