// TMessLog: the program's text log.
//
// Lines are time-stamped when added and kept in memory; the file is opened
// only to append a batch: when 250 lines are waiting, when a caller needs a
// line on disk now (Flush), and when the log is destroyed. Between writes the
// file is closed, so other programs can read, copy or delete it. Every
// operation takes one lock, so any thread may log.
//
// In daily mode the file name carries a day number (weekday 1 = Sunday .. 7,
// or day of month) before its extension; the first write on a new day moves
// to that day's file, starting it afresh when DeleteOld is set; another
// process writing the same file (a second converter in the same folder) may
// have started it already, and a file changed within the last day is then
// appended to. Every write appends whole lines in one call under the file's
// lock, so processes sharing a file never write over each other's lines.
//
// File problems are never raised to callers: when the file can't be opened
// the lines stay buffered for the next write, at most MaxBufferedLines of
// them (the oldest go first, and their number is written once the file
// works again). With UseStandardError set, they go to standard error
// instead (under systemd: the journal), and OnFileUnwritable is told once
// per outage, with the system's reason; the file is tried again at every
// write. A write that fails once the file is open (a full disk) is such an
// outage too: the lines it did not write go the same way.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Format.h"

namespace tidewell {

class TMessLog {
 public:
  TMessLog(const std::string& fileName, const std::string& startText, bool deleteOld, bool dailyFiles,
           bool dayOfMonth, bool skipHeader);
  // Short form: the start text is "Start Log".
  TMessLog(const std::string& fileName, bool deleteOld, bool dailyFiles, bool dayOfMonth, bool skipHeader);
  // A log with no file: each line written goes to the sink instead, without
  // its time stamp (a report that shows what a component logs).
  explicit TMessLog(std::function<void(const std::string& text)> sink);
  virtual ~TMessLog();
  TMessLog(const TMessLog&) = delete;
  TMessLog& operator=(const TMessLog&) = delete;

  // Buffers one line; writes the buffer when it reaches the threshold.
  // Returns the line's index in the buffer, or -1 when this call wrote it.
  int Add(const std::string& text);
  // Buffers one line, never writes.
  int AddNoFlush(const std::string& text);
  // Writes the buffered lines and then, when not empty, the text as one line.
  void Flush(const std::string& text = std::string());
  // Formats and writes at once; a formatting failure is logged, never raised.
  template <typename... Args>
  int AddFmt(std::string_view tmpl, const Args&... args) {
    return AddFmtArgs(tmpl, {TFormatArg(args)...});
  }
  int AddFmtArgs(std::string_view tmpl, std::initializer_list<TFormatArg> args);

  // For inspection by tests.
  std::string CurrentFileName() const;
  std::string FileName() const { return FFileName; }
  size_t Count() const;
  int FlushThreshold = 250;
  // A day's file changed less than this long ago (in seconds) was started
  // by another process on the same day, and is appended to, not emptied.
  static constexpr double FreshFileSeconds = 24 * 60 * 60;
  size_t MaxBufferedLines = 10000;

  // Set once, before the log is shared between threads.
  bool UseStandardError = false;
  std::function<void(const std::string& fileName, const std::string& reason)> OnFileUnwritable;
  // True once a line could not be written to the file (it went to standard
  // error, or stayed buffered).
  bool EverUnwritable() const;

 private:
  void WriteBuffer(const std::string& text);
  void Keep(std::string line);
  std::string NumberedFileName();
  int TodayNumber() const;
  static std::string Stamp(const std::string& text);

  std::string FFileName;
  std::string FCurrentFileName;
  mutable std::mutex FLock;
  bool FDeleteOld;
  bool FDailyFiles;
  bool FDayOfMonth;
  int FCurrentDay = 0;
  bool FLogStartEnd;
  bool FHeaderPending;
  std::deque<std::string> FLines;
  std::function<void(const std::string& text)> FSink;
  size_t FDropped = 0;        // lines given up since the file was last written
  bool FUnwritable = false;   // the last write could not open or write the file
  bool FEverUnwritable = false;
  bool FStartAfresh = false;  // the day's file is to be started afresh at its next write
  void Unwritable(const std::string& reason);
  void ToStandardError(const std::vector<std::string>& lines);
};

// The process's one log: made when the service starts running and freed when
// it stops. Code that may run outside a service run checks it for null.
extern std::unique_ptr<TMessLog> MainLog;

// Removes a file; when it can't be deleted, moves it aside to name + ".del"
// (replacing an older one). Failures are ignored.
void DeleteOrRename(const std::string& name);
// name (the running executable when empty), "   Version - " and its version.
std::string VersionLine(const std::string& name);
// The file version as four numbers joined by ".", or empty.
std::string FileVersionText(const std::string& name);

}  // namespace tidewell
