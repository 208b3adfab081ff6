// The property store: mail-server properties in an SQLite database.
//
// Handles are opaque numbers, not pointers, looked up in a process-wide table: a closed or
// made-up handle fails with ERROR_INVALID_HANDLE instead of touching freed memory, and a number is
// never handed out twice. Each handle of a file store owns its own connection; the in-memory store
// has one connection that every handle of the process shares.
#include <fcntl.h>
#include <sys/stat.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "host/mail_server.h"
#include "host/subscribers.h"

namespace {

// How long one operation waits for another connection (thread or process) to release the
// database before it fails with ERROR_TIMEOUT. SQLite's busy handler waits up to kBusyWait per
// attempt; the few busy results that bypass the handler (a stale WAL snapshot, WAL recovery in
// another process) are retried here until kOperationDeadline.
constexpr int kBusyWaitMs = 5000;
constexpr auto kOperationDeadline = std::chrono::seconds(10);

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS properties ("
    " section TEXT NOT NULL COLLATE NOCASE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " value BLOB NOT NULL,"
    " PRIMARY KEY (section, name))";
constexpr const char* kSelect =
    "SELECT type, value FROM properties WHERE section = ?1 AND name = ?2";
constexpr const char* kUpsert =
    "INSERT INTO properties (section, name, type, value) VALUES (?1, ?2, ?3, ?4)"
    " ON CONFLICT (section, name) DO UPDATE SET type = excluded.type, value = excluded.value";

// Translates an SQLite result into the Windows code a caller of the store sees.
DWORD ErrorFromSqlite(sqlite3* db, int rc) {
  switch (rc & 0xff) {
    case SQLITE_BUSY:
      return ERROR_TIMEOUT;  // the busy time-out has run out
    case SQLITE_LOCKED:
      return ERROR_SHARING_VIOLATION;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_TOOBIG:
      return ERROR_INVALID_PARAMETER;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
      return ERROR_INVALID_DATA;
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN: {
      int err = db != nullptr ? sqlite3_system_errno(db) : 0;
      return err != 0 ? ErrorFromErrno(err) : ERROR_GEN_FAILURE;
    }
    default:
      return ERROR_GEN_FAILURE;
  }
}

bool IsBusy(int rc) {
  return (rc & 0xff) == SQLITE_BUSY;
}

// Runs `attempt` (which returns an SQLite result) again while it reports busy, up to the deadline.
template <typename Attempt>
int RetryWhileBusy(Attempt attempt) {
  const auto deadline = std::chrono::steady_clock::now() + kOperationDeadline;
  for (;;) {
    int rc = attempt();
    if (!IsBusy(rc) || std::chrono::steady_clock::now() >= deadline) return rc;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// One SQLite connection with its prepared statements. Used under `mutex` only.
class StoreConnection {
 public:
  StoreConnection() = default;
  ~StoreConnection() {
    sqlite3_finalize(select_);
    sqlite3_finalize(upsert_);
    sqlite3_close_v2(db_);
  }
  StoreConnection(const StoreConnection&) = delete;
  StoreConnection& operator=(const StoreConnection&) = delete;

  // Opens `path` (":memory:" for the in-memory store). False with the last error set.
  bool Open(const std::string& path, bool file) {
    int rc =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) return Fail(rc);
    sqlite3_extended_result_codes(db_, 1);
    if (file) {
      sqlite3_busy_timeout(db_, kBusyWaitMs);
      // WAL lets readers and one writer work at once, across processes; NORMAL synchronisation
      // is safe with WAL (a power loss may drop only the latest commits, never corrupt).
      rc = Exec("PRAGMA journal_mode=WAL");
      if (rc == SQLITE_OK) rc = Exec("PRAGMA synchronous=NORMAL");
      if (rc != SQLITE_OK) return Fail(rc);
    }
    rc = Exec(kSchema);
    if (rc == SQLITE_OK) rc = Prepare(kSelect, &select_);
    if (rc == SQLITE_OK) rc = Prepare(kUpsert, &upsert_);
    return rc == SQLITE_OK || Fail(rc);
  }

  // The value of a property into `buffer` as GetMailServerProperty describes.
  BOOL Get(const char* section, const char* name, void* buffer, DWORD* size, DWORD* type) {
    Bind(select_, section, name);
    int rc = RetryWhileBusy([&] {
      sqlite3_reset(select_);
      return sqlite3_step(select_);
    });
    BOOL result = FALSE;
    if (rc == SQLITE_DONE) {
      SetLastError(ERROR_FILE_NOT_FOUND);
    } else if (rc != SQLITE_ROW) {
      Fail(rc);
    } else {
      DWORD storedType = static_cast<DWORD>(sqlite3_column_int64(select_, 0));
      const void* value = sqlite3_column_blob(select_, 1);
      DWORD length = static_cast<DWORD>(sqlite3_column_bytes(select_, 1));
      if (type != nullptr) *type = storedType;
      if (buffer == nullptr || *size < length) {
        SetLastError(ERROR_MORE_DATA);
      } else {
        if (length > 0) std::memcpy(buffer, value, length);
        result = TRUE;
      }
      *size = length;
    }
    sqlite3_reset(select_);
    sqlite3_clear_bindings(select_);
    return result;
  }

  BOOL Set(const char* section, DWORD type, const char* name, const void* data, DWORD size) {
    static const unsigned char kEmpty = 0;  // a null blob pointer would bind NULL
    Bind(upsert_, section, name);
    sqlite3_bind_int64(upsert_, 3, type);
    sqlite3_bind_blob64(upsert_, 4, size > 0 ? data : &kEmpty, size, SQLITE_STATIC);
    int rc = RetryWhileBusy([&] {
      sqlite3_reset(upsert_);
      return sqlite3_step(upsert_);
    });
    sqlite3_reset(upsert_);
    sqlite3_clear_bindings(upsert_);
    return rc == SQLITE_DONE ? TRUE : Fail(rc);
  }

  std::mutex mutex;

 private:
  int Exec(const char* sql) {
    return RetryWhileBusy([&] { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); });
  }
  int Prepare(const char* sql, sqlite3_stmt** statement) {
    return sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr);
  }
  static void Bind(sqlite3_stmt* statement, const char* section, const char* name) {
    sqlite3_bind_text(statement, 1, section, -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 2, name, -1, SQLITE_STATIC);
  }
  bool Fail(int rc) {
    SetLastError(ErrorFromSqlite(db_, rc));
    return false;
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* select_ = nullptr;
  sqlite3_stmt* upsert_ = nullptr;
};

// Makes sure the database file exists, creating it readable and writable by its owner only
// before SQLite sees it (SQLite would create it with the umask's permissions). SQLite gives the
// -wal and -shm files the permissions of the database file.
// Creates a missing store file with owner-only permissions before SQLite opens it. An existing
// file is never opened here: closing any descriptor of a file drops every POSIX lock the process
// holds on it, SQLite's included, and another process would then take this one's connections for
// gone and checkpoint the write-ahead log away under them.
bool CreateStoreFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  if (errno == EEXIST) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    return true;
  }
  SetLastErrorFromErrnoForPath(errno, path.c_str());
  return false;
}

std::shared_ptr<StoreConnection> OpenFileStore(const std::string& path) {
  if (!CreateStoreFile(path)) return nullptr;
  auto connection = std::make_shared<StoreConnection>();
  if (!connection->Open(path, true)) return nullptr;
  return connection;
}

struct StoreState {
  std::mutex mutex;
  std::string configuredPath;  // from SetPropertyStorePath; empty: the default
  std::shared_ptr<StoreConnection> memory;
  std::unordered_map<std::uintptr_t, std::shared_ptr<StoreConnection>> handles;
  std::uintptr_t nextHandle = 0x1000;
};

// Never destroyed: handles may still be used while other static objects are torn down.
StoreState& State() {
  static StoreState* state = new StoreState;
  return *state;
}

std::shared_ptr<StoreConnection> OpenConfiguredStore() {
  StoreState& state = State();
  std::string path;
  {
    std::lock_guard lock(state.mutex);
    path = state.configuredPath;
  }
  if (path.empty()) {
    const char* env = std::getenv("VELMORA_PROPERTY_STORE");
    if (env != nullptr) path = env;
  }
  if (!path.empty()) return OpenFileStore(path);

  std::lock_guard lock(state.mutex);
  if (state.memory == nullptr) {
    auto connection = std::make_shared<StoreConnection>();
    if (!connection->Open(":memory:", false)) return nullptr;
    state.memory = std::move(connection);
  }
  return state.memory;
}

// The connection behind a handle; null with the last error set when there is none.
std::shared_ptr<StoreConnection> Lookup(_tMailServer* handle) {
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  StoreState& state = State();
  std::lock_guard lock(state.mutex);
  auto it = state.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == state.handles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

bool ValidType(DWORD type, DWORD size) {
  if (type == PROPERTY_TYPE_DWORD) return size == sizeof(DWORD);
  return type == PROPERTY_TYPE_TEXT || type == PROPERTY_TYPE_UNTYPED;
}

// Never destroyed: a worker may write while static objects are torn down at exit.
host_internal::SubscriberList<const char*, const char*>& WriteSubscribers() {
  static auto* subscribers = new host_internal::SubscriberList<const char*, const char*>;
  return *subscribers;
}

}  // namespace

int SubscribePropertyWrites(PropertyWriteSubscriber subscriber) {
  return WriteSubscribers().Add(std::move(subscriber));
}

void UnsubscribePropertyWrites(int token) {
  WriteSubscribers().Remove(token);
}

extern "C" {

BOOL SetPropertyStorePath(const char* path) {
  std::string chosen = path != nullptr ? path : "";
  // Fail now, where the embedding program can report it, rather than at every later open.
  if (!chosen.empty() && OpenFileStore(chosen) == nullptr) return FALSE;
  StoreState& state = State();
  std::lock_guard lock(state.mutex);
  state.configuredPath = std::move(chosen);
  return TRUE;
}

_tMailServer* OpenMailServer(int reserved) {
  if (reserved != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<StoreConnection> connection = OpenConfiguredStore();
  if (connection == nullptr) return nullptr;
  StoreState& state = State();
  std::lock_guard lock(state.mutex);
  std::uintptr_t id = state.nextHandle;
  state.nextHandle += 16;
  state.handles.emplace(id, std::move(connection));
  return reinterpret_cast<_tMailServer*>(id);
}

BOOL CloseMailServer(_tMailServer* handle) {
  std::shared_ptr<StoreConnection> connection;  // released outside the table's lock
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  StoreState& state = State();
  std::lock_guard lock(state.mutex);
  auto it = state.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == state.handles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  connection = std::move(it->second);
  state.handles.erase(it);
  return TRUE;
}

BOOL GetMailServerProperty(_tMailServer* handle, const char* section, const char* name,
                           void* buffer, DWORD* size, DWORD* type) {
  if (section == nullptr || name == nullptr || size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<StoreConnection> connection = Lookup(handle);
  if (connection == nullptr) return FALSE;
  std::lock_guard lock(connection->mutex);
  return connection->Get(section, name, buffer, size, type);
}

BOOL SetMailServerProperty(_tMailServer* handle, const char* section, DWORD type, const char* name,
                           const void* data, DWORD size) {
  if (section == nullptr || name == nullptr || (data == nullptr && size > 0) ||
      !ValidType(type, size)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<StoreConnection> connection = Lookup(handle);
  if (connection == nullptr) return FALSE;
  {
    std::lock_guard lock(connection->mutex);
    if (!connection->Set(section, type, name, data, size)) return FALSE;
  }
  WriteSubscribers().Deliver(section, name);
  return TRUE;
}

}  // extern "C"
