// Helpers of the INI tests: captured message boxes, a scratch folder, and
// the text of a table as it would be written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ini/ini_stream.h"

namespace initest {

struct Shown {
  std::string text;
  std::string caption;
  uint32_t style = 0;
};

// Records every message box shown while it exists (and keeps the log quiet).
class MessageCapture {
 public:
  MessageCapture();
  ~MessageCapture();
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

  const std::vector<Shown>& Messages() const;
  std::vector<std::string> Texts() const;
  bool Contains(const std::string& part) const;
  void Clear();
};

// A new empty folder, removed with everything in it at destruction.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string In(const std::string& name) const;
  void Write(const std::string& name, const std::string& bytes) const;
  std::string Read(const std::string& name) const;  // "<missing>" when absent
  bool Exists(const std::string& name) const;

 private:
  std::string path_;
};

// The bytes of a file written in text mode ("wt") with these lines: the C
// library of Windows ends each line with "\r\n", a POSIX one keeps "\n".
std::string TextFile(const std::string& lines);

// The table written to memory by WriteTable.
std::string Written(const INIStreamStub& table, uint32_t extraLevel = 0);
// "key=value" of every item of a section ("; value" for whole lines).
std::vector<std::string> ItemsOf(const SectionItem* section);
// The items of a named section of an in-memory stream.
std::vector<std::string> ItemsOf(const INIStreamStub& table, const char* section);

}  // namespace initest
