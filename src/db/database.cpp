#include "db/database.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/format.h"
#include "base/options.h"
#include "base/per_thread.h"
#include "platform/codepage.h"

// ---------------------------------------------------------------------------
// Message buffer and output hooks

namespace {

std::atomic<DbOutputHook> g_defaultErrorOutput{DefaultDbErrorOutput};
std::atomic<DbOutputHook> g_defaultMessageOutput{DefaultDbMessageOutput};

void PrintBuffer(const char* format) {
  char* buffer = DbMessageBuffer();
  const uint32_t oem = platform::ResolveCodePage(platform::kCodePageOem);
  if (oem != platform::ResolveCodePage(platform::kCodePageAnsi)) {
    std::string converted;
    if (platform::Recode(buffer, std::strlen(buffer), platform::kCodePageAnsi,
                         platform::kCodePageOem, converted)) {
      const size_t n = std::min(converted.size(), kDbMessageBufferSize - 1);
      std::memcpy(buffer, converted.data(), n);
      buffer[n] = 0;
    }
  }
  std::printf(format, buffer);
  std::fflush(stdout);
}

}  // namespace

char* DbMessageBuffer() {
  static Immortal<PerThread<std::unique_ptr<char[]>>> buffers;
  std::unique_ptr<char[]>& buffer = buffers.Get().Get();
  if (!buffer) {
    buffer = std::make_unique<char[]>(kDbMessageBufferSize);
    buffer[0] = 0;
  }
  return buffer.get();
}

void DbFormatMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VFormatTo(DbMessageBuffer(), kDbMessageBufferSize, format, args);
  va_end(args);
}

void DefaultDbErrorOutput() {
  PrintBuffer("%s\n");
}

void DefaultDbMessageOutput() {
  PrintBuffer("%s");
}

DbOutputHook SetDefaultDbErrorOutput(DbOutputHook hook) {
  return g_defaultErrorOutput.exchange(hook);
}

DbOutputHook SetDefaultDbMessageOutput(DbOutputHook hook) {
  return g_defaultMessageOutput.exchange(hook);
}

DbOutputHook GetDefaultDbErrorOutput() {
  return g_defaultErrorOutput.load();
}

void DbDefaultError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VFormatTo(DbMessageBuffer(), kDbMessageBufferSize, format, args);
  va_end(args);
  if (DbOutputHook hook = g_defaultErrorOutput.load()) hook();
}

// ---------------------------------------------------------------------------
// MSSQLInterface

void MSSQLInterface::SetErrorText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VSetErrorText(format, args);
  va_end(args);
}

void MSSQLInterface::VSetErrorText(const char* format, va_list args) {
  errorText_.VFormat(format, args);
  if (errorText_.IsNull()) errorText_ = "";
}

// ---------------------------------------------------------------------------
// MSSQLDataBase

MSSQLDataBase::MSSQLDataBase(const char* name, uint32_t options, MSSQLInterface* interface)
    : PDataBase(name),
      ErrorOutput(g_defaultErrorOutput.load()),
      MessageOutput(g_defaultMessageOutput.load()),
      interface_(interface),
      nameCopy_(name),
      options_(options) {}

MSSQLDataBase::~MSSQLDataBase() {
  if (connection_ != nullptr && interface_ != nullptr) {
    if (!interface_->Disconnect(connection_)) ReportError("Can't close database '%s'", Text());
    connection_ = nullptr;
  }
}

bool MSSQLDataBase::Execute(const char* format, ...) {
  if (!IsOpen()) {
    DbFormatMessage("%s", "Database is not open");
    if (ErrorOutput != nullptr) ErrorOutput();
    return false;
  }
  va_list args;
  va_start(args, format);
  PStr text;
  text.VFormat(format, args);
  va_end(args);
  if (text.IsNull()) return true;
  MSSQLInterface* backEnd = GetInterface();
  // Statements are split at every ";", quotes or not.
  const char* piece = text.c_str();
  while (true) {
    const char* end = std::strchr(piece, ';');
    std::string statement =
        end != nullptr ? std::string(piece, static_cast<size_t>(end - piece)) : std::string(piece);
    size_t start = 0;
    while (start < statement.size() && IsSpace(static_cast<unsigned char>(statement[start])))
      ++start;
    if (start < statement.size()) {
      if (backEnd == nullptr || !backEnd->ExecuteSQL(connection_, statement.c_str() + start)) {
        ReportError("Error executing SQL statement");
        return false;
      }
    }
    if (end == nullptr) break;
    piece = end + 1;
  }
  return true;
}

void MSSQLDataBase::ReportError(const char* format, ...) {
  const char* name = Text();
  if (name == nullptr || *name == 0) name = nameCopy_.IsNull() ? "" : nameCopy_.c_str();
  PStr line;
  line.Format("[Database \"%s\"]: ", name);
  va_list args;
  va_start(args, format);
  PStr message;
  message.VFormat(format, args);
  va_end(args);
  line.Append(message.c_str());
  if (line.Length() > 2000) {
    PStr cut(line.c_str(), 1997);
    cut.Append("...");
    line = cut;
  }
  if (MSSQLInterface* backEnd = GetInterface(); backEnd != nullptr && backEnd->HasErrorText())
    line.AppendFormat(": %s", backEnd->ErrorText());
  DbFormatMessage("%s", line.c_str());
  if (ErrorOutput != nullptr) ErrorOutput();
}

void MSSQLDataBase::CloseDatabase() {
  if (connection_ != nullptr) {
    if (MSSQLInterface* backEnd = GetInterface()) {
      if (!backEnd->Disconnect(connection_)) ReportError("Can't close database '%s'", Text());
    }
  }
  connection_ = nullptr;
}
