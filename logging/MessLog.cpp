#include "logging/MessLog.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "common/Clock.h"
#include "platform/SharedFiles.h"
#include "platform/System.h"

namespace tidewell {

std::unique_ptr<TMessLog> MainLog;

TMessLog::TMessLog(const std::string& fileName, const std::string& startText, bool deleteOld, bool dailyFiles,
                   bool dayOfMonth, bool skipHeader)
    : FDeleteOld(deleteOld), FDailyFiles(dailyFiles), FDayOfMonth(dayOfMonth) {
  FFileName = platform::ExpandFileName(fileName.empty() ? std::string("Messages.log") : fileName);
  platform::ForceDirectories(platform::ExtractFileDir(FFileName));
  if (FDailyFiles) {
    // Today's file is appended to: a restart on the same day keeps its lines.
    FCurrentFileName = NumberedFileName();
  } else {
    FCurrentFileName = FFileName;
    if (FDeleteOld && platform::FileExists(FCurrentFileName)) DeleteOrRename(FCurrentFileName);
  }
  FHeaderPending = !skipHeader;
  FLogStartEnd = !startText.empty();
  if (FLogStartEnd) Add(startText);
}

TMessLog::TMessLog(const std::string& fileName, bool deleteOld, bool dailyFiles, bool dayOfMonth, bool skipHeader)
    : TMessLog(fileName, "Start Log", deleteOld, dailyFiles, dayOfMonth, skipHeader) {}

TMessLog::TMessLog(std::function<void(const std::string& text)> sink)
    : FDeleteOld(false), FDailyFiles(false), FDayOfMonth(false), FLogStartEnd(false), FHeaderPending(false),
      FSink(std::move(sink)) {}

TMessLog::~TMessLog() {
  try {
    Flush(FLogStartEnd ? "End Log" : "");
  } catch (...) {
    // A log that fails while going away must not take the process with it.
  }
}

std::string TMessLog::Stamp(const std::string& text) {
  return FormatDateTime("hh:nn:ss.zzz dd/mm/yy", Now()) + " - " + text;
}

int TMessLog::Add(const std::string& text) {
  std::lock_guard<std::mutex> lock(FLock);
  Keep(Stamp(text));
  int index = static_cast<int>(FLines.size()) - 1;
  if (FlushThreshold > 0 && FLines.size() >= static_cast<size_t>(FlushThreshold)) {
    WriteBuffer(std::string());
    index = -1;
  }
  return index;
}

int TMessLog::AddNoFlush(const std::string& text) {
  std::lock_guard<std::mutex> lock(FLock);
  Keep(Stamp(text));
  return static_cast<int>(FLines.size()) - 1;
}

void TMessLog::Flush(const std::string& text) {
  std::lock_guard<std::mutex> lock(FLock);
  WriteBuffer(text);
}

int TMessLog::AddFmtArgs(std::string_view tmpl, std::initializer_list<TFormatArg> args) {
  try {
    std::string line = FormatArgs(tmpl, args);
    Flush(line);
  } catch (const std::exception& e) {
    try {
      const std::string detail = " - " + std::string(e.what()) + "  " + std::string(tmpl);
      if (std::string_view(e.what()).substr(0, 16) == "Cannot open file") {
        AddNoFlush("TMessLog Format() Exception!");
        AddNoFlush(detail);
      } else {
        Flush("TMessLog Format() Exception!");
        Flush(detail);
      }
    } catch (...) {
    }
  } catch (...) {
  }
  return -1;
}

std::string TMessLog::CurrentFileName() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FCurrentFileName;
}

size_t TMessLog::Count() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FLines.size();
}

int TMessLog::TodayNumber() const {
  const TDateTime today = Today();
  return FDayOfMonth ? DecodeDate(today).Day : DayOfWeek(today);
}

std::string TMessLog::NumberedFileName() {
  FCurrentDay = TodayNumber();
  const std::string ext = platform::ExtractFileExt(FFileName);
  return FFileName.substr(0, FFileName.size() - ext.size()) + std::to_string(FCurrentDay) + ext;
}

void TMessLog::WriteBuffer(const std::string& text) {
  if (FLines.empty() && text.empty()) return;
  if (FSink) {
    // Lines are kept stamped: what follows the stamp's " - " is the text.
    for (const auto& line : FLines) {
      const size_t at = line.find(" - ");
      FSink(at == std::string::npos ? line : line.substr(at + 3));
    }
    if (!text.empty()) FSink(text);
    FLines.clear();
    return;
  }

  if (FDailyFiles && TodayNumber() != FCurrentDay) {
    FCurrentFileName = NumberedFileName();
    FStartAfresh = FDeleteOld;
  }

  // Other processes (a second converter in the same folder) may append to
  // the same file: every write holds the file's lock and appends the whole
  // batch in one call, so no line is ever written over or cut in two.
  platform::TAppendFile file;
  bool opened = file.Open(FCurrentFileName);
  if (!opened && FStartAfresh && platform::FileExists(FCurrentFileName)) {
    // Last week's file that can't be written (made read-only): it goes.
    DeleteOrRename(FCurrentFileName);
    opened = file.Open(FCurrentFileName);
  }
  if (!opened && FUnwritable) {
    // The folder may have gone (or been a file) since the log was made.
    platform::ForceDirectories(platform::ExtractFileDir(FCurrentFileName));
    opened = file.Open(FCurrentFileName);
  } else if (!opened) {
    platform::Sleep(87);
    opened = file.Open(FCurrentFileName);
  }
  if (!opened) {
    Unwritable(platform::SysErrorMessage(platform::LastErrorCode()));
    if (!UseStandardError) return;  // lines stay buffered for the next write
    // Nobody would ever see them otherwise: an unattended service that
    // converts and says nothing is worse than one that logs elsewhere.
    std::vector<std::string> lines(FLines.begin(), FLines.end());
    if (!text.empty()) lines.push_back(Stamp(text));
    ToStandardError(lines);
    FLines.clear();
    return;
  }
  // A new file starts with the header. Whoever writes to it first writes
  // it: the process that created the file may find another's lines there
  // already, when that one took the lock first.
  if (file.Size() == 0) FHeaderPending = true;
  if (FStartAfresh) {
    FStartAfresh = false;
    // The day's file holds last week's lines, unless another process
    // started it today already: then its lines are today's and stay. Last
    // week's file was last written six days ago at the least.
    if (file.Size() > 0 && file.SecondsSinceChange() > FreshFileSeconds && file.Empty()) FHeaderPending = true;
  }

  // Each line ends in CR LF, and the batch goes out in one append, so that
  // another process's lines never come between or inside ours. A failed
  // write (a full disk) counts as writing none of it.
  std::vector<std::string> lines;
  if (FHeaderPending) lines.push_back(std::string(21, '.') + " - " + VersionLine(std::string()));
  if (FDropped)
    lines.push_back(Stamp(
        Format("%d earlier lines were lost while the log file could not be written", static_cast<int>(FDropped))));
  const size_t first = lines.size();
  for (const auto& line : FLines) lines.push_back(line);
  if (!text.empty()) lines.push_back(Stamp(text));
  std::string bytes;
  for (const auto& line : lines) bytes += line + "\r\n";
  const bool ok = file.Append(bytes);
  const size_t written = ok ? lines.size() : 0;
  const std::string reason = ok ? std::string() : platform::SysErrorMessage(platform::LastErrorCode());
  file.Close();
  if (ok) {
    FUnwritable = false;
    FHeaderPending = false;
    FLines.clear();
    FDropped = 0;
    return;
  }
  Unwritable(reason);
  // Header and count of lost lines, when written, are not written again.
  if (FHeaderPending && written > 0) FHeaderPending = false;
  if (written >= first) FDropped = 0;
  std::vector<std::string> rest(lines.begin() + static_cast<long>(std::max(written, first)), lines.end());
  FLines.clear();
  if (UseStandardError) {
    ToStandardError(rest);
    FDropped = 0;
    return;
  }
  for (auto& line : rest) Keep(std::move(line));  // kept for the next write
}

void TMessLog::Unwritable(const std::string& reason) {
  if (!FUnwritable && OnFileUnwritable) OnFileUnwritable(FCurrentFileName, reason);
  FUnwritable = true;
  FEverUnwritable = true;
}

void TMessLog::ToStandardError(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const auto& line : lines) bytes += line + "\n";
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

bool TMessLog::EverUnwritable() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FEverUnwritable;
}

void TMessLog::Keep(std::string line) {
  // While the file can't be written the buffer would grow for as long as
  // the service runs; the newest lines say most about what is going on now.
  if (MaxBufferedLines > 0 && FLines.size() >= MaxBufferedLines) {
    FLines.pop_front();
    ++FDropped;
  }
  FLines.push_back(std::move(line));
}

void DeleteOrRename(const std::string& name) {
  platform::SetReadOnly(name, false);
  if (platform::RemoveFile(name)) return;
  const std::string aside = name + ".del";
  if (platform::FileExists(aside)) platform::RemoveFile(aside);
  platform::RenameFile(name, aside);
}

std::string FileVersionText(const std::string& name) {
  const auto version = platform::FileVersion(name);
  if (!version) return {};
  std::string text;
  for (size_t i = 0; i < version->size(); ++i) {
    if (i) text += '.';
    text += std::to_string((*version)[i]);
  }
  return text;
}

std::string VersionLine(const std::string& name) {
  const std::string file = name.empty() ? platform::ExecutablePath() : name;
  return file + "   Version - " + FileVersionText(name);
}

}  // namespace tidewell
