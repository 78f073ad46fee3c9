// How the conversion names one source row in SQL: by its machine and its
// rec_num, the two columns that identify a row of `weight` or `action`.
//
// Everything that writes, reads back or re-selects one row goes through
// here, so that no value read from a row ever reaches SQL unquoted:
//  - a numeric column's value that is a plain number goes in as that number
//    ("rec_num=1234"), as the server compares it best;
//  - a text column's value, or anything else (a number column that holds
//    text, as SQLite allows), goes in as a bound parameter ("rec_num=?"),
//    whatever quotes, backslashes or SQL it holds; comparing a text column
//    with a bare number would also fail in MariaDB's strict mode as soon as
//    another row holds a non-number;
//  - machine 0 also names the rows whose machine is NULL, which share the
//    00 file: "(machine=0 or machine is null)".
// A row whose rec_num is NULL, or whose machine no file name can hold (a
// number beyond int, a fraction, text), can't be named on its own:
// ReadRowKey says why, and such a row is left unconverted.
//
// Usage, on the select statement's current row:
//   TRowKey key;
//   if (ReadRowKey(select, key) != rkNamed) { /* leave the row, log it */ }
//   TMarkResult m = MarkRow(update, "weight", key, 15);   // update ... set convtd=15
//   if (!m.Executed || m.Rows <= 0) { /* refused, or marked already: see ReadRowMark */ }
//   TReadBack r = ReadRowMark(other, "weight", key);      // its convtd now
//   if (SelectRow(other, "weight", key)) other.FieldAsString("note");
// A run marks many rows in one statement and reads their marks back in
// another (MarkRows, ReadRowMarks): two round trips for a whole batch.
// What a read-back means for a row's record is decided in one place,
// ReadingOf (Marks.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "odbc/SqlHeaders.h"

namespace tidewell {

class TODBCStatement;

struct TRowKey {
  // The number the row is filed under (its .dbf file name); NULL reads as 0.
  int Machine = 0;
  // The machine value as read ("" for NULL) and whether its column is text.
  bool MachineNull = true;
  std::string MachineValue;
  bool MachineIsText = false;
  // rec_num exactly as read (untrimmed), and whether its column is text.
  std::string RecNum;
  bool RecNumIsText = false;

  // The SQL condition that names the row, with one '?' for each entry of
  // Params(), in order: "machine=7 and rec_num=1234",
  // "(machine=0 or machine is null) and rec_num=?".
  std::string Condition() const;
  std::vector<std::string> Params() const;
  // The condition with its values: equal for two keys exactly when they
  // name the same rows.
  std::string Text() const;
};

enum TRowKeyState {
  rkNamed,       // the key is complete
  rkNoRecNum,    // rec_num is NULL (or missing, or of a type not read)
  rkBadMachine,  // machine is not a whole number within int
};

// Reads the key of the statement's current row (any statement whose result
// has the columns machine and rec_num; a missing machine reads as NULL).
TRowKeyState ReadRowKey(TODBCStatement& Row, TRowKey& Key);

// The machine number a value names, as a file name holds it: a whole number
// within int ("7", "-3", "0012"; "7.00" only from a numeric column). False
// for anything else ("7.5", "99999999999", "seven", "").
bool MachineNumber(const std::string& Value, bool FromText, int& Machine);

// ---- marking a row ----------------------------------------------------------

struct TMarkResult {
  // The update ran. False: the server refused it, or the link is gone (the
  // statement's connection then has ConnectionLost set).
  bool Executed = false;
  // Rows the update changed when it ran: 0 means the row was not marked
  // (deleted meanwhile, or the key no longer names it), more than 1 means
  // rows share machine and rec_num; -1 when the driver does not say.
  SQLLEN Rows = -1;
  // When it did not run: the server's first diagnostic (SQLSTATE, the
  // driver's native code, the message).
  std::string State;
  SQLINTEGER Native = 0;
  std::string Message;
};

// True for a refusal the server will give every row of the table alike: the
// user may not update it, the table, column or view can't be changed, the
// server or transaction is read-only. Told by SQLSTATE and, for a MySQL or
// MariaDB server, by its error number; a refusal of one row (a trigger, a
// constraint, a lock wait, a deadlock) is not one.
bool RefusedForEveryRow(const TMarkResult& Result, int DriverKind, const std::string& ConnectString);

// "update <table> set convtd=<RecNo> where <key> and ifnull(convtd,0)=0".
// A mark only ever takes a row that is still unconverted: a row another
// converter (or anyone) marked meanwhile is left as it is and the update
// changes no row.
TMarkResult MarkRow(TODBCStatement& Update, const std::string& Table, const TRowKey& Key, long RecNo);

// One row's part in a statement that marks many.
struct TMarkRequest {
  const TRowKey* Key = nullptr;
  long RecNo = 0;
  // The mark the row holds now: 0 for an unconverted row (NULL or 0), else
  // the number this run gave it before its record moved.
  std::int32_t Holds = 0;
};

// The marks of many rows in one statement:
//   update <table> set convtd=case when <key1> then <n1> when <key2> then <n2> ... end
//    where (<key1> and ifnull(convtd,0)=0) or (<key2> and convtd=<held2>) ...
// Each row named by a request's key takes that request's number when it
// still holds what the request says it holds; rows two requests name take
// the first one's number. Rows says how many changed in all, which tells
// nothing about any one of them: ReadRowMarks does. The keys of one
// statement must be distinct.
TMarkResult MarkRows(TODBCStatement& Update, const std::string& Table, const std::vector<TMarkRequest>& Requests);
// Requests per statement: far below the drivers' limits on parameters and
// on the depth of an expression (SQLite allows 1000).
inline constexpr int MaxMarksPerStatement = 128;
// "update <table> set convtd=0 where <key> and convtd=<RecNo>": clears the
// row's mark only while it is still RecNo, the mark this program gave it.
TMarkResult UnmarkRow(TODBCStatement& Update, const std::string& Table, const TRowKey& Key, long RecNo);

// ---- reading a row back -----------------------------------------------------

enum TReadBackState {
  rbFound,     // the row is there; Convtd holds its mark (0 for NULL or 0)
  rbGone,      // no row has the key (deleted meanwhile)
  rbFailed,    // the select failed for a statement or data error (logged by
               // the statement layer); the link is there
  rbLinkLost,  // the link to the server is gone: nothing is known
};

struct TReadBack {
  TReadBackState State = rbFailed;
  std::int32_t Convtd = 0;
};

// "select convtd from <table> where <key>" on Statement. The one place that
// reads a row's mark back.
TReadBack ReadRowMark(TODBCStatement& Statement, const std::string& Table, const TRowKey& Key);

struct TReadBacks {
  TReadBackState State = rbFailed;
  // When found: for each key asked about, the marks of the rows it names
  // (none when no row has it), in no particular order.
  std::vector<std::vector<std::int32_t>> Marks;
};

// The marks of the rows of many keys in one select:
//   select case when <key1> then 0 when <key2> then 1 ... end as k, convtd
//     from <table> where <key1> or <key2> ...
// A key given twice gets the same marks twice. State is rbFound whenever
// the select ran (the rows of a key may still be none).
TReadBacks ReadRowMarks(TODBCStatement& Statement, const std::string& Table, const std::vector<const TRowKey*>& Keys);

// "select * from <table> where <key>": true when Statement stands on the
// row (the first, should rows share the key). False when there is none or
// the select failed (the connection's ConnectionLost tells a lost link).
bool SelectRow(TODBCStatement& Statement, const std::string& Table, const TRowKey& Key);

}  // namespace tidewell
