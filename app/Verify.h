// TVerify: the proof an administrator asks for, "is every row of last week in
// its file?". For each day of a range it selects the converted rows of a
// table (one ordered select per day) and reads the day files they point to
// (each once, front to back, read-only), and names every discrepancy:
//   - a marked row whose record is missing (its file, or its record number,
//     or the record is deleted);
//   - a marked row whose record holds another row (machine, rec_num), or
//     other values than the conversion would write from the row now;
//   - a record that no marked row points to, with its fields;
//   - two rows marked with the same record.
// Values are compared the way the conversion writes them (FieldText.h) and
// as the file stores them (cuts, trims, dates, logicals, numbers in the
// field's width). A date field without a column of a date type gets the
// conversion's today, which can't be told afterwards: it is not compared.
//
// Memory stays that of one row and one record: the rows of a day come
// ordered by file (machine) and record number, and are merged with the
// file's records as they are read.
//
// With Repair, the mark of each row whose record is missing is cleared
// (only while it still holds that number), so that the next cycle copies
// the row again; every cleared mark is one log line. Nothing else changes.
// Repair is refused while the table's journal holds notes: a run is in
// progress, or the next one must settle them first.
//
// Exit codes: 0 nothing found, 1 discrepancies, 2 something could not be
// read (the database, a folder, a file, the journal for a repair): then
// nothing is guessed about it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/DateTime.h"

namespace tidewell {

struct TVerifyRequest {
  std::vector<std::string> Tables{"weight", "action"};
  TDateTime From = 0, To = 0;  // days, both included
  bool Repair = false;
};

// The arguments after -VERIFY: [TABLE] [FROM [TO]] and -REPAIR, anywhere.
// Dates are YYYY-MM-DD; without them the last 7 days up to `today`; FROM
// alone runs up to `today`. False with a line saying what is wrong.
bool ParseVerifyArgs(const std::vector<std::string>& args, TDateTime today, TVerifyRequest& request,
                     std::string& error);

struct TVerifyCounts {
  int Files = 0;      // day files read (or found missing)
  int Rows = 0;       // marked rows
  int Records = 0;    // records in the files
  int Missing = 0;    // marked rows without their record
  int OtherRow = 0;   // records holding another row than the one marked with them
  int Different = 0;  // records holding the row with other values
  int Unmarked = 0;   // records no marked row points to
  int Shared = 0;     // rows marked with a record another row is marked with
  int Awaiting = 0;   // records whose mark a run has noted and not settled (not a discrepancy)
  int Cleared = 0;    // marks cleared by a repair
  int Unreadable = 0; // files, folders or selects that could not be read
  int Discrepancies() const { return Missing + OtherRow + Different + Unmarked + Shared; }
};

class TVerify {
 public:
  // Reads under shareRoot (ends in a path separator) through MainOdbc,
  // which must be connected; journalPath names a table's journal.
  TVerify(std::string shareRoot, std::function<std::string(const std::string&)> journalPath);

  // Report lines (without end of line); standard output when not set.
  std::function<void(const std::string&)> Out;
  // Progress for a person watching: a short text, or "" when the report
  // goes on; nothing when not set.
  std::function<void(const std::string&)> Progress;

  // Checks every table of the request and prints the summary; the exit code.
  int Run(const TVerifyRequest& request);
  TVerifyCounts Totals;

 private:
  class TTableCheck;
  bool CheckTable(const std::string& table, const TVerifyRequest& request, TVerifyCounts& counts);
  void Print(const std::string& line);

  std::string FShareRoot;
  std::function<std::string(const std::string&)> FJournalPath;
};

// "files 3, rows 10, records 11; missing 1, other row 0, ..." for a summary.
std::string SummaryText(const TVerifyCounts& counts);

}  // namespace tidewell
