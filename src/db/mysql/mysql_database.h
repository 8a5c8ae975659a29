// The MySQL back end: MySQLDataBase (the database callers hold) and
// MySQLInterface (one server connection per thread) over MariaDB Connector/C.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/containers.h"
#include "base/strings.h"
#include "base/sync.h"
#include "db/database.h"
#include "db/record.h"

struct st_mysql;
struct st_mysql_res;

class MySQLDataBase;
class MySQLInterface;

// Connection options.
enum : uint32_t {
  kMySQLUtf8 = 0x08,
  kMySQLSettingsFile = 0x40,
  kMySQLQuiet = 0x80,
  kMySQLCompress = 0x100,
  kMySQLReconnect = 0x200,
  kMySQLNoCapability = 0x400,
  kMySQLNoSecureAuth = 0x800,
};

// Server column flags and the client flags of a connection.
inline constexpr uint32_t kMySQLClientFlags = 0x10020;  // compress, multi statements

// One stored query result.
class MySQLRecordset : public BaseObject {
 public:
  MySQLRecordset(uint32_t flags, const char* table, MySQLInterface* owner);
  ~MySQLRecordset() override;
  const char* ClassName() const override { return "MySQLRecordset"; }
  void FreeResult();

  st_mysql_res* result = nullptr;
  uint32_t rowCount = 0;
  uint32_t columnCount = 0;
  uint32_t flags;
  char** row = nullptr;
  PStr table;
  FPArrayAsVector<MPFieldInfo> infos;
  MySQLInterface* owner;
  // Per column: the server's type code and, for BIT columns, the width in
  // bits (BIT values arrive as big-endian bytes, not as text).
  std::vector<uint32_t> serverTypes;
};

class MySQLInterface : public MSSQLInterface, public BaseObject {
 public:
  explicit MySQLInterface(MySQLDataBase* owner = nullptr);
  ~MySQLInterface() override;
  const char* ClassName() const override { return "MySQLInterface"; }

  void* SetOptions(const char* text, uint32_t options) override;
  bool Disconnect(void* connection) override;
  bool ExecuteSQL(void* connection, const char* sql) override;
  bool Reserved4() override { return true; }
  void* OpenRecordSet(void* connection, const char* table, uint32_t mode, const char* sql,
                      uint32_t flags, MPFieldInfo* infos, uint32_t& count) override;
  bool DestroyRecordSet(void* handle) override;
  bool GetRecordSize(void*, uint32_t&, const unsigned char*, uint32_t) override { return false; }
  bool GetAllRecordsSize(void*, uint32_t&, const unsigned char*, uint32_t) override {
    return false;
  }
  bool GetRecordData(void*, unsigned char*, const unsigned char*, uint32_t, uint32_t) override {
    return false;
  }
  bool GetAllRecordsData(void*, unsigned char*, const unsigned char*, uint32_t, uint32_t) override {
    return false;
  }
  int Move(void* handle, int how) override;
  int Reserved12() override { return 0; }
  int Reserved13() override { return 0; }
  bool LoadRecords(PRecordSet* recordSet) override;
  bool SaveRecord(PRecordSet* recordSet, PRecord* record) override;
  bool SaveAllRecords(PRecordSet* recordSet) override;
  bool FillRecord(PRecord* record) override;
  uint32_t CountRecords(void* connection, const char* table, const char* where) override;
  int32_t QueryInteger(void* connection, const char* sql) override;
  // Runs a query and copies every byte of the first column of its first row
  // into `value` (a NUL inside the value included), as the server sent it;
  // `found` tells whether there was a row. False when the statement fails.
  bool QueryFirstValue(void* connection, const char* sql, std::string& value, bool& found);
  void QueryRawData(void* connection, PRawDataField* field, const char* sql) override;
  virtual void ApplyOptions();
  // The database's time-outs on the client handle, before connecting.
  void ApplyTimeouts();
  virtual void SetError(const char* format, ...);
  virtual void SetMySQLError(const char* format, ...);

  bool Connect(const char* host, const char* user, const char* password, const char* database,
               uint32_t port);
  // The deployment's TLS requirement (NVDEVICES_DATABASE_TLS) on the client
  // handle; false (with the reason logged) when it cannot be met.
  bool ApplyTls();
  // Installs the local-file handler that serves the server only the file
  // of the bulk load in progress (every other request is refused and logged).
  void GuardLocalFiles();
  // Whether the server may read the local file `name` now.
  bool LocalFileAllowed(const char* name) const;
  bool PingOrReconnect();
  void CloseConnection();

  // The MySQL literal of a field's value.
  PStr FormatValue(const PField& field);
  // One record's line of the bulk-load file: the literals without their
  // outer quotes, separated by CR, ended by LF.
  void AppendBulkLine(std::string& line, const PRecord& record, uint32_t columns);

  uint32_t CreatorThread() const { return creatorThread_; }
  st_mysql* Client() const { return client_; }
  st_mysql* ConnectionHandle() const { return connection_; }
  uint32_t OptionsWord() const { return options_; }
  // The options in force: those set by SetOptions, else (0xFFFFFFFF, never
  // set, as on a thread's new interface) the database's own.
  uint32_t EffectiveOptions() const;
  uint32_t LastStatementTime() const { return lastTime_; }
  uint32_t AffectedRows() const { return affectedRows_; }
  uint32_t RecordSetCount() const { return recordSets_.Count(); }
  const char* Host() const { return host_.c_str(); }
  const char* User() const { return user_.c_str(); }
  const char* Password() const { return password_.c_str(); }
  const char* DatabaseName() const { return database_.c_str(); }
  uint32_t Port() const { return port_; }

 private:
  // The record set of a handle when it is one of this interface's.
  MySQLRecordset* FindRecordSet(void* handle) const;
  // Results the caller did not store (a select run through Execute, further
  // results of a multi-statement text) would put the connection out of step.
  void DiscardPendingResults();
  // Loads the record set's current row into the record's fields.
  bool FillRow(MySQLRecordset* own, PRecord* record);
  // Stores a one-row, one-column result; null (and the error text) otherwise.
  st_mysql_res* StoreSingleValue();

  uint32_t creatorThread_;
  st_mysql* client_ = nullptr;
  st_mysql* connection_ = nullptr;
  uint32_t clientFlags_ = kMySQLClientFlags;
  uint32_t lastTime_ = 0;
  PSContainer<MySQLRecordset> recordSets_;
  uint32_t options_ = 0xFFFFFFFFu;
  uint32_t affectedRows_ = 0;
  PStr host_, user_, password_, database_;
  uint32_t port_ = 0;
  MySQLDataBase* owner_;
  bool libraryHeld_ = false;
  // The bulk-load file the statement in progress sends; empty otherwise.
  std::string allowedLocalFile_;
  bool pendingResult_ = false;
};

class MySQLDataBase : public MSSQLDataBase {
 public:
  MySQLDataBase(const char* name, uint32_t options);
  ~MySQLDataBase() override;
  const char* ClassName() const override { return "MySQLDataBase"; }

  bool IsOpen() override;
  MSSQLInterface* GetInterface() override;
  bool TableExists(const char* name) override;
  MSSQLInterface* CreateInterface() override;

  bool OpenAtAddress(const char* address, const char* databaseName);
  bool OpenServer(const char* host, const char* user, const char* password,
                  const char* databaseName, uint32_t port);

  // Time-outs of every connection the database's interfaces make from now
  // on, in seconds: connecting (the server's greeting included), waiting for
  // a reply, and sending. 0 leaves the client library's default (none).
  void SetTimeouts(uint32_t connectSeconds, uint32_t readSeconds, uint32_t writeSeconds);
  uint32_t ConnectTimeout() const { return connectTimeout_; }
  uint32_t ReadTimeout() const { return readTimeout_; }
  uint32_t WriteTimeout() const { return writeTimeout_; }

  // The calling thread's interface.
  MySQLInterface* ThreadInterface() { return static_cast<MySQLInterface*>(GetInterface()); }
  uint32_t InterfaceCount() const { return interfaces_.Count(); }

 private:
  // Deletes the interfaces whose thread has ended (closing their
  // connections); the caller holds interfacesLock_.
  void ReleaseEndedThreads();

  PSContainer<BaseObject> interfaces_;
  PSContainer<BaseObject> unused_;
  PSharedObject interfacesLock_;
  uint32_t connectTimeout_ = 0;
  uint32_t readTimeout_ = 0;
  uint32_t writeTimeout_ = 0;
};

// The parts of an address as OpenAtAddress uses them.
struct MySQLAddress {
  bool valid = false;  // a host was found
  PStr host, user, password, path, extra;
  uint32_t port = 0;
  uint32_t schemePort = 0;
  int scheme = -1;
};
MySQLAddress SplitUrl(const char* text, uint32_t flags);
// The port to connect to: the split port, or 3306 when that is 0 or the
// scheme's own port is 80.
uint32_t ConnectionPort(const MySQLAddress& address);
// The address as it is split: on Windows of major version 5 an "https:"
// address loses its "s", so that it is split under the plain http scheme.
PStr AddressForSplit(const char* address, bool windowsMajor5);
