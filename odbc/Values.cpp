// Reading the values of the current row (members of TODBCStatement) and the
// column descriptions they rely on.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "common/Clock.h"
#include "common/Text.h"
#include "odbc/Statement.h"

namespace tidewell {

TodDataKind DataKindOf(SQLSMALLINT sqlType) {
  switch (sqlType) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return odString;
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIGINT:
      return odInteger;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE:
      return odFloat;
    case SQL_BIT:
      return odBoolean;
    case SQL_TYPE_DATE:
      return odDate;
    case SQL_TIME:
    case SQL_TYPE_TIME:
      return odTime;
    case SQL_DATETIME:
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIMESTAMP:
      return odDateTime;
    case SQL_LONGVARCHAR:
      return odMemo;
    default:
      return odUnknown;
  }
}

int TColInfoList::AddColumn(const std::string& Name, TodDataKind Kind, std::int32_t Size) {
  auto info = std::make_unique<TColInfo>();
  info->Name = UpperCase(Name.substr(0, MaxColumnName));
  info->DataKind = Kind;
  info->Size = Size;
  FItems.push_back(std::move(info));
  return Count() - 1;
}

// -- fixed-position date and time texts -------------------------------------

namespace {

// One field of a date or time text: Length characters from 1-based Pos (as
// far as the text goes). Optional leading blanks, an optional sign and digits
// read as a number; anything else gives the default.
int Field(const std::string& text, std::size_t pos, std::size_t length, int defaultValue) {
  if (pos > text.size()) return defaultValue;
  std::string_view f(text);
  f = f.substr(pos - 1, length);
  while (!f.empty() && f.front() == ' ') f.remove_prefix(1);
  if (!f.empty() && f.front() == '+') f.remove_prefix(1);
  if (f.empty()) return defaultValue;
  int value = 0;
  auto [end, ec] = std::from_chars(f.data(), f.data() + f.size(), value);
  if (ec != std::errc() || end != f.data() + f.size()) return defaultValue;
  return value;
}

bool DatePart(const std::string& text, TDateTime& date) {
  return TryEncodeDate(Field(text, 1, 4, 1899), Field(text, 6, 2, 12), Field(text, 9, 2, 30), date);
}

bool TimePart(const std::string& text, std::size_t at, TDateTime& time) {
  const int h = Field(text, at, 2, 0), m = Field(text, at + 3, 2, 0), s = Field(text, at + 6, 2, 0);
  if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59) return false;
  return TryEncodeTime(h, m, s, 0, time);
}

// Whole decimal number with an optional sign, within 32 bits; else 0.
std::int32_t DecimalOrZero(const std::string& text) {
  std::string_view v(text);
  if (!v.empty() && v.front() == '+') v.remove_prefix(1);
  std::int32_t value = 0;
  auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
  if (v.empty() || ec != std::errc() || end != v.data() + v.size()) return 0;
  return value;
}

// A numeric literal (digits, sign, fraction, exponent) with its fraction cut
// off, when the whole value fits 32 bits; else 0. This is the character to
// integer conversion of ODBC drivers, so it also reads numeric columns
// fetched as text.
std::int32_t NumericOrZero(const std::string& text) {
  if (text.empty()) return 0;
  std::int32_t whole = 0;
  std::string_view v(text);
  if (!v.empty() && v.front() == '+') v.remove_prefix(1);
  auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), whole);
  if (ec == std::errc() && end == v.data() + v.size()) return whole;
  double value = 0;
  auto [dend, dec] = std::from_chars(v.data(), v.data() + v.size(), value);
  if (dec != std::errc() || dend != v.data() + v.size() || !std::isfinite(value)) return 0;
  value = std::trunc(value);
  if (value < INT32_MIN || value > INT32_MAX) return 0;
  return static_cast<std::int32_t>(value);
}

}  // namespace

TDateTime ParseDate(const std::string& Text) {
  TDateTime date = 0;
  return DatePart(Text, date) ? date : 0;
}

TDateTime ParseTime(const std::string& Text) {
  TDateTime time = 0;
  return TimePart(Text, 1, time) ? time : 0;
}

TDateTime ParseDateTime(const std::string& Text) {
  TDateTime date = 0, time = 0;
  if (!DatePart(Text, date) || !TimePart(Text, 12, time)) return 0;
  return CombineDateTime(date, time);
}

std::string BufferText(const TodBytes& Buffer) {
  return Trim(std::string_view(Buffer.data(), strnlen(Buffer.data(), Buffer.size())));
}

// -- column access -----------------------------------------------------------

int TODBCStatement::FieldIndex(const std::string& Name) const {
  const std::string wanted = UpperCase(Name);
  for (int i = 0; i < Columns.Count(); ++i)
    if (Columns[i].Name == wanted) return i;
  return -1;
}

TodDataKind TODBCStatement::ColumnKind(int Index) const {
  return Index >= 0 && Index < Columns.Count() ? Columns[Index].DataKind : odUnknown;
}

std::int32_t TODBCStatement::ColumnSize(int Index) const {
  return Index >= 0 && Index < Columns.Count() ? Columns[Index].Size : -1;
}

SQLLEN TODBCStatement::GetData(int Index, SQLSMALLINT TargetType, SQLPOINTER Buffer, SQLLEN BufferLength) {
  WaitForOtherCalls();
  SQLLEN indicator = 0;
  if (!Allocated || !Connection) return indicator;
  const auto column = static_cast<SQLUSMALLINT>(Index + 1);
  // A driver answers SQL_NO_DATA for a column already read on this row;
  // refreshing the row makes it readable again where the cursor allows.
  if (Odbc.SQLGetData(StmtHandle, column, TargetType, Buffer, BufferLength, &indicator) == SQL_NO_DATA &&
      CanRefresh && Odbc.SQLSetPos(StmtHandle, 1, SQL_REFRESH, SQL_LOCK_NO_CHANGE) != SQL_ERROR)
    Odbc.SQLGetData(StmtHandle, column, TargetType, Buffer, BufferLength, &indicator);
  return indicator;
}

SQLLEN TODBCStatement::DataLength(int Index, TodDataKind Kind) {
  if (Kind != odMemo) return ColumnSize(Index);
  char scratch[4];
  return GetData(Index, SQL_C_CHAR, scratch, 0);
}

// Reads a value piece by piece until the driver has handed over all of it:
// a driver answers 01004 (data truncated) with the length still to come, or
// SQL_NO_TOTAL, and gives the rest on the next call. A text is never cut at
// the size the driver described, which counts characters, not bytes.
void TODBCStatement::ReadWhole(int Index, TCell& Cell) {
  WaitForOtherCalls();
  Cell = TCell{};
  if (!Allocated || !Connection) return;
  const auto column = static_cast<SQLUSMALLINT>(Index + 1);
  // One buffer serves every read of the statement; it only grows.
  const std::int64_t described = ColumnSize(Index);
  std::vector<char>& chunk = FScratch;
  const auto wanted = static_cast<std::size_t>(std::clamp<std::int64_t>(described * 4 + 1, 256, 1 << 16));
  if (chunk.size() < wanted) chunk.resize(wanted);
  for (bool first = true;; first = false) {
    SQLLEN indicator = 0;
    SQLRETURN ret = Odbc.SQLGetData(StmtHandle, column, SQL_C_CHAR, chunk.data(), static_cast<SQLLEN>(chunk.size()),
                                    &indicator);
    // A driver answers SQL_NO_DATA for a column already read on this row;
    // refreshing the row makes it readable again where the cursor allows.
    if (first && ret == SQL_NO_DATA && CanRefresh && Odbc.SQLSetPos(StmtHandle, 1, SQL_REFRESH, SQL_LOCK_NO_CHANGE) != SQL_ERROR)
      ret = Odbc.SQLGetData(StmtHandle, column, SQL_C_CHAR, chunk.data(), static_cast<SQLLEN>(chunk.size()),
                            &indicator);
    if (!OdbcSucceeded(ret)) return;  // the end of the value, or nothing to read
    if (indicator == SQL_NULL_DATA) {
      Cell.Null = true;
      return;
    }
    Cell.Null = false;
    const auto room = static_cast<SQLLEN>(chunk.size() - 1);
    if (indicator != SQL_NO_TOTAL && indicator >= 0 && indicator <= room) {
      Cell.Text.append(chunk.data(), static_cast<std::size_t>(indicator));
      return;
    }
    if (indicator < 0 && indicator != SQL_NO_TOTAL) return;
    // The buffer is full and more is to come.
    Cell.Text.append(chunk.data(), strnlen(chunk.data(), static_cast<std::size_t>(room)));
    if (ret == SQL_SUCCESS) return;  // a driver that says it is done is believed
    if (indicator != SQL_NO_TOTAL && indicator - room + 1 > static_cast<SQLLEN>(chunk.size()))
      chunk.resize(static_cast<std::size_t>(std::min<SQLLEN>(indicator - room + 1, 1 << 24)));
  }
}

const TODBCStatement::TCell& TODBCStatement::Cell(int Index) {
  if (FRowTexts.size() < static_cast<std::size_t>(Columns.Count()))
    FRowTexts.resize(static_cast<std::size_t>(Columns.Count()));
  auto& cached = FRowTexts[static_cast<std::size_t>(Index)];
  if (cached) return *cached;
  TCell& cell = cached.emplace();
  const TodDataKind kind = ColumnKind(Index);
  if (Buffered && kind != odMemo) {
    if (Index >= BufferCount) return cell;
    const TodBytes& buffer = Buffers[static_cast<std::size_t>(Index)];
    const SQLLEN indicator = Columns[Index].Indicator;
    if (indicator == SQL_NULL_DATA) return cell;
    cell.Null = false;
    cell.Text.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
    // The bound buffer was sized from the described size; a longer value
    // (multibyte text, or a database that does not hold a column to its
    // declared size) is read again whole.
    if (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(buffer.size()) - 1) {
      TCell whole;
      ReadWhole(Index, whole);
      if (!whole.Null && whole.Text.size() > cell.Text.size()) cell = std::move(whole);
    }
    return cell;
  }
  // Columns the layer does not read (binary, wide long text, ...) and
  // columns described without a size read as empty text.
  if (kind != odMemo && ColumnSize(Index) <= 0) {
    cell.Null = false;
    return cell;
  }
  ReadWhole(Index, cell);
  return cell;
}

std::string TODBCStatement::ColumnText(int Index) {
  if (Index < 0 || Index >= Columns.Count()) return {};
  return Trim(Cell(Index).Text);
}

std::optional<std::string> TODBCStatement::FieldAsExactText(const std::string& Name) {
  const int i = FieldIndex(Name);
  // Unbound, a column of a type the layer does not read gives no value.
  if (i < 0 || (!Buffered && ColumnKind(i) == odUnknown)) return std::nullopt;
  const TCell& cell = Cell(i);
  if (cell.Null) return std::nullopt;
  return cell.Text;
}

std::string TODBCStatement::FieldAsString(const std::string& Name) {
  const int i = FieldIndex(Name);
  return i < 0 ? std::string() : ColumnText(i);
}

std::int32_t TODBCStatement::FieldAsInteger(const std::string& Name) {
  const int i = FieldIndex(Name);
  if (i < 0) return 0;
  if (Buffered) return ColumnKind(i) == odMemo ? 0 : DecimalOrZero(ColumnText(i));
  // The text is read once per row (see FRowTexts) and converted as the
  // driver converts character data to a 32-bit integer.
  return NumericOrZero(ColumnText(i));
}

bool TODBCStatement::FieldAsBoolean(const std::string& Name) {
  // MariaDB's connector hands a BIT column over as its raw bits, one byte
  // 0x00 or 0x01 for BIT(1), which no integer reading sees as 1.
  const int i = FieldIndex(Name);
  if (i >= 0 && ColumnKind(i) == odBoolean) {
    const TCell& cell = Cell(i);
    if (!cell.Null && cell.Text.size() == 1 && static_cast<unsigned char>(cell.Text[0]) <= 1)
      return cell.Text[0] == 1;
  }
  return FieldAsInteger(Name) != 0;
}

TDateTime TODBCStatement::FieldAsDateTime(const std::string& Name) {
  // Today only when it is the answer: asking the clock costs a look at the
  // time zone, and this runs for every row.
  const int i = FieldIndex(Name);
  if (i < 0) return Today();
  switch (ColumnKind(i)) {
    case odDate: return ParseDate(ColumnText(i));
    case odTime: return ParseTime(ColumnText(i));
    case odDateTime: return ParseDateTime(ColumnText(i));
    default: return Today();
  }
}

}  // namespace tidewell
