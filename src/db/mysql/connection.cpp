// MySQL connection and queries: the database object with its per-thread
// interfaces, opening from an address or the settings file, connecting,
// statements with ping-and-reconnect, and scalar queries.
#include <mysql.h>

#include <cstring>
#include <mutex>

#include "base/format.h"
#include "base/log.h"
#include "base/messages.h"
#include "base/numbers.h"
#include "base/options.h"
#include "db/mysql/mysql_database.h"
#include "ini/ini_stream.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "platform/url.h"

static_assert(MYSQL_OPT_COMPRESS == 1 && MYSQL_SECURE_AUTH == 18 && MYSQL_OPT_RECONNECT == 20,
              "option codes of the client library");

namespace {

// The client library is initialised while any interface of the process holds
// a connection and ended when the last one closes. A count per thread would
// end the library under another thread's (or another database's) open
// connection.
std::mutex g_libraryLock;
uint32_t g_libraryUsers = 0;

bool AcquireLibrary() {
  std::lock_guard<std::mutex> lock(g_libraryLock);
  if (g_libraryUsers == 0 && mysql_server_init(0, nullptr, nullptr) != 0) return false;
  ++g_libraryUsers;
  return true;
}

void ReleaseLibrary() {
  std::lock_guard<std::mutex> lock(g_libraryLock);
  if (g_libraryUsers > 0 && --g_libraryUsers == 0) mysql_server_end();
}

// The Windows version test of the https rewrite: it concerns Windows XP and
// Server 2003 only; other systems never match.
bool IsWindowsMajorVersion5() {
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Addresses

PStr AddressForSplit(const char* address, bool windowsMajor5) {
  PStr text(address);
  if (windowsMajor5 && address != nullptr && std::strncmp(address, "https:", 6) == 0) {
    text = PStr(address, 4);
    text.Append(address + 5);
  }
  return text;
}

MySQLAddress SplitUrl(const char* text, uint32_t flags) {
  MySQLAddress address;
  platform::UrlParts parts;
  const bool ok = platform::CrackUrl(text, flags, parts);
  address.user = "";
  address.password = "";
  address.extra = "";
  address.path = "/";
  if (!ok) return address;
  if (!parts.host.empty()) {
    address.host = parts.host.c_str();
    address.valid = true;
  }
  address.user = parts.user.c_str();
  address.password = parts.password.c_str();
  address.extra = parts.extra.c_str();
  if (!parts.path.empty()) address.path = parts.path.c_str();
  address.port = parts.port;
  address.scheme = parts.scheme;
  if (parts.scheme == platform::kUrlSchemeHttps || parts.scheme == platform::kUrlSchemeFtp)
    address.schemePort = parts.port;
  return address;
}

uint32_t ConnectionPort(const MySQLAddress& address) {
  if (address.port == 0 || address.schemePort == 80) return 3306;
  return address.port;
}

// ---------------------------------------------------------------------------
// MySQLDataBase

MySQLDataBase::MySQLDataBase(const char* name, uint32_t options)
    : MSSQLDataBase(name, options, nullptr),
      interfaces_(8, 0),
      unused_(8, 0),
      interfacesLock_("MySQLDataBase::InterfacesLock") {}

MySQLDataBase::~MySQLDataBase() {
  CloseDatabase();
  interface_ = nullptr;
  {
    PSharedObjectLocker lock(interfacesLock_);
    interfaces_.DeleteAll();
    unused_.DeleteAll();
  }
}

MSSQLInterface* MySQLDataBase::CreateInterface() {
  auto* created = new MySQLInterface(this);
  if (IsMainThread()) interface_ = created;
  return created;
}

MSSQLInterface* MySQLDataBase::GetInterface() {
  // A thread's id does not change; asking the system once per thread keeps
  // the look-up (several per statement) free of system calls.
  thread_local const uint32_t thread = platform::CurrentThreadId();
  PSharedObjectLocker lock(interfacesLock_);
  for (uint32_t i = 0; i < interfaces_.Count(); ++i) {
    auto* candidate = static_cast<MySQLInterface*>(interfaces_.At(i));
    if (candidate->CreatorThread() == thread) return candidate;
  }
  // A thread new to this database: the connections of threads that have
  // ended go first, so that a host calling from ever new threads does not
  // pile up server connections.
  ReleaseEndedThreads();
  auto* created = static_cast<MySQLInterface*>(CreateInterface());
  interfaces_.Add(created);
  return created;
}

void MySQLDataBase::ReleaseEndedThreads() {
  uint32_t i = 0;
  while (i < interfaces_.Count()) {
    auto* candidate = static_cast<MySQLInterface*>(interfaces_.At(i));
    // The main thread's interface stays: the database closes through it.
    if (candidate == interface_ || platform::IsThreadRunning(candidate->CreatorThread())) {
      ++i;
      continue;
    }
    if (connection_ != nullptr && connection_ == candidate->ConnectionHandle())
      connection_ = nullptr;
    interfaces_.Delete(i);  // closes its connection; the next one moves to i
  }
}

void MySQLDataBase::SetTimeouts(uint32_t connectSeconds, uint32_t readSeconds,
                                uint32_t writeSeconds) {
  connectTimeout_ = connectSeconds;
  readTimeout_ = readSeconds;
  writeTimeout_ = writeSeconds;
}

bool MySQLDataBase::IsOpen() {
  return ThreadInterface()->ConnectionHandle() != nullptr;
}

bool MySQLDataBase::TableExists(const char* name) {
  MySQLInterface* backEnd = ThreadInterface();
  // The name is escaped so that no caller text can change the statement.
  PStr escaped("");
  if (name != nullptr && backEnd->Client() != nullptr) {
    const size_t length = std::strlen(name);
    std::string buffer(2 * length + 1, '\0');
    const unsigned long n = mysql_real_escape_string(backEnd->Client(), buffer.data(), name,
                                                     static_cast<unsigned long>(length));
    escaped = PStr(buffer.data(), n);
  }
  return backEnd->QueryInteger(
             Connection(),
             Format("SELECT Count(*) FROM information_schema.tables WHERE table_name='%s'",
                    escaped.c_str())) != 0;
}

bool MySQLDataBase::OpenAtAddress(const char* address, const char* databaseName) {
  const PStr text = AddressForSplit(address, IsWindowsMajorVersion5());
  const MySQLAddress parts = SplitUrl(text.c_str(), platform::kUrlDecode);
  if (!parts.valid) {
    Message("sf", "Invalid MySQL database address, please contact %s administrator", ModuleName());
    return false;
  }
  return OpenServer(parts.host.c_str(), parts.user.c_str(), parts.password.c_str(), databaseName,
                    ConnectionPort(parts));
}

bool MySQLDataBase::OpenServer(const char* host, const char* user, const char* password,
                               const char* databaseName, uint32_t port) {
  Set(databaseName);
  MySQLInterface* backEnd = ThreadInterface();
  const bool fromFile = (backEnd->EffectiveOptions() & kMySQLSettingsFile) != 0;
  Istr fileHost(""), fileUser(""), filePassword("");
  uint32_t filePort = 3306;
  if (fromFile) {
    const PStr path = ExpandEnvironment(GetEnvironment("MySQL.ini").c_str());
    if (!path.IsEmpty()) {
      INIStream settings(path.c_str(), INIStreamStub::kLookUp | INIStreamStub::kPlain);
      settings.SelectSection("Options")
          .ReadValue(INIValue("host", &fileHost, ""))
          .ReadValue(INIValue("user", &fileUser, ""))
          .ReadValue(INIValue("password", &filePassword, ""))
          .ReadValue(INIValue("port", &filePort, 3306));
    }
    auto empty = [](const Istr& s) { return s.Text() == nullptr || *s.Text() == 0; };
    if (empty(fileHost) || empty(fileUser) || empty(filePassword)) {
      ReportError("Can't open database on local MySQL server - No connection information");
      return false;
    }
    host = fileHost.Text();
    user = fileUser.Text();
    password = filePassword.Text();
    port = filePort;
  }
  const bool ok = backEnd->Connect(host, user, password, databaseName, port);
  connection_ = backEnd->ConnectionHandle();
  if (!IsOpen()) ReportError("Can't open database%s", fromFile ? " on local MySQL server" : "");
  return ok;
}

// ---------------------------------------------------------------------------
// MySQLInterface: connection

MySQLInterface::MySQLInterface(MySQLDataBase* owner)
    : creatorThread_(platform::CurrentThreadId()), recordSets_(8, 0), owner_(owner) {
  capabilities_[kBulk] = 1;
  capabilities_[kSelfLoading] = 1;
}

MySQLInterface::~MySQLInterface() {
  recordSets_.DeleteAll();
  CloseConnection();
}

uint32_t MySQLInterface::EffectiveOptions() const {
  if (options_ != 0xFFFFFFFFu) return options_;
  return owner_ != nullptr ? owner_->Options() : 0;
}

void* MySQLInterface::SetOptions(const char*, uint32_t options) {
  options_ = options;
  return connection_;
}

void MySQLInterface::SetError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VSetErrorText(format, args);
  va_end(args);
}

void MySQLInterface::SetMySQLError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PStr text;
  text.VFormat(format, args);
  va_end(args);
  MYSQL* handle = connection_ != nullptr ? connection_ : client_;
  SetErrorText("%s: %s", text.c_str(), handle != nullptr ? mysql_error(handle) : "");
}

void MySQLInterface::ApplyOptions() {
  const uint32_t options = EffectiveOptions();
  // Not an option bit: bulk loads read local files, which the client must
  // allow explicitly; the server is then given only a bulk load's own file.
  if (client_ != nullptr) {
    unsigned int localInfile = 1;
    mysql_options(client_, MYSQL_OPT_LOCAL_INFILE, &localInfile);
    GuardLocalFiles();
  }
  if ((options & kMySQLNoSecureAuth) && client_ != nullptr) {
    my_bool off = 0;
    const int r = mysql_options(client_, static_cast<mysql_option>(18), &off);
    errorText_ = "";
    if (r != 0) SetMySQLError("%s", "mysql_options()");
  }
  if ((options & kMySQLCompress) && client_ != nullptr) {
    const int r = mysql_options(client_, static_cast<mysql_option>(1), nullptr);
    errorText_ = "";
    if (r != 0) SetMySQLError("%s", "mysql_options()");
  }
  if ((options & kMySQLReconnect) && client_ != nullptr) {
    my_bool on = 1;
    const int r = mysql_options(client_, static_cast<mysql_option>(20), &on);
    errorText_ = "";
    if (r != 0) SetMySQLError("%s", "mysql_options()");
  }
  if (options & kMySQLNoCapability) capabilities_[4] = 0;
}

void MySQLInterface::ApplyTimeouts() {
  if (client_ == nullptr || owner_ == nullptr) return;
  const struct {
    mysql_option option;
    unsigned int seconds;
  } timeouts[] = {{MYSQL_OPT_CONNECT_TIMEOUT, owner_->ConnectTimeout()},
                  {MYSQL_OPT_READ_TIMEOUT, owner_->ReadTimeout()},
                  {MYSQL_OPT_WRITE_TIMEOUT, owner_->WriteTimeout()}};
  for (const auto& timeout : timeouts)
    if (timeout.seconds != 0) mysql_options(client_, timeout.option, &timeout.seconds);
}

// The deployment's TLS setting: NVDEVICES_DATABASE_TLS=required makes the
// connection use TLS and verify the server's certificate (against the CA file
// of NVDEVICES_DATABASE_CA when set); unset, empty or "off" connects without
// TLS. A requirement that cannot be met never falls back to clear text.
bool MySQLInterface::ApplyTls() {
  std::string setting = platform::GetEnvironment("NVDEVICES_DATABASE_TLS");
  for (char& c : setting)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (setting.empty() || setting == "off") return true;
  if (setting != "required") {
    LogPrint(
        "MySQL: NVDEVICES_DATABASE_TLS=\"%s\" is neither \"off\" nor \"required\"; not "
        "connecting\n",
        setting.c_str());
    SetError("Unknown TLS setting \"%s\"", setting.c_str());
    return false;
  }
  const char* library = nullptr;
  if (mariadb_get_infov(nullptr, MARIADB_TLS_LIBRARY, &library) != 0 || library == nullptr ||
      std::strcmp(library, "Off") == 0) {
    LogPrint("MySQL: TLS is required but not available in this build; not connecting\n");
    SetError("TLS is required but not available in this build");
    return false;
  }
  my_bool on = 1;
  const std::string ca = platform::GetEnvironment("NVDEVICES_DATABASE_CA");
  if (client_ == nullptr || mysql_options(client_, MYSQL_OPT_SSL_ENFORCE, &on) != 0 ||
      mysql_options(client_, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on) != 0 ||
      (!ca.empty() && mysql_options(client_, MYSQL_OPT_SSL_CA, ca.c_str()) != 0)) {
    SetMySQLError("%s", "mysql_options()");
    return false;
  }
  return true;
}

bool MySQLInterface::Connect(const char* host, const char* user, const char* password,
                             const char* database, uint32_t port) {
  if (connection_ != nullptr) return true;
  if (client_ != nullptr) {
    mysql_close(client_);  // left by a failed attempt
    client_ = nullptr;
  }
  // The arguments may be this interface's own stored texts (reconnect).
  PStr newHost(host), newUser(user), newPassword(password), newDatabase(database);
  host_ = newHost;
  user_ = newUser;
  password_ = newPassword;
  database_ = newDatabase;
  port_ = port;
  LogDebugPrint("Connecting to MySQL database \"%s\" at \"%s\"\n", database_.c_str(),
                host_.c_str());
  if (!libraryHeld_) {
    if (!AcquireLibrary()) {
      SetError("Failed to initialize the 'libmysql' library");
      return false;
    }
    libraryHeld_ = true;
  }
  client_ = mysql_init(nullptr);
  if (client_ == nullptr) {
    SetError("mysql_init() failed");
    return false;
  }
  const bool quiet = (EffectiveOptions() & kMySQLQuiet) != 0;
  if (!quiet)
    LogDebugPrint("MySQL library version: %s\nDefault charset:       %s\n", mysql_get_client_info(),
                  mysql_character_set_name(client_));
  ApplyOptions();
  ApplyTimeouts();
  if (!ApplyTls()) return false;
  connection_ = mysql_real_connect(client_, host_.c_str(), user_.c_str(), password_.c_str(),
                                   database_.c_str(), port_, nullptr, clientFlags_);
  if (connection_ == nullptr) {
    // The client handle stays until the next attempt: it holds the reason,
    // which later statement errors quote.
    SetMySQLError("MySQL connection failed");
    return false;
  }
  if (EffectiveOptions() & kMySQLUtf8) {
    // "utf8" is the 3-byte subset on the server; ask for full UTF-8 first.
    if (mysql_set_character_set(connection_, "utf8mb4") != 0)
      mysql_set_character_set(connection_, "utf8");
  }
  if (!quiet) LogDebugPrint("Connection charset: %s\n", mysql_character_set_name(connection_));
  pendingResult_ = false;
  return true;
}

void MySQLInterface::CloseConnection() {
  if (client_ != nullptr) mysql_close(client_);
  client_ = nullptr;
  connection_ = nullptr;
  pendingResult_ = false;
  if (libraryHeld_) {
    libraryHeld_ = false;
    ReleaseLibrary();
  }
}

bool MySQLInterface::Disconnect(void* connection) {
  if (connection != nullptr && connection == connection_) {
    recordSets_.DeleteAll();
    CloseConnection();
  }
  return true;
}

bool MySQLInterface::PingOrReconnect() {
  if (connection_ != nullptr && mysql_ping(connection_) == 0) return true;
  LogDebugPrint("mysql_ping: Connection lost, reconnecting\n");
  void* old = connection_;
  CloseConnection();
  const PStr host(host_), user(user_), password(password_), database(database_);
  const bool ok = Connect(host.c_str(), user.c_str(), password.c_str(), database.c_str(), port_);
  // The database passes its handle back to Disconnect; keep it current.
  if (owner_ != nullptr && old != nullptr && owner_->Connection() == old)
    owner_->SetConnection(connection_);
  return ok;
}

void MySQLInterface::DiscardPendingResults() {
  if (connection_ == nullptr) return;
  if (pendingResult_) {
    if (MYSQL_RES* result = mysql_store_result(connection_)) mysql_free_result(result);
    pendingResult_ = false;
  }
  while (mysql_more_results(connection_)) {
    if (mysql_next_result(connection_) != 0) break;
    if (MYSQL_RES* result = mysql_store_result(connection_)) mysql_free_result(result);
  }
}

bool MySQLInterface::ExecuteSQL(void*, const char* sql) {
  if (sql == nullptr) sql = "";
  if ((capabilities_[kTrace] & kTraceStatements) || IsOptionOn(kOptTraceSql)) LogPrint("%s\n", sql);
  lastTime_ = 0;
  DiscardPendingResults();
  if (!PingOrReconnect()) return false;
  PStopWatchMCS watch;
  const int r = mysql_real_query(connection_, sql, static_cast<unsigned long>(std::strlen(sql)));
  const int64_t elapsed = watch.ElapsedMCS();
  ++statementCount_;
  totalTime_ += static_cast<uint64_t>(elapsed);
  lastTime_ = static_cast<uint32_t>(elapsed);
  affectedRows_ = static_cast<uint32_t>(mysql_affected_rows(connection_));
  if (capabilities_[kTrace] & kTraceTimes)
    LogPrint("[%s mcs]\n", GroupThousands(lastTime_).c_str());
  errorText_ = "";
  if (r != 0) {
    SetMySQLError("%s", "mysql_query()");
    return false;
  }
  pendingResult_ = mysql_field_count(connection_) != 0;
  return true;
}

// ---------------------------------------------------------------------------
// Scalar queries

uint32_t MySQLInterface::CountRecords(void* connection, const char* table, const char* where) {
  PStr sql;
  sql.Format("SELECT COUNT(*) FROM %s", table != nullptr ? table : "");
  if (where != nullptr && *where != 0) sql.AppendFormat(" %s", where);
  return static_cast<uint32_t>(QueryInteger(connection, sql.c_str()));
}

MYSQL_RES* MySQLInterface::StoreSingleValue() {
  MYSQL_RES* result = mysql_store_result(connection_);
  pendingResult_ = false;
  if (result == nullptr || mysql_num_rows(result) != 1) {
    if (result != nullptr) mysql_free_result(result);
    SetError("Query did not produce a result");
    return nullptr;
  }
  if (mysql_num_fields(result) != 1) {
    mysql_free_result(result);
    SetError("Number of fields in result != 1");
    return nullptr;
  }
  return result;
}

int32_t MySQLInterface::QueryInteger(void* connection, const char* sql) {
  if (!ExecuteSQL(connection, sql)) return 0;
  MYSQL_RES* result = StoreSingleValue();
  if (result == nullptr) return 0;
  int32_t value = 0;
  MYSQL_ROW row = mysql_fetch_row(result);
  if (row != nullptr && row[0] != nullptr && row[0][0] != 0) value = TextToInt(row[0]);
  mysql_free_result(result);
  return value;
}

bool MySQLInterface::QueryFirstValue(void* connection, const char* sql, std::string& value,
                                     bool& found) {
  value.clear();
  found = false;
  if (!ExecuteSQL(connection, sql)) return false;
  MYSQL_RES* result = mysql_store_result(connection_);
  pendingResult_ = false;
  if (result == nullptr) {
    SetMySQLError("mysql_store_result()");
    return false;
  }
  if (mysql_num_fields(result) > 0) {
    if (MYSQL_ROW row = mysql_fetch_row(result)) {
      const unsigned long* lengths = mysql_fetch_lengths(result);
      found = true;
      if (row[0] != nullptr && lengths != nullptr) value.assign(row[0], lengths[0]);
    }
  }
  mysql_free_result(result);
  return true;
}
