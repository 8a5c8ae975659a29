// The driver stand-in's folder rules and frames, shared by its POSIX and
// Windows clients.
#include "platform/stand_in_common.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"
#include "platform/time.h"

namespace platform::stand_in {

namespace {

constexpr size_t kMaxEntryName = 48;

bool IsEntryName(const std::string& name) {
  if (name.empty() || name.size() > kMaxEntryName || name[0] == '.') return false;
  for (const char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

bool EndsWith(const std::string& text, const char* suffix) {
  const size_t length = std::strlen(suffix);
  return text.size() > length && text.compare(text.size() - length, length, suffix) == 0;
}

// A port: 1 to 65535 in decimal digits only; 0 for anything else.
uint16_t ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return 0;
  uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value <= 0xFFFF ? static_cast<uint16_t>(value) : 0;
}

}  // namespace

const std::optional<std::string>* Properties::Find(uint32_t property) const {
  switch (property) {
    case kPropertyService:
      return &service;
    case kPropertyLocationInformation:
      return &location;
    case kPropertyDeviceDescription:
      return &description;
    default:
      return nullptr;
  }
}

Properties ParseProperties(const std::string& text) {
  Properties properties;
  bool tcpSeen = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const size_t next = end == std::string::npos ? text.size() : end + 1;
    if (end == std::string::npos) end = text.size();
    size_t lineEnd = end;
    if (end != text.size() && lineEnd > start && text[lineEnd - 1] == '\r') --lineEnd;
    const size_t equals = text.find('=', start);
    if (equals != std::string::npos && equals < lineEnd) {
      const std::string key = text.substr(start, equals - start);
      std::string value = text.substr(equals + 1, lineEnd - equals - 1);
      std::optional<std::string>* slot = nullptr;
      if (key == "service") {
        slot = &properties.service;
      } else if (key == "location") {
        slot = &properties.location;
      } else if (key == "description") {
        slot = &properties.description;
      } else if (key == "tcp" && !tcpSeen) {
        tcpSeen = true;
        properties.tcpPort = ParsePort(value);
      }
      if (slot != nullptr && !slot->has_value()) *slot = std::move(value);
    }
    start = next;
  }
  return properties;
}

std::string ClassFolder(const std::string& root, const Guid& interfaceClass) {
  return root + "/" + GuidRegistryText(interfaceClass);
}

std::vector<std::string> EntryNames(const std::vector<std::string>& files) {
  const size_t suffixLength = std::strlen(kSocketSuffix);
  std::vector<std::string> names;
  for (const std::string& file : files) {
    if (!EndsWith(file, kSocketSuffix)) continue;
    std::string name = file.substr(0, file.size() - suffixLength);
    if (IsEntryName(name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string DevicePath(const std::string& folder, const std::string& name) {
  return folder + "/" + name + kSocketSuffix;
}

bool PropertiesPath(const std::string& devicePath, std::string& propertiesPath) {
  if (!EndsWith(devicePath, kSocketSuffix)) return false;
  propertiesPath =
      devicePath.substr(0, devicePath.size() - std::strlen(kSocketSuffix)) + kPropertiesSuffix;
  return true;
}

uint32_t GreetingWaitMs() {
  return std::max(RealMilliseconds(kGreetingWaitMs), kGreetingWaitRealMinimumMs);
}

void PutHeader(uint8_t* p, uint32_t size, uint16_t type) {
  PutU32(p, size);
  p[4] = static_cast<uint8_t>(type);
  p[5] = static_cast<uint8_t>(type >> 8);
  p[6] = 0;
  p[7] = 0;
}

uint32_t GreetingError(const Frame& greeting) {
  if (greeting.type == kBusy && greeting.length >= 4) return kErrorSharingViolation;
  if (greeting.type != kHello || greeting.length < 4) return kErrorFileNotFound;
  return 0;
}

void ReceiveBuffer::Reserve(size_t count) {
  if (rx.size() - rxBegin >= count) return;
  std::memmove(rx.data(), rx.data() + rxBegin, rxEnd - rxBegin);
  rxEnd -= rxBegin;
  rxBegin = 0;
  if (rx.size() < count) rx.resize(count);
}

Received ReceiveBuffer::Outcome(Wait wait) {
  switch (wait) {
    case Wait::kTimedOut:
      return Received::kTimedOut;
    case Wait::kClosed:
      return Received::kClosed;
    default:
      return Received::kEnded;
  }
}

void ReceiveBuffer::TakeFrame(uint32_t size, Frame& frame) {
  const uint8_t* start = rx.data() + rxBegin;
  frame.type = static_cast<uint16_t>(start[4] | start[5] << 8);
  frame.body = start + 8;
  frame.length = size - 4;
  rxBegin += 4 + static_cast<size_t>(size);
  if (rxBegin == rxEnd) rxBegin = rxEnd = 0;
}

}  // namespace platform::stand_in
