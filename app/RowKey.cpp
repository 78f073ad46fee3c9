#include "app/RowKey.h"

#include <charconv>
#include <climits>
#include <map>

#include "common/Format.h"
#include "common/Text.h"
#include "odbc/Connection.h"
#include "odbc/Statement.h"

namespace tidewell {

namespace {

bool IsDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// A number as a driver writes a numeric value: an optional minus, digits,
// and optionally a point and digits. Only such a text goes into SQL as it is.
bool IsPlainNumber(std::string_view s) {
  if (!s.empty() && s.front() == '-') s.remove_prefix(1);
  const auto point = s.find('.');
  if (point == std::string_view::npos) return IsDigits(s);
  return IsDigits(s.substr(0, point)) && (point + 1 == s.size() || IsDigits(s.substr(point + 1)));
}

bool IsTextKind(TodDataKind kind) { return kind != odInteger && kind != odFloat && kind != odBoolean; }

}  // namespace

bool MachineNumber(const std::string& Value, bool FromText, int& Machine) {
  std::string_view v(Value);
  if (!FromText) {
    // A numeric column may write a whole number with a zero fraction.
    if (!IsPlainNumber(v)) return false;
    const auto point = v.find('.');
    if (point != std::string_view::npos) {
      if (v.substr(point + 1).find_first_not_of('0') != std::string_view::npos) return false;
      v = v.substr(0, point);
    }
  }
  const std::string_view digits = !v.empty() && v.front() == '-' ? v.substr(1) : v;
  if (!IsDigits(digits)) return false;
  long long value = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
  if (ec != std::errc() || end != v.data() + v.size() || value < INT_MIN || value > INT_MAX) return false;
  Machine = static_cast<int>(value);
  return true;
}

std::string TRowKey::Condition() const {
  std::string machine;
  if (MachineIsText && !MachineNull)
    machine = Machine == 0 ? "(machine=? or machine is null)" : "machine=?";
  else if (MachineIsText || Machine == 0)
    machine = MachineIsText ? "machine is null" : "(machine=0 or machine is null)";
  else
    machine = Format("machine=%d", Machine);
  const bool recNumBound = RecNumIsText || !IsPlainNumber(RecNum);
  return machine + " and rec_num=" + (recNumBound ? "?" : RecNum);
}

std::vector<std::string> TRowKey::Params() const {
  std::vector<std::string> params;
  if (MachineIsText && !MachineNull) params.push_back(MachineValue);
  if (RecNumIsText || !IsPlainNumber(RecNum)) params.push_back(RecNum);
  return params;
}

TRowKeyState ReadRowKey(TODBCStatement& Row, TRowKey& Key) {
  Key = TRowKey{};
  const int machineIndex = Row.FieldIndex("machine");
  const auto machine = Row.FieldAsExactText("machine");
  Key.MachineIsText = machineIndex >= 0 && IsTextKind(Row.ColumnKind(machineIndex));
  Key.MachineNull = !machine;
  if (machine) Key.MachineValue = *machine;
  const bool machineNamed = !machine || MachineNumber(*machine, Key.MachineIsText, Key.Machine);

  const int recNumIndex = Row.FieldIndex("rec_num");
  const auto recNum = Row.FieldAsExactText("rec_num");
  if (!recNum) return rkNoRecNum;
  Key.RecNum = *recNum;
  Key.RecNumIsText = IsTextKind(Row.ColumnKind(recNumIndex));
  return machineNamed ? rkNamed : rkBadMachine;
}

std::string TRowKey::Text() const {
  std::string text = Condition();
  for (const auto& p : Params()) text += '\0' + p;
  return text;
}

namespace {

// Runs an UPDATE and says what came of it.
TMarkResult RunMark(TODBCStatement& Update, const std::string& Sql, const std::vector<std::string>& Params) {
  TMarkResult result;
  result.Executed = Update.ExecSQLParams(Sql, Params);
  if (result.Executed)
    result.Rows = Update.RowCount();
  else
    Update.GetDiagRecord(1, result.State, result.Message, &result.Native);
  return result;
}

void Append(std::vector<std::string>& to, const std::vector<std::string>& from) { to.insert(to.end(), from.begin(), from.end()); }

}  // namespace

TMarkResult MarkRows(TODBCStatement& Update, const std::string& Table, const std::vector<TMarkRequest>& Requests) {
  if (Requests.empty()) return {};
  std::string set = "case", where;
  std::vector<std::string> setParams, whereParams;
  for (const auto& r : Requests) {
    const std::string condition = r.Key->Condition();
    const auto params = r.Key->Params();
    set += Format(" when %s then %d", condition, static_cast<int>(r.RecNo));
    Append(setParams, params);
    if (!where.empty()) where += " or ";
    where += r.Holds == 0 ? Format("(%s and ifnull(convtd,0)=0)", condition)
                          : Format("(%s and convtd=%d)", condition, static_cast<int>(r.Holds));
    Append(whereParams, params);
  }
  Append(setParams, whereParams);
  return RunMark(Update, Format("update %s set convtd=%s end where %s", Table, set, where), setParams);
}

bool RefusedForEveryRow(const TMarkResult& Result, int DriverKind, const std::string& ConnectString) {
  if (Result.Executed || Result.State.empty()) return false;
  // The standard's own classes: insufficient privilege, read-only transaction.
  if (Result.State == "42501" || Result.State == "25006") return true;
  if (DriverKind == dkMySql) {
    switch (Result.Native) {
      case 1044:  // access denied to the database
      case 1142:  // UPDATE command denied on the table
      case 1143:  // ... on the column
      case 1036:  // table is read only
      case 1288:  // the target table (a view) is not updatable
      case 1290:  // the server runs read-only (or another option forbids it)
      case 1792:  // read-only transaction
      case 1906:  // convtd is a generated column
      case 3105:  // the same, as MySQL numbers it
        return true;
      default:
        return false;
    }
  }
  // SQLite's driver passes the library's result codes: read-only database,
  // not authorised.
  if (LowerCase(ConnectString).find("sqlite") != std::string::npos) return Result.Native == 8 || Result.Native == 23;
  return false;
}

TMarkResult MarkRow(TODBCStatement& Update, const std::string& Table, const TRowKey& Key, long RecNo) {
  return RunMark(Update,
                 Format("update %s set convtd=%d where %s and ifnull(convtd,0)=0", Table, static_cast<int>(RecNo),
                        Key.Condition()),
                 Key.Params());
}

TMarkResult UnmarkRow(TODBCStatement& Update, const std::string& Table, const TRowKey& Key, long RecNo) {
  return RunMark(
      Update, Format("update %s set convtd=0 where %s and convtd=%d", Table, Key.Condition(), static_cast<int>(RecNo)),
      Key.Params());
}

TReadBack ReadRowMark(TODBCStatement& Statement, const std::string& Table, const TRowKey& Key) {
  TReadBack result;
  TODBC* connection = Statement.Connection;
  if (!connection || connection->ConnectionLost) {
    result.State = rbLinkLost;
    return result;
  }
  if (Statement.ExecSQLParams(Format("select convtd from %s where %s", Table, Key.Condition()), Key.Params()) &&
      !Statement.Eof) {
    result.State = rbFound;
    result.Convtd = Statement.FieldAsInteger("convtd");
  } else if (connection->ConnectionLost) {
    result.State = rbLinkLost;
  } else {
    // No row is an answer; a failed statement is not.
    result.State = Statement.Eof ? rbGone : rbFailed;
  }
  return result;
}

TReadBacks ReadRowMarks(TODBCStatement& Statement, const std::string& Table, const std::vector<const TRowKey*>& Keys) {
  TReadBacks result;
  TODBC* connection = Statement.Connection;
  if (!connection || connection->ConnectionLost) {
    result.State = rbLinkLost;
    return result;
  }
  result.Marks.resize(Keys.size());
  // Each distinct key is asked about once; the CASE names the first
  // request of a key, and the others copy its rows.
  std::map<std::string, size_t> first;
  std::vector<size_t> asked;  // request index of each WHEN
  std::string which = "case", where;
  std::vector<std::string> whichParams, whereParams;
  for (size_t i = 0; i < Keys.size(); ++i) {
    if (!first.emplace(Keys[i]->Text(), i).second) continue;
    const std::string condition = Keys[i]->Condition();
    const auto params = Keys[i]->Params();
    which += Format(" when %s then %d", condition, static_cast<int>(asked.size()));
    asked.push_back(i);
    Append(whichParams, params);
    if (!where.empty()) where += " or ";
    where += "(" + condition + ")";
    Append(whereParams, params);
  }
  if (asked.empty()) {
    result.State = rbFound;
    return result;
  }
  Append(whichParams, whereParams);
  bool row = Statement.ExecSQLParams(Format("select %s end as k, convtd from %s where %s", which, Table, where),
                                     whichParams);
  if (!row && !Statement.Eof) {
    result.State = connection->ConnectionLost ? rbLinkLost : rbFailed;
    return result;
  }
  for (; row && !Statement.Eof; row = Statement.Skip(sdNext, 1)) {
    const std::int32_t k = Statement.FieldAsInteger("k");
    if (k >= 0 && static_cast<size_t>(k) < asked.size())
      result.Marks[asked[static_cast<size_t>(k)]].push_back(Statement.FieldAsInteger("convtd"));
  }
  // Rows left unread: what the keys hold is not known.
  if (Statement.FetchFailed) {
    result.State = connection->ConnectionLost ? rbLinkLost : rbFailed;
    return result;
  }
  for (size_t i = 0; i < Keys.size(); ++i) {
    const size_t f = first.at(Keys[i]->Text());
    if (f != i) result.Marks[i] = result.Marks[f];
  }
  result.State = rbFound;
  return result;
}

bool SelectRow(TODBCStatement& Statement, const std::string& Table, const TRowKey& Key) {
  return Statement.ExecSQLParams(Format("select * from %s where %s", Table, Key.Condition()), Key.Params()) &&
         !Statement.Eof;
}

}  // namespace tidewell
