// TODBCStatement: one statement handle on a connected TODBC.
//
// Usage: construct on a connection; ExecSQL (or ExecSQLFmt); when it returns
// true for a query, read the current row with the Field* getters and call
// Skip(0, 1) for each further row until it returns false; destroy. A
// statement can be executed again any number of times; each execution closes
// the previous cursor.
//
// Direct execution runs SQLExecDirect on the statement's worker thread
// (TMyThread, started by the first execution and kept until the handle
// goes) while the caller sleeps on its answer, so the service can answer control requests and the
// statement can be cancelled meanwhile.
//
// Values are read in one of two modes fixed at construction by the
// connection's BindColumns: bound-column mode binds every column but long
// text to a text buffer filled by each fetch; otherwise every read calls
// SQLGetData. Long text (odMemo) is always read with SQLGetData, and dates
// and times are always read as text.
//
// A statement is registered with its connection while its handle exists.
// When the connection disconnects first, it releases the statement's handle
// and detaches it: the object stays valid for its owner to delete, and every
// operation on it then fails without calling the driver.
#pragma once

#include <atomic>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/DateTime.h"
#include "common/Format.h"
#include "odbc/Columns.h"
#include "odbc/Connection.h"
#include "odbc/MyThread.h"

namespace tidewell {

// Fetch directions of TODBCStatement::Skip.
inline constexpr std::uint8_t sdNext = 0, sdFirst = 1, sdLast = 2, sdPrior = 3, sdAbsolute = 4, sdRelative = 5;

class TODBCStatement {
 public:
  // ReadOnly asks for a read-only cursor; Plain allocates a bare handle with
  // the driver's default (forward-only) cursor and sets nothing.
  TODBCStatement(TODBC* Connection, bool ReadOnly, bool Plain);
  virtual ~TODBCStatement();
  TODBCStatement(const TODBCStatement&) = delete;
  TODBCStatement& operator=(const TODBCStatement&) = delete;

  TODBC* Connection = nullptr;
  SQLHSTMT StmtHandle = SQL_NULL_HSTMT;
  bool Allocated = false;
  TColInfoList Columns;
  bool Buffered = false;
  std::vector<TodBytes> Buffers;
  std::int32_t BufferCount = 0;
  bool ForwardOnly = false;
  bool Eof = false;
  // The last Skip failed for another reason than the end of the rows (a
  // lost link, a driver error): rows may be left that were never read.
  bool FetchFailed = false;
  bool CanRefresh = false;
  bool CanAbsolute = false;
  bool CanRelative = false;
  // May be set from another thread while an execution is awaited.
  std::atomic<bool> CancelRequest{false};
  std::atomic<bool> Executing{false};
  std::string LastSQL;

  // Runs the text. For a query (first word SELECT, or AsQuery) the first row
  // is fetched and the result is whether there was one (or the connection's
  // AcceptEmptyResult); an INSERT, UPDATE or DELETE that touched no row
  // still succeeds. A failed execution is reported like any other failed
  // call, then gives false.
  bool ExecSQL(const std::string& SQL, bool AsQuery = false);
  // Formats the text first; a template that does not fit its arguments raises
  // EFormatError.
  template <typename... Args>
  bool ExecSQLFmt(std::string_view Template, const Args&... args) {
    return ExecSQL(Format(Template, args...));
  }
  // ExecSQL in two halves, for a caller with other work to do while the
  // server answers: StartExecSQL hands the text to the statement's worker
  // and returns at once (false when the statement can't run anything);
  // FinishExecSQL waits for the answer and gives ExecSQL's result. Nothing
  // else may be done with this statement in between.
  bool StartExecSQL(const std::string& SQL);
  bool FinishExecSQL(bool AsQuery = false);

  // The same with each '?' of the text taken by one text value, in order,
  // handed to the driver as a bound parameter: nothing in a value can
  // change the statement, whatever quotes or backslashes it holds. The
  // values stay bound for this execution only.
  bool StartExecSQL(const std::string& SQL, const std::vector<std::string>& Params);
  bool ExecSQLParams(const std::string& SQL, const std::vector<std::string>& Params, bool AsQuery = false);

  // Rows the last INSERT, UPDATE or DELETE changed: 0 when the driver
  // answered SQL_NO_DATA, -1 when the execution failed or the driver does
  // not say.
  SQLLEN RowCount();

  // Moves the cursor: one of the sd* directions; Offset for absolute and
  // relative moves. True when a row was fetched. Never reported.
  bool Skip(std::uint8_t Direction, std::int32_t Offset);

  // Values of the current row by column name (any letter case).
  int FieldIndex(const std::string& Name) const;
  std::string FieldAsString(const std::string& Name);
  // The value exactly as the driver gives it, untrimmed; nothing for NULL
  // or a missing column. For naming a row in SQL, where a trimmed value
  // would name another row or none.
  std::optional<std::string> FieldAsExactText(const std::string& Name);
  std::int32_t FieldAsInteger(const std::string& Name);
  bool FieldAsBoolean(const std::string& Name);
  // Today at 00:00 when the column is missing or holds no date or time.
  TDateTime FieldAsDateTime(const std::string& Name);

  // Releases handle, buffers and registry slot and forgets the connection.
  // Called by the connection when it disconnects before the statement goes.
  void Detach();

  // Building blocks, public for the layer's own tests.
  TodDataKind ColumnKind(int Index) const;
  std::int32_t ColumnSize(int Index) const;
  SQLLEN GetData(int Index, SQLSMALLINT TargetType, SQLPOINTER Buffer, SQLLEN BufferLength);
  SQLLEN DataLength(int Index, TodDataKind Kind);
  std::string ColumnText(int Index);
  void LogTimeOver(std::uint32_t ElapsedMs, const std::string& Label, const std::string& SQL);
  void ReportError(SQLRETURN Code);
  bool GetDiagMessage(SQLSMALLINT RecNumber, std::string& Message);
  SQLRETURN GetDiagRecord(SQLSMALLINT RecNumber, std::string& State, std::string& Message,
                          SQLINTEGER* Native = nullptr);

 private:
  bool AllocPlain();
  bool AllocCursor(bool ReadOnly);
  SQLRETURN WaitDirect();
  bool Classify(SQLRETURN ret, bool AsQuery);
  void DescribeColumns();
  void ClearBuffers();
  void ResetStatement();
  void FreeHandle();
  void FreeBuffers();
  void ForgetRow() { FRowTexts.clear(); }
  void BindParams(const std::vector<std::string>& Params);
  void WaitForOtherCalls();

  // One value of the current row as read from the driver: whole, untrimmed,
  // and whether it was NULL.
  struct TCell {
    bool Null = true;
    std::string Text;
  };
  const TCell& Cell(int Index);
  void ReadWhole(int Index, TCell& Cell);

  // Values read on the current row, by column index. Drivers differ in
  // whether a column can be read twice on one row (MariaDB's connector
  // answers SQL_NO_DATA to a second read of the same column even after a
  // refresh), so each value is fetched from the driver once per row and
  // served from here afterwards.
  std::vector<std::optional<TCell>> FRowTexts;
  std::vector<char> FScratch;
  // Texts bound to the '?' markers of the execution under way, with their
  // length cells; they must stay put until the driver has run it.
  std::vector<std::string> FParams;
  std::vector<SQLLEN> FParamLengths;
  bool FParamsBound = false;
  SQLRETURN FLastReturn = SQL_ERROR;
  // The worker that runs this statement's direct executions, and the
  // execution under way.
  std::unique_ptr<TMyThread> FWorker;
  std::atomic<std::int32_t> FSlot{TMyThread::Pending};
  bool FStarted = false;
  std::uint32_t FStartTick = 0;
};

// The third blank-separated word of Text, upper-cased (see ExecSQL).
std::string ThirdWord(const std::string& Text);

// Characters of a buffer up to its first zero byte, trimmed of codes 0-32.
std::string BufferText(const TodBytes& Buffer);

// Fixed-position parsing of the driver's date and time texts; 0 when the
// text does not name a real date or time. Fractions of seconds are ignored.
TDateTime ParseDate(const std::string& Text);       // YYYY-MM-DD
TDateTime ParseTime(const std::string& Text);       // hh:mm:ss
TDateTime ParseDateTime(const std::string& Text);   // YYYY-MM-DD hh:mm:ss

}  // namespace tidewell
