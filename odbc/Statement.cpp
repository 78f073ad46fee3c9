#include "odbc/Statement.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/Text.h"
#include "logging/MessLog.h"
#include "odbc/MyThread.h"

#include "platform/System.h"

namespace tidewell {

namespace {

// The wait for a direct execution looks after its other duties this often.
constexpr std::uint32_t PollMs = 20;

// Bound text buffers are sized from the driver's display size; a driver that
// claims gigabytes for a non-long column gets this much and a truncated text
// rather than an allocation the process can't make.
constexpr std::int64_t MaxBoundText = 16 * 1024 * 1024;

std::string FromBuffer(const SQLCHAR* buffer, std::size_t capacity) {
  const char* p = reinterpret_cast<const char*>(buffer);
  return std::string(p, strnlen(p, capacity));
}

SQLPOINTER IntAttr(SQLULEN value) { return reinterpret_cast<SQLPOINTER>(value); }

}  // namespace

// -- construction and handle -------------------------------------------------

TODBCStatement::TODBCStatement(TODBC* Connection_, bool ReadOnly, bool Plain)
    : Connection(Connection_), Buffered(Connection_ && Connection_->BindColumns) {
  if (Connection && Connection->IsBound()) Allocated = Plain ? AllocPlain() : AllocCursor(ReadOnly);
  CancelRequest = false;
  Executing = false;
  if (!Allocated) return;
  auto& slots = Connection->Statements;
  auto free = std::find(slots.begin(), slots.end(), nullptr);
  if (free != slots.end())
    *free = this;
  else
    slots.push_back(this);
}

TODBCStatement::~TODBCStatement() {
  if (Connection) Detach();
}

void TODBCStatement::Detach() {
  if (!Connection) return;
  auto& slots = Connection->Statements;
  auto mine = std::find(slots.begin(), slots.end(), this);
  if (mine != slots.end()) *mine = nullptr;
  FreeHandle();
  FreeBuffers();
  Columns.Clear();
  Connection = nullptr;
}

bool TODBCStatement::AllocPlain() {
  if (OdbcSucceeded(Odbc.SQLAllocHandle(SQL_HANDLE_STMT, Connection->ConnHandle, &StmtHandle))) return true;
  StmtHandle = SQL_NULL_HSTMT;
  return false;
}

bool TODBCStatement::AllocCursor(bool ReadOnly) {
  if (!AllocPlain()) return false;

  if (ReadOnly) {
    ReportError(Odbc.SQLSetStmtAttr(StmtHandle, SQL_ATTR_CONCURRENCY, IntAttr(SQL_CONCUR_READ_ONLY), 0));
  } else {
    // The first concurrency the driver takes; none of them is essential.
    for (SQLULEN c : {SQL_CONCUR_ROWVER, SQL_CONCUR_VALUES, SQL_CONCUR_LOCK})
      if (Odbc.SQLSetStmtAttr(StmtHandle, SQL_ATTR_CONCURRENCY, IntAttr(c), 0) != SQL_ERROR) break;
  }
  Odbc.SQLSetStmtAttr(StmtHandle, SQL_ATTR_METADATA_ID, IntAttr(SQL_FALSE), SQL_IS_UINTEGER);
  ReportError(Odbc.SQLSetStmtAttr(StmtHandle, SQL_ATTR_CURSOR_TYPE, IntAttr(SQL_CURSOR_DYNAMIC), 0));

  // Oracle's keyset cursors and MySQL's static ones cost a full copy of the
  // result; a forward-only cursor is what the conversion needs anyway.
  const TodDriverKind kind = Connection->DriverKind;
  if (kind == dkOracle || kind == dkMySql) {
    SQLULEN type = 0;
    ReportError(Odbc.SQLGetStmtAttr(StmtHandle, SQL_ATTR_CURSOR_TYPE, &type, SQL_IS_INTEGER, nullptr));
    if ((kind == dkOracle && type == SQL_CURSOR_KEYSET_DRIVEN) || (kind == dkMySql && type == SQL_CURSOR_STATIC))
      ReportError(Odbc.SQLSetStmtAttr(StmtHandle, SQL_ATTR_CURSOR_TYPE, IntAttr(SQL_CURSOR_FORWARD_ONLY), 0));
  }

  SQLULEN type = 0;
  ReportError(Odbc.SQLGetStmtAttr(StmtHandle, SQL_ATTR_CURSOR_TYPE, &type, SQL_IS_INTEGER, nullptr));
  SQLUSMALLINT infoType = SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1;
  if (type == SQL_CURSOR_KEYSET_DRIVEN)
    infoType = SQL_KEYSET_CURSOR_ATTRIBUTES1;
  else if (type == SQL_CURSOR_DYNAMIC)
    infoType = SQL_DYNAMIC_CURSOR_ATTRIBUTES1;
  else if (type == SQL_CURSOR_STATIC)
    infoType = SQL_STATIC_CURSOR_ATTRIBUTES1;
  SQLUINTEGER mask = 0;
  ReportError(Odbc.SQLGetInfo(Connection->ConnHandle, infoType, &mask, sizeof mask, nullptr));

  const bool isStatic = type == SQL_CURSOR_STATIC;
  CanRefresh = !isStatic && (mask & SQL_CA1_POS_REFRESH);
  CanAbsolute = mask & SQL_CA1_ABSOLUTE;
  CanRelative = mask & SQL_CA1_RELATIVE;
  ForwardOnly = !CanAbsolute && !CanRelative;

  ReportError(Odbc.SQLSetStmtAttr(StmtHandle, SQL_ATTR_MAX_ROWS, IntAttr(0), 0));
  return true;
}

void TODBCStatement::ResetStatement() {
  ReportError(Odbc.SQLFreeStmt(StmtHandle, SQL_CLOSE));
  ReportError(Odbc.SQLFreeStmt(StmtHandle, SQL_UNBIND));
  ReportError(Odbc.SQLFreeStmt(StmtHandle, SQL_RESET_PARAMS));
}

void TODBCStatement::FreeHandle() {
  if (FStarted) {
    // An execution still under way finishes before its handle goes.
    WaitDirect();
    FStarted = false;
  }
  FWorker.reset();
  if (!Allocated) return;
  ReportError(Odbc.SQLCancel(StmtHandle));
  ResetStatement();
  ReportError(Odbc.SQLFreeHandle(SQL_HANDLE_STMT, StmtHandle));
  StmtHandle = SQL_NULL_HSTMT;
  Allocated = false;
}

void TODBCStatement::FreeBuffers() {
  Buffers.clear();
  BufferCount = 0;
  ForgetRow();
}

// -- execution ---------------------------------------------------------------

bool TODBCStatement::ExecSQL(const std::string& SQL, bool AsQuery) {
  return StartExecSQL(SQL) && FinishExecSQL(AsQuery);
}

bool TODBCStatement::StartExecSQL(const std::string& SQL) { return StartExecSQL(SQL, {}); }

bool TODBCStatement::ExecSQLParams(const std::string& SQL, const std::vector<std::string>& Params, bool AsQuery) {
  return StartExecSQL(SQL, Params) && FinishExecSQL(AsQuery);
}

void TODBCStatement::BindParams(const std::vector<std::string>& Params) {
  if (FParamsBound) ReportError(Odbc.SQLFreeStmt(StmtHandle, SQL_RESET_PARAMS));
  FParamsBound = false;
  FParams = Params;
  FParamLengths.assign(FParams.size(), 0);
  for (std::size_t i = 0; i < FParams.size(); ++i) {
    FParamLengths[i] = static_cast<SQLLEN>(FParams[i].size());
    // A column size of 0 is refused by some drivers even for an empty text.
    const SQLULEN size = std::max<SQLULEN>(FParams[i].size(), 1);
    ReportError(Odbc.SQLBindParameter(StmtHandle, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR,
                                      SQL_VARCHAR, size, 0, FParams[i].data(), FParamLengths[i],
                                      &FParamLengths[i]));
    FParamsBound = true;
  }
}

SQLLEN TODBCStatement::RowCount() {
  WaitForOtherCalls();
  if (FLastReturn == SQL_NO_DATA) return 0;
  if (!OdbcSucceeded(FLastReturn) || !Allocated || !Connection) return -1;
  SQLLEN rows = -1;
  if (!OdbcSucceeded(Odbc.SQLRowCount(StmtHandle, &rows))) return -1;
  return rows;
}

bool TODBCStatement::StartExecSQL(const std::string& SQL, const std::vector<std::string>& Params) {
  WaitForOtherCalls();
  if (!Allocated || !Connection || FStarted) return false;
  if (FParamsBound || !Params.empty()) BindParams(Params);
  Odbc.SQLFreeStmt(StmtHandle, SQL_UNBIND);
  ReportError(Odbc.SQLFreeStmt(StmtHandle, SQL_CLOSE));
  LastSQL = SQL;
  ForgetRow();
  FStartTick = platform::GetTickCount();
  CancelRequest = false;
  FSlot = TMyThread::Pending;
  Executing = true;
  if (!FWorker) FWorker = std::make_unique<TMyThread>(StmtHandle);
  FWorker->Run(SQL, &FSlot);
  FStarted = true;
  return true;
}

bool TODBCStatement::FinishExecSQL(bool AsQuery) {
  if (!FStarted) return false;
  const SQLRETURN ret = WaitDirect();
  FStarted = false;
  LogTimeOver(platform::GetTickCount() - FStartTick, "DoSQL", LastSQL);
  return Classify(ret, AsQuery);
}

// What an execution's return code means for the caller (see ExecSQL).
bool TODBCStatement::Classify(SQLRETURN ret, bool AsQuery) {
  WaitForOtherCalls();
  Eof = false;
  FLastReturn = ret;
  // The command word comes from the first six characters as written: a text
  // with leading blanks is not taken for a query unless AsQuery says so.
  const std::string& SQL = LastSQL;
  const std::string command = Trim(UpperCase(SQL.substr(0, 6)));
  if (OdbcSucceeded(ret)) {
    DescribeColumns();
    if ((command == "SELECT" || AsQuery) && ThirdWord(SQL) != "INTO") {
      const bool fetched = Skip(sdNext, 1);
      Eof = !fetched;
      return fetched || Connection->AcceptEmptyResult;
    }
    return true;
  }
  if (ret == SQL_NO_DATA) {
    Eof = true;
    return command == "INSERT" || command == "DELETE" || command == "UPDATE";
  }
  // A statement that fails leaves its reason in the log: callers only see
  // false, and an unattended service has no other place to show it.
  ReportError(ret);
  return false;
}

// The drivers are registered without the driver manager's serialisation
// (Threading = 0): a connection must never be called from two threads at
// once. While another statement of this connection has a call running on
// its worker, every call of this one waits for it to return first. The
// conversion orders its work so that this never has to wait; the count
// shows whether it did.
void TODBCStatement::WaitForOtherCalls() {
  if (!Connection) return;
  for (TODBCStatement* other : Connection->Statements) {
    if (!other || other == this || !other->FStarted || other->FSlot.load() != TMyThread::Pending) continue;
    ++Connection->SerialisedWaits;
    while (other->FSlot.load() == TMyThread::Pending) other->FWorker->WaitForResult(PollMs);
  }
}

SQLRETURN TODBCStatement::WaitDirect() {
  // The caller sleeps on the worker's condition, which wakes it as soon as
  // the result is stored; the slices only bound how long service requests
  // and a cancellation wait.
  // A stop lets a statement finish the row in hand, but one still running
  // the grace period later (a lock wait, a server that went silent) is
  // cancelled, so the service ends within seconds whatever the server does.
  std::optional<std::uint32_t> stopSeen;
  std::uint32_t lastCancel = 0;
  bool cancelled = false;
  while (FSlot.load() == TMyThread::Pending) {
    if (Connection && Connection->ServiceThread) Connection->ServiceThread();
    if (!CancelRequest && Connection && Connection->StopWanted && Connection->StopWanted()) {
      const std::uint32_t now = platform::GetTickCount();
      if (!stopSeen) stopSeen = now;
      if (now - *stopSeen >= Connection->StopGraceMs) CancelRequest = true;
    }
    // A cancel that reaches the driver before the server has the statement
    // does nothing: it is sent again each second until the call returns.
    if (CancelRequest && (!cancelled || platform::GetTickCount() - lastCancel >= 1000)) {
      Odbc.SQLCancel(StmtHandle);
      lastCancel = platform::GetTickCount();
      cancelled = true;
    }
    FWorker->WaitForResult(PollMs);
  }
  Executing = false;
  return static_cast<SQLRETURN>(FSlot.load());
}

std::string ThirdWord(const std::string& Text) {
  // Positions count from 1, 0 standing for none, so that a text with fewer
  // than three words yields its last word rather than nothing: p1 is the first blank (0 if none),
  // p2 the first blank after it, counted from p1 (0 if none).
  const std::size_t b1 = Text.find(' ');
  const std::size_t p1 = b1 == std::string::npos ? 0 : b1 + 1;
  const std::size_t b2 = Text.find(' ', p1);
  const std::size_t p2 = b2 == std::string::npos ? 0 : b2 - p1 + 1;
  const std::size_t from = p1 + p2;  // 0-based index of position p1 + p2 + 1
  std::string rest = from < Text.size() ? Trim(UpperCase(Text.substr(from))) : std::string();
  const std::size_t blank = rest.find(' ');
  if (blank != std::string::npos) rest.resize(blank);
  return rest;
}

// -- result description and cursor movement ---------------------------------

void TODBCStatement::DescribeColumns() {
  Columns.Clear();
  ForgetRow();
  SQLSMALLINT n = 0;
  if (!OdbcSucceeded(Odbc.SQLNumResultCols(StmtHandle, &n)) || n < 0) n = 0;
  if (Buffered) {
    FreeBuffers();
    Buffers.resize(static_cast<std::size_t>(n));
    BufferCount = n;
  }

  for (SQLUSMALLINT k = 1; k <= static_cast<SQLUSMALLINT>(n); ++k) {
    SQLCHAR name[254] = {};
    SQLSMALLINT sqlType = SQL_CHAR;
    std::int64_t size = 0;
    if (Connection->UseDescribeCol) {
      SQLSMALLINT nameLen = 0, decimals = 0, nullable = 0;
      SQLULEN columnSize = 0;
      ReportError(Odbc.SQLDescribeCol(StmtHandle, k, name, sizeof name, &nameLen, &sqlType, &columnSize, &decimals,
                                      &nullable));
      size = static_cast<std::int64_t>(columnSize);
    } else {
      SQLSMALLINT nameLen = 0;
      ReportError(Odbc.SQLColAttribute(StmtHandle, k, SQL_DESC_NAME, name, sizeof name, &nameLen, nullptr));
      SQLLEN displaySize = 0;
      ReportError(Odbc.SQLColAttribute(StmtHandle, k, SQL_DESC_DISPLAY_SIZE, nullptr, 0, nullptr, &displaySize));
      size = displaySize;
      SQLLEN type = 0;
      if (OdbcSucceeded(Odbc.SQLColAttribute(StmtHandle, k, SQL_DESC_CONCISE_TYPE, nullptr, 0, nullptr, &type)))
        sqlType = static_cast<SQLSMALLINT>(type & 0xFFFF);
      else
        sqlType = SQL_CHAR;
    }
    const TodDataKind kind = DataKindOf(sqlType);
    if (kind == odUnknown) size = 0;
    const std::int32_t described = static_cast<std::int32_t>(std::clamp<std::int64_t>(size, INT32_MIN, INT32_MAX));
    const int index = Columns.AddColumn(FromBuffer(name, sizeof name), kind, described);

    if (!Buffered) continue;
    TodBytes& buffer = Buffers[static_cast<std::size_t>(index)];
    if (kind == odMemo) {
      buffer.assign(1, 0);
      continue;
    }
    std::int64_t s = described <= 0 ? 10 : described;
    if (kind == odInteger || kind == odFloat) s += 20;
    s = std::min(s, MaxBoundText);
    buffer.assign(static_cast<std::size_t>(s + 2), 0);
    TColInfo& info = Columns[index];
    info.Indicator = static_cast<SQLLEN>(s + 1);
    ReportError(Odbc.SQLBindCol(StmtHandle, k, SQL_C_CHAR, buffer.data(), static_cast<SQLLEN>(s + 1), &info.Indicator));
  }
}

void TODBCStatement::ClearBuffers() {
  for (auto& b : Buffers)
    if (!b.empty()) b[0] = 0;
}

bool TODBCStatement::Skip(std::uint8_t Direction, std::int32_t Offset) {
  WaitForOtherCalls();
  if (!Allocated || !Connection) return false;
  if (Buffered) ClearBuffers();
  ForgetRow();

  SQLSMALLINT orientation = 0;  // 0: plain SQLFetch; -1: not allowed
  switch (Direction) {
    case sdNext: orientation = 0; break;
    case sdFirst: orientation = CanAbsolute ? SQL_FETCH_FIRST : -1; break;
    case sdLast: orientation = CanAbsolute ? SQL_FETCH_LAST : -1; break;
    case sdPrior: orientation = CanRelative ? SQL_FETCH_PRIOR : -1; break;
    case sdAbsolute: orientation = CanAbsolute ? SQL_FETCH_ABSOLUTE : -1; break;
    case sdRelative: orientation = CanRelative ? SQL_FETCH_RELATIVE : -1; break;
    default: orientation = -1; break;
  }

  const std::uint32_t start = platform::GetTickCount();
  SQLRETURN ret = SQL_ERROR;
  if (ForwardOnly || orientation == 0)
    ret = Odbc.SQLFetch(StmtHandle);
  else if (orientation > 0)
    ret = Odbc.SQLFetchScroll(StmtHandle, orientation,
                              orientation == SQL_FETCH_ABSOLUTE || orientation == SQL_FETCH_RELATIVE ? Offset : 0);
  LogTimeOver(platform::GetTickCount() - start, "dbSkip", LastSQL);
  FetchFailed = !OdbcSucceeded(ret) && ret != SQL_NO_DATA;
  return OdbcSucceeded(ret);
}

// -- reporting ---------------------------------------------------------------

void TODBCStatement::LogTimeOver(std::uint32_t ElapsedMs, const std::string& Label, const std::string& SQL) {
  if (!Connection || Connection->TimeOverMs == 0 || ElapsedMs < Connection->TimeOverMs || !Connection->Log) return;
  Connection->Log->Flush(
      Format("%15s #%.2d: %.3f secs '%s'  %s", "*** TIMEOVR ***", 0, ElapsedMs / 1000.0, Label, SQL));
}

void TODBCStatement::ReportError(SQLRETURN Code) {
  if (!Connection || !Connection->ReportErrors || OdbcSucceeded(Code)) return;
  std::string message;
  for (SQLSMALLINT rec = 1; GetDiagMessage(rec, message); ++rec) {
    if (Connection->Log)
      Connection->Log->Flush(message);
    else
      platform::ShowMessageBox("Stmt Error: " + message, "", platform::TBoxKind::Error);
  }
}

bool TODBCStatement::GetDiagMessage(SQLSMALLINT RecNumber, std::string& Message) {
  std::string state;
  Message.clear();
  if (!OdbcSucceeded(GetDiagRecord(RecNumber, state, Message)) || state == "IM001") {
    Message.clear();
    return false;
  }
  Message += ". State:  " + state;
  return true;
}

SQLRETURN TODBCStatement::GetDiagRecord(SQLSMALLINT RecNumber, std::string& State, std::string& Message,
                                        SQLINTEGER* Native) {
  State.clear();
  Message.clear();
  if (!Connection || StmtHandle == SQL_NULL_HSTMT) return SQL_INVALID_HANDLE;
  const SQLRETURN ret = ReadDiagRecord(SQL_HANDLE_STMT, StmtHandle, RecNumber, State, Message, Native);
  if (!State.empty()) CheckConnectionLost(*Connection, State, Message);
  return ret;
}

}  // namespace tidewell
