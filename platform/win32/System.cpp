#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "common/FileRules.h"
#include "platform/System.h"
#include "platform/PathDelimiter.h"

namespace platform {

const char PathDelim = '\\';

namespace {

// Both separators name folders on Windows; the drive colon ends a drive.
bool IsDelimiter(char c) { return c == '\\' || c == '/'; }

std::string::size_type LastDelimiter(const std::string& path, bool withDrive) {
  for (auto i = path.size(); i > 0; --i) {
    const char c = path[i - 1];
    if (IsDelimiter(c) || (withDrive && c == ':')) return i - 1;
  }
  return std::string::npos;
}

std::string TrimSystemText(std::string text) {
  while (!text.empty() && (static_cast<unsigned char>(text.back()) < '!' || text.back() == '.')) text.pop_back();
  return text;
}

// No desktop for a service, and none under a bare wine: the box then fails
// at once and the text goes to the console as well.
bool ConsoleWanted() { return GetStdHandle(STD_ERROR_HANDLE) != nullptr; }

}  // namespace

std::uint32_t GetTickCount() { return ::GetTickCount(); }

void Sleep(std::uint32_t ms) { ::Sleep(ms); }

std::string ExecutablePath() {
  std::vector<char> buf(MAX_PATH + 1);
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return std::string(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
}

std::optional<std::array<std::uint16_t, 4>> FileVersion(const std::string& fileName) {
  const std::string file = fileName.empty() ? ExecutablePath() : fileName;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(file.c_str(), 0, size, data.data())) return std::nullopt;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  char root[] = "\\";
  if (!VerQueryValueA(data.data(), root, reinterpret_cast<void**>(&info), &length) || !info ||
      length < sizeof(VS_FIXEDFILEINFO))
    return std::nullopt;
  return std::array<std::uint16_t, 4>{
      static_cast<std::uint16_t>(HIWORD(info->dwFileVersionMS)), static_cast<std::uint16_t>(LOWORD(info->dwFileVersionMS)),
      static_cast<std::uint16_t>(HIWORD(info->dwFileVersionLS)), static_cast<std::uint16_t>(LOWORD(info->dwFileVersionLS))};
}

std::string::size_type detail::LastPathDelimiter(const std::string& path) { return LastDelimiter(path, true); }

std::string ExtractFileDir(const std::string& path) {
  const auto pos = LastDelimiter(path, true);
  if (pos == std::string::npos) return {};
  // "C:\" and "\" keep their separator: they are folders of their own.
  if (pos > 0 && IsDelimiter(path[pos]) && path[pos - 1] != ':' && !(pos == 1 && IsDelimiter(path[0])))
    return path.substr(0, pos);
  return path.substr(0, pos + 1);
}

std::string GetCurrentDir() {
  std::vector<char> buf(MAX_PATH + 1);
  DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(buf.size()), buf.data());
  if (n >= buf.size()) {
    buf.resize(n + 1);
    n = GetCurrentDirectoryA(static_cast<DWORD>(buf.size()), buf.data());
  }
  return n ? std::string(buf.data(), n) : std::string();
}

std::string ExpandFileName(const std::string& path) {
  std::vector<char> buf(MAX_PATH + 1);
  DWORD n = GetFullPathNameA(path.c_str(), static_cast<DWORD>(buf.size()), buf.data(), nullptr);
  if (n >= buf.size()) {
    buf.resize(n + 1);
    n = GetFullPathNameA(path.c_str(), static_cast<DWORD>(buf.size()), buf.data(), nullptr);
  }
  return n ? std::string(buf.data(), n) : path;
}

bool DirectoryExists(const std::string& dir) {
  if (dir.empty()) return false;
  const DWORD a = GetFileAttributesA(dir.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool ForceDirectories(const std::string& dir) {
  if (dir.empty()) return false;
  std::string d = dir;
  while (d.size() > 3 && IsDelimiter(d.back())) d.pop_back();
  if (DirectoryExists(d)) return true;
  const std::string parent = ExtractFileDir(d);
  if (!parent.empty() && parent != d && !ForceDirectories(parent)) return false;
  return CreateDirectoryA(d.c_str(), nullptr) || (GetLastError() == ERROR_ALREADY_EXISTS && DirectoryExists(d));
}

bool ReadableByOthers(const std::string&, const std::string&) { return false; }

std::string ResolveLinks(const std::string& path) { return path; }

std::optional<TFileOwnership> FileOwnership(const std::string&) { return std::nullopt; }

bool CanRead(const std::string& path) {
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

bool CanWriteInto(const std::string& folder) {
  // The system's answer is in its access lists; trying is the one sure way.
  if (!DirectoryExists(folder)) return false;
  char name[MAX_PATH];
  if (!GetTempFileNameA(folder.c_str(), "tw", 0, name)) return false;
  DeleteFileA(name);
  return true;
}

std::string CurrentUserName() {
  char name[257];
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? std::string(name) : std::string();
}

bool UserAccountExists(const std::string&) { return false; }

bool FileExists(const std::string& path) { return tidewell::files::IsRegularFile(path); }

bool PathExists(const std::string& path) {
  return !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool RenameFile(const std::string& from, const std::string& to) {
  // MoveFileA never replaces an existing file.
  return MoveFileA(from.c_str(), to.c_str()) != 0;
}

bool SyncPath(const std::string& path) {
  // Folders need no flush here: NTFS logs its entries itself, and a move
  // is written through by MoveFileOver.
  if (DirectoryExists(path)) return true;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = FlushFileBuffers(h) != 0;
  CloseHandle(h);
  return ok;
}

bool SyncPaths(const std::vector<std::string>& paths) {
  bool ok = true;
  for (const auto& path : paths) ok = SyncPath(path) && ok;
  return ok;
}

bool MoveFileOver(const std::string& from, const std::string& to) { return tidewell::files::MoveOver(from, to); }

bool SetReadOnly(const std::string& path, bool readOnly) {
  const DWORD a = GetFileAttributesA(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  DWORD wanted = readOnly ? (a | FILE_ATTRIBUTE_READONLY) : (a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
  return SetFileAttributesA(path.c_str(), wanted) != 0;
}

bool CreateEmptyFile(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

TSharedFile::~TSharedFile() { Close(); }

bool TSharedFile::Open(const std::string& path) {
  Close();
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FHandle = reinterpret_cast<std::intptr_t>(h);
  return true;
}

bool TSharedFile::SeekToEnd() {
  LARGE_INTEGER zero{};
  return IsOpen() && SetFilePointerEx(reinterpret_cast<HANDLE>(FHandle), zero, nullptr, FILE_END);
}

bool TSharedFile::Write(const void* data, std::size_t size) {
  if (!IsOpen()) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(FHandle), p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

bool TSharedFile::Sync() { return IsOpen() && FlushFileBuffers(reinterpret_cast<HANDLE>(FHandle)); }

bool TSharedFile::Truncate(std::uint64_t size) {
  if (!IsOpen()) return false;
  HANDLE h = reinterpret_cast<HANDLE>(FHandle);
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  LARGE_INTEGER zero{};
  return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h) &&
         SetFilePointerEx(h, zero, nullptr, FILE_END);
}

void TSharedFile::Close() {
  if (IsOpen()) CloseHandle(reinterpret_cast<HANDLE>(FHandle));
  FHandle = Invalid;
}

TLibraryHandle LoadDynamicLibrary(const std::string& name) {
  // No "cannot find" dialog for a service nobody watches.
  const UINT old = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE h = LoadLibraryA(name.c_str());
  SetErrorMode(old);
  return reinterpret_cast<TLibraryHandle>(h);
}

void* GetLibrarySymbol(TLibraryHandle library, const char* name) {
  if (!library || !name) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void FreeDynamicLibrary(TLibraryHandle library) {
  if (library) FreeLibrary(static_cast<HMODULE>(library));
}

int ShowMessageBox(const std::string& text, const std::string& caption, TBoxKind kind) {
  const UINT style = MB_OK | MB_SETFOREGROUND | (kind == TBoxKind::Error ? MB_ICONERROR : MB_ICONINFORMATION);
  const int button = MessageBoxA(nullptr, text.c_str(), caption.c_str(), style);
  if (button > 0) return button;
  // No desktop to show it on (a service, or wine without a display): the
  // box fails at once, with 0 or, when its dialog cannot be made, -1.
  if (ConsoleWanted()) PrintMessage(text, caption, kind);
  return 1;
}

void WriteEventLog(const std::string& source, const std::string& text) {
  HANDLE log = RegisterEventSourceA(nullptr, source.c_str());
  if (!log) return;
  const char* strings[1] = {text.c_str()};
  ReportEventA(log, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(log);
}

int LastErrorCode() { return static_cast<int>(GetLastError()); }

std::string SysErrorMessage(int code) {
  char* buffer = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = n && buffer ? std::string(buffer, n) : std::string();
  if (buffer) LocalFree(buffer);
  return TrimSystemText(text);
}

namespace {

std::mutex TerminationLock;
std::function<void(TControlRequest)>* TerminationHandler = nullptr;

BOOL WINAPI ConsoleControl(DWORD type) {
  TControlRequest kind;
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: kind = crInterrupt; break;
    // Closing the window ends the process soon after: it is a stop.
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT: kind = crTerminate; break;
    default: return FALSE;  // a log-off ends a console session, not this process
  }
  std::function<void(TControlRequest)> handler;
  {
    std::lock_guard<std::mutex> lock(TerminationLock);
    if (TerminationHandler) handler = *TerminationHandler;
  }
  if (!handler) return FALSE;
  // The system calls this on a thread of its own already.
  handler(kind);
  return TRUE;
}

}  // namespace

void WatchControlRequests(std::function<void(TControlRequest request)> handler) {
  {
    std::lock_guard<std::mutex> lock(TerminationLock);
    delete TerminationHandler;
    TerminationHandler = new std::function<void(TControlRequest)>(std::move(handler));
  }
  SetConsoleCtrlHandler(&ConsoleControl, TRUE);
}

}  // namespace platform
