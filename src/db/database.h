// The database interface: the database side (PDataBase, MSSQLDataBase) owns
// the name, the connection handle, error reporting and the SQL entry points;
// the back-end side (MSSQLInterface) is the table of operations on a server
// connection that a back end fulfils.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "base/strings.h"

class MSSQLInterface;
class PRecordSet;
class PRecord;
class PRawDataField;
struct MPFieldInfo;

// The message buffer every database error or message is formatted into
// before an output hook shows it. Each thread has its own buffer, so reports
// from two threads cannot mix their texts.
inline constexpr size_t kDbMessageBufferSize = 65536;
char* DbMessageBuffer();
// Formats into the calling thread's message buffer (cut to fit).
void DbFormatMessage(const char* format, ...);

// Output hooks: show the text held in the calling thread's message buffer.
using DbOutputHook = void (*)();
// The defaults print the buffer (converted to the OEM code page) on the
// standard output with "%s\n" (errors) or "%s" (messages).
void DefaultDbErrorOutput();
void DefaultDbMessageOutput();
// The process-wide defaults new databases copy; they may be replaced (or set
// to null to silence). Return the previous hook.
DbOutputHook SetDefaultDbErrorOutput(DbOutputHook hook);
DbOutputHook SetDefaultDbMessageOutput(DbOutputHook hook);
DbOutputHook GetDefaultDbErrorOutput();
// Formats a message and shows it through the process-wide default error
// output (field assignment mismatches, record sets without a database).
void DbDefaultError(const char* format, ...);

// The database name lives in the string base.
class PDataBase : public Istr {
 public:
  explicit PDataBase(const char* name) : Istr(name) {}
  ~PDataBase() override = default;
  const char* ClassName() const override { return "PDataBase"; }
  // Runs the formatted statements; false at the first failure.
  virtual bool Execute(const char* format, ...) = 0;
  virtual bool IsOpen() = 0;
};

// The back-end base: statement statistics, capabilities and the last error.
class MSSQLInterface {
 public:
  enum Capability : size_t { kBulk = 0, kSelfLoading = 3, kTrace = 7 };
  enum TraceBits : uint8_t { kTraceStatements = 1, kTraceTimes = 2 };

  MSSQLInterface() = default;
  virtual ~MSSQLInterface() = default;
  MSSQLInterface(const MSSQLInterface&) = delete;
  MSSQLInterface& operator=(const MSSQLInterface&) = delete;

  virtual void* SetOptions(const char* text, uint32_t options) = 0;
  virtual bool Disconnect(void* connection) = 0;
  virtual bool ExecuteSQL(void* connection, const char* sql) = 0;
  virtual bool Reserved4() = 0;
  // Runs a query and describes its columns into `infos` (room for `count` on
  // entry, the number filled on return). Null on failure.
  virtual void* OpenRecordSet(void* connection, const char* table, uint32_t mode, const char* sql,
                              uint32_t flags, MPFieldInfo* infos, uint32_t& count) = 0;
  virtual bool DestroyRecordSet(void* handle) = 0;
  // Packed record data (see record.h).
  virtual bool GetRecordSize(void* handle, uint32_t& size, const unsigned char* mask,
                             uint32_t maskLength) = 0;
  virtual bool GetAllRecordsSize(void* handle, uint32_t& size, const unsigned char* mask,
                                 uint32_t maskLength) = 0;
  virtual bool GetRecordData(void* handle, unsigned char* buffer, const unsigned char* mask,
                             uint32_t maskLength, uint32_t size) = 0;
  virtual bool GetAllRecordsData(void* handle, unsigned char* buffer, const unsigned char* mask,
                                 uint32_t maskLength, uint32_t size) = 0;
  // how: 0 first, 1 last, 2 next. Result: 0 no row, 1 row, 2 error.
  virtual int Move(void* handle, int how) = 0;
  virtual int Reserved12() = 0;
  virtual int Reserved13() = 0;
  virtual void Reserved14() {}
  virtual bool LoadRecords(PRecordSet*) { return false; }
  virtual bool SaveRecord(PRecordSet*, PRecord*) { return false; }
  virtual bool SaveAllRecords(PRecordSet*) { return false; }
  virtual void SetParameter(uint32_t, uint32_t value) { parameter_ = value; }
  virtual bool Reserved19() { return false; }
  virtual bool FillRecord(PRecord*) { return false; }
  virtual void Reserved21() {}
  virtual uint32_t CountRecords(void* connection, const char* table, const char* where) = 0;
  virtual int32_t QueryInteger(void* connection, const char* sql) = 0;
  virtual void QueryRawData(void*, PRawDataField*, const char*) {}

  // The error text becomes the formatted text.
  void SetErrorText(const char* format, ...);
  void VSetErrorText(const char* format, va_list args);
  const char* ErrorText() const { return errorText_.c_str(); }
  bool HasErrorText() const { return !errorText_.IsNull(); }

  bool Capable(Capability c) const { return capabilities_[c] != 0; }
  uint8_t TraceBitsValue() const { return capabilities_[kTrace]; }
  void SetTraceBits(uint8_t bits) { capabilities_[kTrace] = bits; }
  uint32_t Parameter() const { return parameter_; }
  uint32_t StatementCount() const { return statementCount_; }
  uint64_t TotalStatementTime() const { return totalTime_; }

 protected:
  uint32_t parameter_ = 10000;
  uint32_t statementCount_ = 0;
  uint64_t totalTime_ = 0;
  uint8_t capabilities_[8] = {};
  PStr errorText_{""};
};

class MSSQLDataBase : public PDataBase {
 public:
  MSSQLDataBase(const char* name, uint32_t options, MSSQLInterface* interface);
  ~MSSQLDataBase() override;
  const char* ClassName() const override { return "MSSQLDataBase"; }

  bool Execute(const char* format, ...) override;
  bool IsOpen() override { return connection_ != nullptr; }
  virtual MSSQLInterface* GetInterface() { return interface_; }
  virtual bool TableExists(const char*) { return false; }
  virtual bool BeginTrans() { return Execute("begin"); }
  virtual bool CommitTrans() { return Execute("commit"); }
  virtual bool Rollback() { return Execute("rollback"); }
  virtual MSSQLInterface* CreateInterface() { return nullptr; }

  // "[Database "<name>"]: <message>: <back-end error>" through ErrorOutput.
  void ReportError(const char* format, ...);
  void CloseDatabase();

  DbOutputHook ErrorOutput;
  DbOutputHook MessageOutput;

  void* Connection() const { return connection_; }
  void SetConnection(void* connection) { connection_ = connection; }
  uint32_t Options() const { return options_; }
  const char* ConstructionName() const { return nameCopy_.c_str(); }

 protected:
  void* connection_ = nullptr;
  MSSQLInterface* interface_;
  PStr nameCopy_;
  uint32_t options_;
};
