#include "ini/support/ini_test_support.h"

#include <cstdio>

#include "base/files.h"
#include "base/log.h"
#include "ini/streams.h"
#include "platform/files.h"
#include "platform/message_box.h"

namespace initest {
namespace {

std::vector<Shown>& Store() {
  static std::vector<Shown> shown;
  return shown;
}

int Record(const char* text, const char* caption, uint32_t style) {
  Store().push_back({text != nullptr ? text : "", caption != nullptr ? caption : "", style});
  return platform::kIdOk;
}

platform::MessageBoxHook g_previousBox = nullptr;
PrintHookFn g_previousPrint = nullptr;

}  // namespace

MessageCapture::MessageCapture() {
  Store().clear();
  g_previousBox = platform::SetMessageBoxHook(Record);
  g_previousPrint = SetPrintHook(nullptr);
}

MessageCapture::~MessageCapture() {
  platform::SetMessageBoxHook(g_previousBox);
  SetPrintHook(g_previousPrint);
}

const std::vector<Shown>& MessageCapture::Messages() const {
  return Store();
}

std::vector<std::string> MessageCapture::Texts() const {
  std::vector<std::string> texts;
  for (const Shown& shown : Store())
    texts.push_back(shown.text);
  return texts;
}

bool MessageCapture::Contains(const std::string& part) const {
  for (const Shown& shown : Store()) {
    if (shown.text.find(part) != std::string::npos) return true;
  }
  return false;
}

void MessageCapture::Clear() {
  Store().clear();
}

ScratchFolder::ScratchFolder() {
  PTempFile name(false);
  path_ = std::string(name.Path()) + ".d";
  platform::RemoveFile(name.Path());
  CreateDirectories(path_.c_str());
}

ScratchFolder::~ScratchFolder() {
  DeleteTree(path_.c_str());
}

std::string ScratchFolder::In(const std::string& name) const {
  return path_ + platform::kPathSeparator + name;
}

void ScratchFolder::Write(const std::string& name, const std::string& bytes) const {
  FILE* file = std::fopen(In(name).c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

std::string ScratchFolder::Read(const std::string& name) const {
  PBinaryFile file(In(name).c_str(), true);
  if (!file.IsLoaded()) return "<missing>";
  return std::string(reinterpret_cast<const char*>(file.Data()), file.DataSize());
}

bool ScratchFolder::Exists(const std::string& name) const {
  return platform::PathExists(In(name).c_str());
}

std::string TextFile(const std::string& lines) {
#if defined(_WIN32)
  std::string bytes;
  for (const char c : lines) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  return bytes;
#else
  return lines;
#endif
}

std::string Written(const INIStreamStub& table, uint32_t extraLevel) {
  DynArray<unsigned char> data;
  MemoryInOut out(&data, 16384);
  table.WriteTable(out, extraLevel);
  return std::string(reinterpret_cast<const char*>(data.Data()), out.Position());
}

std::vector<std::string> ItemsOf(const SectionItem* section) {
  std::vector<std::string> items;
  if (section == nullptr) return items;
  for (const INIItem& item : section->Items()) {
    items.push_back(*item.Key() != 0 ? std::string(item.Key()) + "=" + item.Value()
                                     : std::string("; ") + item.Value());
  }
  return items;
}

std::vector<std::string> ItemsOf(const INIStreamStub& table, const char* section) {
  return ItemsOf(table.FindSection(section));
}

}  // namespace initest
