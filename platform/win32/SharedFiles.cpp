#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/SharedFiles.h"
#include "platform/System.h"

namespace platform {

namespace {

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

bool LockByte(HANDLE h) {
  OVERLAPPED o = At(TLockFile::LockOffset);
  return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &o) != 0;
}

void UnlockByte(HANDLE h) {
  OVERLAPPED o = At(TLockFile::LockOffset);
  UnlockFileEx(h, 0, 1, 0, &o);
}

bool WriteAll(HANDLE h, const char* p, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

HANDLE OpenShared(const std::string& path, DWORD disposition) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return {};
  return std::string(name, size);
}

std::uint32_t ProcessId() { return GetCurrentProcessId(); }

// ---- TLockFile ----------------------------------------------------------------

TLockFile::~TLockFile() { Unlock(); }

TLockFile::TState TLockFile::TryLock(const std::string& path, const std::string& holder) {
  Unlock();
  Holder.clear();
  Error.clear();
  HANDLE h = OpenShared(path, OPEN_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) {
    Error = SysErrorMessage(static_cast<int>(GetLastError()));
    return lsFailed;
  }
  if (!LockByte(h)) {
    const DWORD err = GetLastError();
    if (err != ERROR_LOCK_VIOLATION && err != ERROR_IO_PENDING && err != ERROR_SHARING_VIOLATION) {
      Error = SysErrorMessage(static_cast<int>(err));
      CloseHandle(h);
      return lsFailed;
    }
    char buf[1024];
    DWORD n = 0;
    if (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) Holder.assign(buf, n);
    while (!Holder.empty() && (Holder.back() == '\n' || Holder.back() == '\r')) Holder.pop_back();
    CloseHandle(h);
    return lsHeld;
  }
  const std::string text = holder + "\r\n";
  LARGE_INTEGER zero{};
  if (SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) && SetEndOfFile(h)) WriteAll(h, text.data(), text.size());
  FHandle = reinterpret_cast<std::intptr_t>(h);
  return lsTaken;
}

void TLockFile::Unlock() {
  if (FHandle == Invalid) return;
  UnlockByte(AsHandle(FHandle));
  CloseHandle(AsHandle(FHandle));
  FHandle = Invalid;
}

// ---- TAppendFile --------------------------------------------------------------

TAppendFile::~TAppendFile() { Close(); }

bool TAppendFile::Open(const std::string& path) {
  Close();
  FCreated = false;
  HANDLE h = OpenShared(path, CREATE_NEW);
  if (h != INVALID_HANDLE_VALUE) {
    FCreated = true;
  } else if (GetLastError() == ERROR_FILE_EXISTS) {
    h = OpenShared(path, OPEN_EXISTING);
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  // As on POSIX: a lock held for two seconds belongs to a hung process.
  const DWORD start = ::GetTickCount();
  while (!LockByte(h)) {
    if (::GetTickCount() - start > 2000) {
      CloseHandle(h);
      return false;
    }
    ::Sleep(2);
  }
  LARGE_INTEGER size{};
  FILETIME written{}, now{};
  if (!GetFileSizeEx(h, &size) || !GetFileTime(h, nullptr, nullptr, &written)) {
    UnlockByte(h);
    CloseHandle(h);
    return false;
  }
  GetSystemTimeAsFileTime(&now);
  const auto ticks = [](const FILETIME& t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  FSize = static_cast<std::uint64_t>(size.QuadPart);
  FAge = static_cast<double>(ticks(now) - ticks(written)) / 1e7;  // 100 ns units
  FHandle = reinterpret_cast<std::intptr_t>(h);
  return true;
}

bool TAppendFile::Empty() {
  if (!IsOpen()) return false;
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(AsHandle(FHandle), zero, nullptr, FILE_BEGIN) || !SetEndOfFile(AsHandle(FHandle))) return false;
  FSize = 0;
  return true;
}

bool TAppendFile::Append(const std::string& bytes) {
  // Every writer holds the lock while it writes: the end found here is the
  // end its bytes go to.
  LARGE_INTEGER zero{};
  return IsOpen() && SetFilePointerEx(AsHandle(FHandle), zero, nullptr, FILE_END) &&
         WriteAll(AsHandle(FHandle), bytes.data(), bytes.size());
}

void TAppendFile::Close() {
  if (!IsOpen()) return;
  UnlockByte(AsHandle(FHandle));
  CloseHandle(AsHandle(FHandle));
  FHandle = Invalid;
}

}  // namespace platform
