#include "platform/SharedFiles.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/System.h"

namespace platform {

namespace {

// Open-file-description locks belong to the open file, not to the process:
// two handles of one process exclude each other as two processes do, and
// closing some other handle of the same file keeps the lock. Where the
// system lacks them, POSIX record locks do the same between processes.
#ifdef F_OFD_SETLK
constexpr int SetLock = F_OFD_SETLK;
#else
constexpr int SetLock = F_SETLK;
#endif

bool LockByte(int fd, short type) {
  struct flock l {};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = static_cast<off_t>(TLockFile::LockOffset);
  l.l_len = 1;
  l.l_pid = 0;  // must be 0 for open-file-description locks
  int rc;
  do {
    rc = fcntl(fd, SetLock, &l);
  } while (rc < 0 && errno == EINTR);
  return rc == 0;
}

bool WriteAll(int fd, const char* p, size_t size, off_t at, bool positioned) {
  while (size > 0) {
    const ssize_t n = positioned ? pwrite(fd, p, size, at) : write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::uint32_t ProcessId() { return static_cast<std::uint32_t>(getpid()); }

// ---- TLockFile ----------------------------------------------------------------

TLockFile::~TLockFile() { Unlock(); }

TLockFile::TState TLockFile::TryLock(const std::string& path, const std::string& holder) {
  Unlock();
  Holder.clear();
  Error.clear();
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    Error = SysErrorMessage(errno);
    return lsFailed;
  }
  if (!LockByte(fd, F_WRLCK)) {
    const int err = errno;
    if (err != EAGAIN && err != EACCES) {
      Error = SysErrorMessage(err);
      close(fd);
      return lsFailed;
    }
    char buf[1024];
    ssize_t n;
    do {
      n = pread(fd, buf, sizeof buf, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) Holder.assign(buf, static_cast<size_t>(n));
    while (!Holder.empty() && (Holder.back() == '\n' || Holder.back() == '\r')) Holder.pop_back();
    close(fd);
    return lsHeld;
  }
  // The lock is ours: the file names us, and only us.
  const std::string text = holder + "\n";
  if (ftruncate(fd, 0) != 0 || !WriteAll(fd, text.data(), text.size(), 0, true)) {
    // A lock whose file can't name its holder still excludes the others.
  }
  FHandle = fd;
  return lsTaken;
}

void TLockFile::Unlock() {
  if (FHandle == Invalid) return;
  // Closing the handle releases its lock.
  close(static_cast<int>(FHandle));
  FHandle = Invalid;
}

// ---- TAppendFile --------------------------------------------------------------

TAppendFile::~TAppendFile() { Close(); }

bool TAppendFile::Open(const std::string& path) {
  Close();
  FCreated = false;
  int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    FCreated = true;
  } else if (errno == EEXIST) {
    fd = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  }
  if (fd < 0) return false;
  // Another process holds the lock for one append at most: a lock still
  // held after two seconds belongs to a process that hangs, and this write
  // is given up rather than the caller's thread.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!LockByte(fd, F_WRLCK)) {
    if ((errno != EAGAIN && errno != EACCES) || std::chrono::steady_clock::now() > deadline) {
      close(fd);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    close(fd);
    return false;
  }
  timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  FSize = static_cast<std::uint64_t>(st.st_size);
  FAge = static_cast<double>(now.tv_sec - st.st_mtim.tv_sec) +
         static_cast<double>(now.tv_nsec - st.st_mtim.tv_nsec) / 1e9;
  FHandle = fd;
  return true;
}

bool TAppendFile::Empty() {
  if (!IsOpen() || ftruncate(static_cast<int>(FHandle), 0) != 0) return false;
  FSize = 0;
  return true;
}

bool TAppendFile::Append(const std::string& bytes) {
  // O_APPEND: each write goes to the end as it is then, in one step.
  return IsOpen() && WriteAll(static_cast<int>(FHandle), bytes.data(), bytes.size(), 0, false);
}

void TAppendFile::Close() {
  if (IsOpen()) close(static_cast<int>(FHandle));
  FHandle = Invalid;
}

}  // namespace platform
