// Locks, events and named mutexes on POSIX.
//
// A Windows named mutex is emulated with a lock file in a per-user folder,
// /tmp/nvdevices-mutex-<uid>/<escaped name>, held with an open-file-
// description lock (F_OFD_SETLK). Such locks belong to an open file
// description, so a second open in the same process conflicts as a second
// handle would, and another description can ask whether one is held
// (F_OFD_GETLK) without taking anything: a probe only looks, so two probes at
// the same moment never see each other, nor keep a holder from its lock.
// Lock files are removed by whoever releases them; to make that safe every
// locker checks, after locking, that the path still names the file it
// locked, and starts again if not.
#include "platform/sync.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/errors.h"
#include "platform/time.h"

namespace platform {

// ---- RecursiveLock ---------------------------------------------------------
//
// A plain mutex with its owner and depth kept beside it, so that a forked
// child can tell the locks its one thread holds from those that threads
// which do not exist in the child held at the fork. The child's fork handler
// frees the latter (the child would otherwise wait for them for ever, e.g. on
// the export lock of a host thread that was inside an export); every live
// lock is listed for that purpose.

namespace {

struct LiveLock {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<pthread_t> owner{0};  // 0 when free; written by the owner only
  uint32_t depth = 0;               // the owner's Lock calls not yet undone
  LiveLock* previous = nullptr;     // the list of live locks
  LiveLock* next = nullptr;
};

// The live locks. Constant-initialised, never destroyed.
struct LockList {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  LiveLock* head = nullptr;
};
LockList g_Locks;

void HoldLockListForFork() {
  pthread_mutex_lock(&g_Locks.mutex);
}

void ReleaseLockListInParent() {
  pthread_mutex_unlock(&g_Locks.mutex);
}

// The child has one thread, the one that forked: whatever another thread
// held is free again; what the forking thread holds stays held.
void FreeForeignLocksInChild() {
  const pthread_t self = pthread_self();
  for (LiveLock* lock = g_Locks.head; lock != nullptr; lock = lock->next) {
    if (lock->owner.load(std::memory_order_relaxed) == self) continue;
    pthread_mutex_init(&lock->mutex, nullptr);
    lock->owner.store(0, std::memory_order_relaxed);
    lock->depth = 0;
  }
  pthread_mutex_init(&g_Locks.mutex, nullptr);
}

}  // namespace

struct RecursiveLock::Impl : LiveLock {};

RecursiveLock::RecursiveLock() : impl_(std::make_unique<Impl>()) {
  static const bool forkHandlersSet [[maybe_unused]] =
      pthread_atfork(HoldLockListForFork, ReleaseLockListInParent, FreeForeignLocksInChild) == 0;
  pthread_mutex_lock(&g_Locks.mutex);
  impl_->next = g_Locks.head;
  if (g_Locks.head != nullptr) g_Locks.head->previous = impl_.get();
  g_Locks.head = impl_.get();
  pthread_mutex_unlock(&g_Locks.mutex);
}

RecursiveLock::~RecursiveLock() {
  pthread_mutex_lock(&g_Locks.mutex);
  if (impl_->previous != nullptr) impl_->previous->next = impl_->next;
  if (impl_->next != nullptr) impl_->next->previous = impl_->previous;
  if (g_Locks.head == impl_.get()) g_Locks.head = impl_->next;
  pthread_mutex_unlock(&g_Locks.mutex);
  pthread_mutex_destroy(&impl_->mutex);
}

void RecursiveLock::Lock() {
  const pthread_t self = pthread_self();
  if (impl_->owner.load(std::memory_order_relaxed) == self) {
    ++impl_->depth;
    return;
  }
  pthread_mutex_lock(&impl_->mutex);
  impl_->owner.store(self, std::memory_order_relaxed);
  impl_->depth = 1;
}

bool RecursiveLock::TryLock() {
  const pthread_t self = pthread_self();
  if (impl_->owner.load(std::memory_order_relaxed) == self) {
    ++impl_->depth;
    return true;
  }
  if (pthread_mutex_trylock(&impl_->mutex) != 0) return false;
  impl_->owner.store(self, std::memory_order_relaxed);
  impl_->depth = 1;
  return true;
}

void RecursiveLock::Unlock() {
  // As a Windows critical section, only the owner can leave it.
  if (impl_->owner.load(std::memory_order_relaxed) != pthread_self()) return;
  if (--impl_->depth != 0) return;
  impl_->owner.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&impl_->mutex);
}

// ---- Event -----------------------------------------------------------------

struct Event::Impl {
  std::mutex mutex;
  std::condition_variable signalled;
  bool manualReset = false;
  bool state = false;
};

Event::Event(bool manualReset, bool initialState) : impl_(std::make_unique<Impl>()) {
  impl_->manualReset = manualReset;
  impl_->state = initialState;
}

Event::~Event() = default;

void Event::Set() {
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    impl_->state = true;
  }
  if (impl_->manualReset) {
    impl_->signalled.notify_all();
  } else {
    impl_->signalled.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->state = false;
}

bool Event::Wait(uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  const auto ready = [this] { return impl_->state; };
  bool signalled = false;
  if (milliseconds == kInfinite) {
    impl_->signalled.wait(lock, ready);
    signalled = true;
  } else if (milliseconds == 0) {
    signalled = impl_->state;
  } else {
    // The dilated time converted to real nanoseconds.
    const double realNs = static_cast<double>(milliseconds) * 1e6 / TimeScale();
    const auto timeout = std::chrono::nanoseconds(static_cast<int64_t>(realNs) + 1);
    signalled = impl_->signalled.wait_for(lock, timeout, ready);
  }
  if (signalled && !impl_->manualReset) impl_->state = false;
  return signalled;
}

// ---- Named mutexes ---------------------------------------------------------

namespace {

// The per-user folder of lock files, as named (it may not exist).
std::string MutexFolderName() {
  return "/tmp/nvdevices-mutex-" + std::to_string(geteuid());
}

// True when `path` is a folder of ours that nobody else can write into.
bool IsOwnFolder(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 022) == 0;
}

// The per-user folder of lock files, made when missing; empty when it
// cannot be made safe.
std::string MutexFolder() {
  const std::string folder = MutexFolderName();
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  return IsOwnFolder(folder) ? folder : std::string();
}

// Mutex names may hold '\' ("Global\..."), '/' and anything else: every byte
// outside [A-Za-z0-9._-] is written as %XX.
std::string LockFileName(const std::string& folder, const char* name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string path = folder + "/";
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      path += static_cast<char>(c);
    } else {
      path += '%';
      path += kHex[c >> 4];
      path += kHex[c & 15];
    }
  }
  return path;
}

// The lock file of a name in the folder made for it; empty when the folder
// cannot be made safe.
std::string LockFilePath(const char* name) {
  const std::string folder = MutexFolder();
  return folder.empty() ? std::string() : LockFileName(folder, name);
}

// A write lock over the whole file.
struct flock WholeFileLock() {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end, however long
  lock.l_pid = 0;  // required for open-file-description locks
  return lock;
}

enum class LockResult { kLocked, kHeldElsewhere, kFailed };

// Opens (creating) and locks the lock file; on kLocked `fd` holds the lock and
// the path is known to name the locked file.
LockResult LockFile(const std::string& path, int& fd) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return LockResult::kFailed;
    struct flock lock = WholeFileLock();
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
      const int err = errno;
      close(fd);
      fd = -1;
      return err == EAGAIN || err == EACCES ? LockResult::kHeldElsewhere : LockResult::kFailed;
    }
    struct stat opened {};
    struct stat named {};
    if (fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
        opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
      return LockResult::kLocked;
    }
    // Released and removed between our open and our lock: start again.
    close(fd);
    fd = -1;
  }
  return LockResult::kFailed;
}

// Whether some open file description holds a lock on the file open at `fd`:
// asked without taking or changing anything.
bool HeldByAnyone(int fd) {
  struct flock lock = WholeFileLock();
  return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

}  // namespace

bool IsNamedMutexPresent(const char* name) {
  if (name == nullptr) return false;
  // Read-only: no folder is made and no file created. A missing file (the
  // usual answer) costs one failed open.
  const std::string folder = MutexFolderName();
  const int fd = open(LockFileName(folder, name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  // Only a lock file of ours, in our own folder, counts; a file left by a
  // holder that died without releasing is not held.
  struct stat st {};
  const bool held = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
                    IsOwnFolder(folder) && HeldByAnyone(fd);
  close(fd);
  if (!held) return false;
  SetLastError(kErrorAlreadyExists);
  return true;
}

struct NamedMutexHolder::Impl {
  std::string path;
  int fd = -1;
};

NamedMutexHolder::NamedMutexHolder(const char* name) : impl_(std::make_unique<Impl>()) {
  if (name == nullptr) return;
  impl_->path = LockFilePath(name);
  if (impl_->path.empty()) return;
  if (LockFile(impl_->path, impl_->fd) != LockResult::kLocked) impl_->fd = -1;
}

NamedMutexHolder::~NamedMutexHolder() {
  if (impl_->fd >= 0) {
    unlink(impl_->path.c_str());
    close(impl_->fd);
  }
}

bool NamedMutexHolder::IsHeld() const {
  return impl_->fd >= 0;
}

}  // namespace platform
