#include "xbase/index/expression.h"

#include "common/Ascii.h"
#include "common/Calendar.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace xbase::index {

long JulianDay(int y, int m, int d) { return static_cast<long>(tidewell::calendar::JulianDayOf(y, m, d)); }

void CivilFromJulian(long j, int* y, int* m, int* d) {
  const tidewell::calendar::CivilDate date = tidewell::calendar::DateOfJulianDay(j);
  *y = date.Year;
  *m = date.Month;
  *d = date.Day;
}

long JulianFromDtos(std::string_view t) {
  if (t.size() < 8) return 0;
  int v[8];
  for (int i = 0; i < 8; ++i) {
    if (t[static_cast<size_t>(i)] < '0' || t[static_cast<size_t>(i)] > '9') return 0;
    v[i] = t[static_cast<size_t>(i)] - '0';
  }
  int y = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
  int m = v[4] * 10 + v[5];
  int d = v[6] * 10 + v[7];
  if (m < 1 || m > 12 || d < 1 || d > 31 || y < 1) return 0;
  long j = JulianDay(y, m, d);
  int yy, mm, dd;
  CivilFromJulian(j, &yy, &mm, &dd);
  return (yy == y && mm == m && dd == d) ? j : 0;  // 31 February is not a date
}

namespace {

// Day numbers a calendar date can have (up to 31 December 9999). Anything
// else, NaN and numbers beyond a long included, is no date: converting it
// to an integer would be undefined.
constexpr double kLastJulianDay = 5373484;
bool IsDayNumber(double julian) { return julian > 0 && julian <= kLastJulianDay; }

std::string Dtos(double julian) {
  if (!IsDayNumber(julian)) return std::string(8, ' ');
  int y, m, d;
  CivilFromJulian(static_cast<long>(julian), &y, &m, &d);
  if (y < 0 || y > 9999) return std::string(8, ' ');
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
  return buf;
}

std::string Dtoc(double julian) {
  if (!IsDayNumber(julian)) return "  /  /  ";
  int y, m, d;
  CivilFromJulian(static_cast<long>(julian), &y, &m, &d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", m, d, ((y % 100) + 100) % 100);
  return buf;
}

// "MM/DD/YY" or "MM/DD/YYYY"; two-digit years fall in 1900-1999 as with
// the century setting off.
double Ctod(std::string_view t) {
  int part[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  int n = 0;
  for (char c : t) {
    if (c >= '0' && c <= '9') {
      if (n > 2) return 0;
      if (digits[n] >= 4) return 0;
      part[n] = part[n] * 10 + (c - '0');
      ++digits[n];
    } else if (c == '/' || c == '-' || c == '.') {
      ++n;
    } else if (c != ' ') {
      return 0;
    }
  }
  if (n != 2 || digits[0] == 0 || digits[1] == 0 || digits[2] == 0) return 0;
  int y = part[2];
  if (digits[2] <= 2) y += 1900;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", y % 10000, part[0] % 100, part[1] % 100);
  return static_cast<double>(JulianFromDtos(buf));
}

std::string Str(double value, int width, int decimals) {
  if (width < 1) width = 1;
  if (width > 255) width = 255;
  if (decimals < 0) decimals = 0;
  if (decimals > width) decimals = width;
  // Decimals are dropped before the number is given up as too wide.
  for (int dec = decimals; dec >= 0; --dec) {
    // Halves round away from zero, as xBase rounds; printf would round them
    // to even. The nudge keeps 1.005 (stored as 1.00499...) rounding up.
    double p = std::pow(10.0, dec);
    double scaled = value * p;
    scaled = std::round(scaled + std::copysign(std::fabs(scaled) * 4e-16, scaled)) / p;
    if (std::fabs(scaled) >= 1e300) scaled = value;
    char buf[400];
    int len = std::snprintf(buf, sizeof buf, "%.*f", dec, scaled);
    if (len > 0 && len <= width) {
      std::string s(static_cast<size_t>(width - len), ' ');
      return s + buf;
    }
    if (dec == 0) break;
  }
  return std::string(static_cast<size_t>(width), '*');
}

double Val(std::string_view t) {
  std::string s(t);
  size_t i = s.find_first_not_of(' ');
  if (i == std::string::npos) return 0;
  const char* begin = s.c_str() + i;
  char* end = nullptr;
  double v = std::strtod(begin, &end);
  return (end == begin || !std::isfinite(v)) ? 0 : v;
}

using tidewell::ascii::Lower;
using tidewell::ascii::Upper;
std::string RTrim(const std::string& s) {
  size_t e = s.find_last_not_of(' ');
  return e == std::string::npos ? std::string() : s.substr(0, e + 1);
}
std::string LTrim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  return b == std::string::npos ? std::string() : s.substr(b);
}
// Counts from xBase arguments are clipped to what a key can hold.
size_t Count(double v) {
  if (!(v > 0)) return 0;
  return v > 65535 ? 65535 : static_cast<size_t>(v);
}

}  // namespace

// ---------------------------------------------------------------------------
// Syntax tree

enum class Op {
  kConst, kField, kFunc, kNeg, kNot, kAdd, kSub, kMul, kDiv, kMod, kPow,
  kEq, kExactEq, kNe, kLt, kGt, kLe, kGe, kContains, kAnd, kOr
};

enum class Fn {
  kUpper, kLower, kStr, kDtos, kDtoc, kCtod, kLeft, kRight, kSubstr, kTrim, kLTrim, kAllTrim, kPadL, kPadR,
  kPadC, kVal, kIif, kDeleted, kRecno, kSpace, kReplicate, kAbs, kInt, kRound, kYear, kMonth, kDay, kLen,
  kEmpty, kAt, kChr, kAsc, kStrZero, kMax, kMin, kBetween, kIsNull
};

struct Node {
  Op op = Op::kConst;
  ValueType type = ValueType::kCharacter;
  Value constant;
  int field = -1;
  char field_type = 'C';
  uint8_t field_decimals = 0;
  Fn fn = Fn::kUpper;
  std::vector<std::unique_ptr<Node>> args;
};

namespace {

struct FnInfo {
  const char* name;
  Fn fn;
  int min_args, max_args;
};

const FnInfo kFunctions[] = {
    {"UPPER", Fn::kUpper, 1, 1},     {"LOWER", Fn::kLower, 1, 1},       {"STR", Fn::kStr, 1, 3},
    {"DTOS", Fn::kDtos, 1, 1},       {"DTOC", Fn::kDtoc, 1, 2},         {"CTOD", Fn::kCtod, 1, 1},
    {"LEFT", Fn::kLeft, 2, 2},       {"RIGHT", Fn::kRight, 2, 2},       {"SUBSTR", Fn::kSubstr, 2, 3},
    {"TRIM", Fn::kTrim, 1, 1},       {"RTRIM", Fn::kTrim, 1, 1},        {"LTRIM", Fn::kLTrim, 1, 1},
    {"ALLTRIM", Fn::kAllTrim, 1, 1}, {"PADL", Fn::kPadL, 2, 3},         {"PADR", Fn::kPadR, 2, 3},
    {"PADC", Fn::kPadC, 2, 3},       {"VAL", Fn::kVal, 1, 1},           {"IIF", Fn::kIif, 3, 3},
    {"DELETED", Fn::kDeleted, 0, 0}, {"RECNO", Fn::kRecno, 0, 0},       {"SPACE", Fn::kSpace, 1, 1},
    {"REPLICATE", Fn::kReplicate, 2, 2}, {"ABS", Fn::kAbs, 1, 1},       {"INT", Fn::kInt, 1, 1},
    {"ROUND", Fn::kRound, 2, 2},     {"YEAR", Fn::kYear, 1, 1},         {"MONTH", Fn::kMonth, 1, 1},
    {"DAY", Fn::kDay, 1, 1},         {"LEN", Fn::kLen, 1, 1},           {"EMPTY", Fn::kEmpty, 1, 1},
    {"AT", Fn::kAt, 2, 2},           {"CHR", Fn::kChr, 1, 1},           {"ASC", Fn::kAsc, 1, 1},
    {"STRZERO", Fn::kStrZero, 1, 3}, {"MAX", Fn::kMax, 2, 2},           {"MIN", Fn::kMin, 2, 2},
    {"BETWEEN", Fn::kBetween, 3, 3}, {"ISNULL", Fn::kIsNull, 1, 1},
};

// xBase accepts a function name cut to four letters or more.
const FnInfo* FindFunction(const std::string& upper) {
  for (const auto& f : kFunctions)
    if (upper == f.name) return &f;
  if (upper.size() < 4) return nullptr;
  for (const auto& f : kFunctions)
    if (std::strncmp(f.name, upper.c_str(), upper.size()) == 0) return &f;
  return nullptr;
}

const char* TypeName(ValueType t) {
  switch (t) {
    case ValueType::kCharacter: return "character";
    case ValueType::kNumeric: return "numeric";
    case ValueType::kDate: return "date";
    case ValueType::kLogical: return "logical";
  }
  return "?";
}

class Parser {
 public:
  Parser(std::string_view text, const std::vector<FieldInfo>& fields) : s_(text), fields_(fields) {}

  std::unique_ptr<Node> Parse(std::string* problem) {
    auto root = ParseOr();
    if (root && error_.empty()) {
      SkipBlanks();
      if (pos_ < s_.size()) Fail("unexpected \"" + std::string(s_.substr(pos_, 10)) + "\"");
    }
    if (!error_.empty()) {
      if (problem) *problem = error_;
      return nullptr;
    }
    return root;
  }

 private:
  void Fail(const std::string& why) {
    if (error_.empty()) error_ = why;
  }
  void SkipBlanks() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t')) ++pos_;
  }
  bool Peek(std::string_view tok) {
    SkipBlanks();
    if (s_.size() - pos_ < tok.size()) return false;
    for (size_t i = 0; i < tok.size(); ++i) {
      if (tidewell::ascii::ToUpper(s_[pos_ + i]) != tok[i]) return false;
    }
    return true;
  }
  bool Accept(std::string_view tok) {
    if (!Peek(tok)) return false;
    pos_ += tok.size();
    return true;
  }

  std::unique_ptr<Node> Make(Op op, ValueType type, std::unique_ptr<Node> a, std::unique_ptr<Node> b = nullptr) {
    auto n = std::make_unique<Node>();
    n->op = op;
    n->type = type;
    if (a) n->args.push_back(std::move(a));
    if (b) n->args.push_back(std::move(b));
    return n;
  }

  std::unique_ptr<Node> ParseOr() {
    auto left = ParseAnd();
    while (left && error_.empty() && Accept(".OR.")) {
      auto right = ParseAnd();
      if (!right) return nullptr;
      if (left->type != ValueType::kLogical || right->type != ValueType::kLogical) Fail(".OR. needs logical values");
      left = Make(Op::kOr, ValueType::kLogical, std::move(left), std::move(right));
    }
    return error_.empty() ? std::move(left) : nullptr;
  }
  std::unique_ptr<Node> ParseAnd() {
    auto left = ParseNot();
    while (left && error_.empty() && Accept(".AND.")) {
      auto right = ParseNot();
      if (!right) return nullptr;
      if (left->type != ValueType::kLogical || right->type != ValueType::kLogical) Fail(".AND. needs logical values");
      left = Make(Op::kAnd, ValueType::kLogical, std::move(left), std::move(right));
    }
    return error_.empty() ? std::move(left) : nullptr;
  }
  std::unique_ptr<Node> ParseNot() {
    if (Accept(".NOT.") || (Peek("!") && !Peek("!=") && Accept("!"))) {
      auto operand = ParseNot();
      if (!operand) return nullptr;
      if (operand->type != ValueType::kLogical) Fail(".NOT. needs a logical value");
      return Make(Op::kNot, ValueType::kLogical, std::move(operand));
    }
    return ParseComparison();
  }
  std::unique_ptr<Node> ParseComparison() {
    auto left = ParseSum();
    if (!left) return nullptr;
    static const std::pair<const char*, Op> kOps[] = {
        {"==", Op::kExactEq}, {"<>", Op::kNe}, {"!=", Op::kNe}, {"<=", Op::kLe}, {">=", Op::kGe},
        {"=", Op::kEq},       {"#", Op::kNe},  {"<", Op::kLt},  {">", Op::kGt},  {"$", Op::kContains}};
    for (const auto& [tok, op] : kOps) {
      if (!Accept(tok)) continue;
      auto right = ParseSum();
      if (!right) return nullptr;
      if (left->type != right->type) Fail(std::string("can't compare ") + TypeName(left->type) + " with " + TypeName(right->type));
      if (op == Op::kContains && left->type != ValueType::kCharacter) Fail("$ needs texts");
      return Make(op, ValueType::kLogical, std::move(left), std::move(right));
    }
    return left;
  }
  std::unique_ptr<Node> ParseSum() {
    auto left = ParseProduct();
    while (left && error_.empty()) {
      Op op;
      if (Accept("+")) op = Op::kAdd;
      else if (Peek("-") && !Peek("->") && Accept("-")) op = Op::kSub;
      else break;
      auto right = ParseProduct();
      if (!right) return nullptr;
      ValueType a = left->type, b = right->type, result = a;
      if (a == ValueType::kCharacter && b == ValueType::kCharacter) result = a;
      else if (a == ValueType::kNumeric && b == ValueType::kNumeric) result = a;
      else if (a == ValueType::kDate && b == ValueType::kNumeric) result = ValueType::kDate;
      else if (op == Op::kAdd && a == ValueType::kNumeric && b == ValueType::kDate) result = ValueType::kDate;
      else if (op == Op::kSub && a == ValueType::kDate && b == ValueType::kDate) result = ValueType::kNumeric;
      else Fail(std::string("can't ") + (op == Op::kAdd ? "add " : "subtract ") + TypeName(b) + " and " + TypeName(a));
      left = Make(op, result, std::move(left), std::move(right));
    }
    return error_.empty() ? std::move(left) : nullptr;
  }
  std::unique_ptr<Node> ParseProduct() {
    auto left = ParsePower();
    while (left && error_.empty()) {
      Op op;
      if (Peek("**")) break;
      if (Accept("*")) op = Op::kMul;
      else if (Accept("/")) op = Op::kDiv;
      else if (Accept("%")) op = Op::kMod;
      else break;
      auto right = ParsePower();
      if (!right) return nullptr;
      if (left->type != ValueType::kNumeric || right->type != ValueType::kNumeric) Fail("arithmetic needs numbers");
      left = Make(op, ValueType::kNumeric, std::move(left), std::move(right));
    }
    return error_.empty() ? std::move(left) : nullptr;
  }
  std::unique_ptr<Node> ParsePower() {
    auto left = ParseUnary();
    if (left && error_.empty() && (Accept("**") || Accept("^"))) {
      auto right = ParsePower();
      if (!right) return nullptr;
      if (left->type != ValueType::kNumeric || right->type != ValueType::kNumeric) Fail("arithmetic needs numbers");
      left = Make(Op::kPow, ValueType::kNumeric, std::move(left), std::move(right));
    }
    return error_.empty() ? std::move(left) : nullptr;
  }
  std::unique_ptr<Node> ParseUnary() {
    if (++depth_ > 64) {
      Fail("expression nested too deeply");
      return nullptr;
    }
    std::unique_ptr<Node> result;
    if (Accept("-")) {
      auto operand = ParseUnary();
      if (operand && operand->type != ValueType::kNumeric) Fail("unary minus needs a number");
      if (operand) result = Make(Op::kNeg, ValueType::kNumeric, std::move(operand));
    } else if (Accept("+")) {
      result = ParseUnary();
    } else {
      result = ParsePrimary();
    }
    --depth_;
    return error_.empty() ? std::move(result) : nullptr;
  }

  std::unique_ptr<Node> Constant(Value v) {
    auto n = std::make_unique<Node>();
    n->op = Op::kConst;
    n->type = v.type;
    n->constant = std::move(v);
    return n;
  }

  std::unique_ptr<Node> ParsePrimary() {
    SkipBlanks();
    if (pos_ >= s_.size()) {
      Fail("expression ends early");
      return nullptr;
    }
    char c = s_[pos_];
    if (Accept(".T.") || Accept(".Y.")) return Constant({ValueType::kLogical, {}, 0, true});
    if (Accept(".F.") || Accept(".N.")) return Constant({ValueType::kLogical, {}, 0, false});
    if (c == '(') {
      ++pos_;
      auto inner = ParseOr();
      if (!inner) return nullptr;
      if (!Accept(")")) Fail("missing )");
      return error_.empty() ? std::move(inner) : nullptr;
    }
    if (c == '"' || c == '\'' || c == '[') {
      char close = c == '[' ? ']' : c;
      size_t end = s_.find(close, pos_ + 1);
      if (end == std::string_view::npos) {
        Fail("text constant not closed");
        return nullptr;
      }
      std::string text(s_.substr(pos_ + 1, end - pos_ - 1));
      pos_ = end + 1;
      return Constant({ValueType::kCharacter, std::move(text), 0, false});
    }
    if ((c >= '0' && c <= '9') || c == '.') {
      size_t start = pos_;
      while (pos_ < s_.size() && ((s_[pos_] >= '0' && s_[pos_] <= '9') || s_[pos_] == '.')) ++pos_;
      std::string digits(s_.substr(start, pos_ - start));
      if (digits == ".") {
        Fail("unexpected \".\"");
        return nullptr;
      }
      return Constant({ValueType::kNumeric, {}, std::strtod(digits.c_str(), nullptr), false});
    }
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      std::string name = Identifier();
      // An alias before the field name does not change which field it is.
      if (Accept("->")) {
        name = Identifier();
      } else if (pos_ < s_.size() && s_[pos_] == '.' && pos_ + 1 < s_.size() &&
                 std::isalpha(static_cast<unsigned char>(s_[pos_ + 1]))) {
        size_t save = pos_++;
        std::string member = Identifier();
        if (Upper(name) == "M") {
          Fail("memory variable m." + member + " can't be part of an index key");
          return nullptr;
        }
        if (FindFieldIn(fields_, member) >= 0) name = member;
        else pos_ = save;
      }
      if (Accept("(")) return Call(Upper(name));
      return Field(name);
    }
    Fail(std::string("unexpected \"") + c + "\"");
    return nullptr;
  }

  std::string Identifier() {
    SkipBlanks();
    size_t start = pos_;
    while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_')) ++pos_;
    return std::string(s_.substr(start, pos_ - start));
  }

  std::unique_ptr<Node> Field(const std::string& name) {
    int index = FindFieldIn(fields_, name);
    if (index < 0) {
      Fail("unknown field or variable " + name);
      return nullptr;
    }
    const FieldInfo& f = fields_[static_cast<size_t>(index)];
    if (f.nullable) {
      Fail("field " + f.name + " accepts nulls; keys of such fields are not supported");
      return nullptr;
    }
    auto n = std::make_unique<Node>();
    n->op = Op::kField;
    n->field = index;
    n->field_type = f.type;
    n->field_decimals = f.decimals;
    switch (f.type) {
      case 'C': n->type = ValueType::kCharacter; break;
      case 'N': case 'F': case 'I': case 'B': case 'Y': n->type = ValueType::kNumeric; break;
      case 'D': n->type = ValueType::kDate; break;
      case 'L': n->type = ValueType::kLogical; break;
      default:
        Fail("field " + f.name + " of type " + std::string(1, f.type) + " can't be part of an index key");
        return nullptr;
    }
    return n;
  }

  std::unique_ptr<Node> Call(const std::string& name) {
    const FnInfo* info = FindFunction(name);
    if (!info) {
      Fail("unknown function " + name + "()");
      return nullptr;
    }
    auto n = std::make_unique<Node>();
    n->op = Op::kFunc;
    n->fn = info->fn;
    if (!Accept(")")) {
      do {
        auto arg = ParseOr();
        if (!arg) return nullptr;
        n->args.push_back(std::move(arg));
      } while (Accept(","));
      if (!Accept(")")) {
        Fail("missing ) after the arguments of " + std::string(info->name) + "()");
        return nullptr;
      }
    }
    int count = static_cast<int>(n->args.size());
    if (count < info->min_args || count > info->max_args) {
      Fail(std::string(info->name) + "() takes " + std::to_string(info->min_args) +
           (info->max_args != info->min_args ? " to " + std::to_string(info->max_args) : std::string()) +
           " arguments, not " + std::to_string(count));
      return nullptr;
    }
    if (!TypeCall(*n, info->name)) return nullptr;
    return n;
  }

  bool Want(const Node& n, size_t i, ValueType t, const char* fname) {
    if (i < n.args.size() && n.args[i]->type != t) {
      Fail(std::string(fname) + "() argument " + std::to_string(i + 1) + " must be " + TypeName(t));
      return false;
    }
    return true;
  }

  bool TypeCall(Node& n, const char* fname) {
    using V = ValueType;
    const V C = V::kCharacter, N = V::kNumeric, D = V::kDate, L = V::kLogical;
    bool ok = true;
    auto want = [&](size_t i, V t) { ok = ok && Want(n, i, t, fname); };
    switch (n.fn) {
      case Fn::kUpper: case Fn::kLower: case Fn::kTrim: case Fn::kLTrim: case Fn::kAllTrim:
        want(0, C); n.type = C; break;
      case Fn::kStr: case Fn::kStrZero:
        want(0, N); want(1, N); want(2, N); n.type = C; break;
      case Fn::kDtos: want(0, D); n.type = C; break;
      case Fn::kDtoc: want(0, D); want(1, N); n.type = C; break;
      case Fn::kCtod: want(0, C); n.type = D; break;
      case Fn::kLeft: case Fn::kRight: want(0, C); want(1, N); n.type = C; break;
      case Fn::kSubstr: want(0, C); want(1, N); want(2, N); n.type = C; break;
      case Fn::kPadL: case Fn::kPadR: case Fn::kPadC: want(1, N); want(2, C); n.type = C; break;
      case Fn::kVal: want(0, C); n.type = N; break;
      case Fn::kIif:
        want(0, L);
        if (ok && n.args[1]->type != n.args[2]->type) {
          Fail("IIF() branches differ in type");
          ok = false;
        }
        n.type = n.args[1]->type;
        break;
      case Fn::kDeleted: n.type = L; break;
      case Fn::kRecno: n.type = N; break;
      case Fn::kSpace: want(0, N); n.type = C; break;
      case Fn::kReplicate: want(0, C); want(1, N); n.type = C; break;
      case Fn::kAbs: case Fn::kInt: want(0, N); n.type = N; break;
      case Fn::kRound: want(0, N); want(1, N); n.type = N; break;
      case Fn::kYear: case Fn::kMonth: case Fn::kDay: want(0, D); n.type = N; break;
      case Fn::kLen: want(0, C); n.type = N; break;
      case Fn::kEmpty: n.type = L; break;
      case Fn::kAt: want(0, C); want(1, C); n.type = N; break;
      case Fn::kChr: want(0, N); n.type = C; break;
      case Fn::kAsc: want(0, C); n.type = N; break;
      case Fn::kMax: case Fn::kMin:
        if (n.args[0]->type != n.args[1]->type) {
          Fail(std::string(fname) + "() arguments differ in type");
          ok = false;
        }
        n.type = n.args[0]->type;
        break;
      case Fn::kBetween:
        if (n.args[0]->type != n.args[1]->type || n.args[0]->type != n.args[2]->type) {
          Fail("BETWEEN() arguments differ in type");
          ok = false;
        }
        n.type = L;
        break;
      case Fn::kIsNull: n.type = L; break;
    }
    return ok && error_.empty();
  }

  std::string_view s_;
  const std::vector<FieldInfo>& fields_;
  size_t pos_ = 0;
  int depth_ = 0;
  std::string error_;
};

Value Text(std::string s) { return {ValueType::kCharacter, std::move(s), 0, false}; }
Value Number(double v) { return {ValueType::kNumeric, {}, v, false}; }
Value Logical(bool b) { return {ValueType::kLogical, {}, 0, b}; }
Value Date(double j) { return {ValueType::kDate, {}, j, false}; }

Value FieldValue(const Node& n, const RecordView& record) {
  auto bytes = record.FieldBytes(n.field);
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  switch (n.field_type) {
    case 'C': return Text(std::string(text));
    case 'N': case 'F': return Number(Val(text));
    case 'D': return Date(static_cast<double>(JulianFromDtos(text)));
    case 'L': return Logical(!text.empty() && std::strchr("TtYy", text[0]) != nullptr);
    case 'I': {
      if (bytes.size() < 4) return Number(0);
      uint32_t u = uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) | (uint32_t{bytes[3]} << 24);
      return Number(static_cast<double>(static_cast<int32_t>(u)));
    }
    case 'B': case 'Y': {
      if (bytes.size() < 8) return Number(0);
      uint64_t u = 0;
      for (int i = 7; i >= 0; --i) u = (u << 8) | bytes[static_cast<size_t>(i)];
      if (n.field_type == 'Y') return Number(static_cast<double>(static_cast<int64_t>(u)) / 10000.0);
      double d;
      std::memcpy(&d, &u, sizeof d);
      return Number(std::isfinite(d) ? d : 0);
    }
  }
  return Text(std::string(text));
}

int Compare(const Value& a, const Value& b) {
  if (a.type == ValueType::kCharacter) {
    int c = a.text.compare(b.text);
    return c < 0 ? -1 : c > 0;
  }
  if (a.type == ValueType::kLogical) return static_cast<int>(a.logical) - static_cast<int>(b.logical);
  return a.number < b.number ? -1 : a.number > b.number;
}

bool IsEmpty(const Value& v) {
  switch (v.type) {
    case ValueType::kCharacter: return v.text.find_first_not_of(" \t\r\n") == std::string::npos;
    case ValueType::kLogical: return !v.logical;
    default: return v.number == 0;
  }
}

std::string Pad(const std::string& s, size_t width, char fill, int where) {
  if (s.size() >= width) return where < 0 ? s.substr(s.size() - width) : s.substr(0, width);
  size_t extra = width - s.size();
  if (where < 0) return std::string(extra, fill) + s;
  if (where > 0) return s + std::string(extra, fill);
  return std::string(extra / 2, fill) + s + std::string(extra - extra / 2, fill);
}

Value Eval(const Node& n, const RecordView& r);

Value CallFn(const Node& n, const RecordView& r) {
  auto arg = [&](size_t i) { return Eval(*n.args[i], r); };
  auto num = [&](size_t i, double def) { return i < n.args.size() ? Eval(*n.args[i], r).number : def; };
  switch (n.fn) {
    case Fn::kUpper: return Text(Upper(arg(0).text));
    case Fn::kLower: return Text(Lower(arg(0).text));
    case Fn::kStr: return Text(Str(arg(0).number, static_cast<int>(Count(num(1, 10))), static_cast<int>(Count(num(2, 0)))));
    case Fn::kStrZero: {
      std::string s = Str(arg(0).number, static_cast<int>(Count(num(1, 10))), static_cast<int>(Count(num(2, 0))));
      size_t neg = s.find('-');
      for (char& c : s) if (c == ' ') c = '0';
      if (neg != std::string::npos) { s[neg] = '0'; s[0] = '-'; }
      return Text(s);
    }
    case Fn::kDtos: return Text(Dtos(arg(0).number));
    case Fn::kDtoc: return Text(n.args.size() > 1 && num(1, 0) == 1 ? Dtos(arg(0).number) : Dtoc(arg(0).number));
    case Fn::kCtod: return Date(Ctod(arg(0).text));
    case Fn::kLeft: {
      std::string s = arg(0).text;
      return Text(s.substr(0, std::min(s.size(), Count(num(1, 0)))));
    }
    case Fn::kRight: {
      std::string s = arg(0).text;
      size_t k = std::min(s.size(), Count(num(1, 0)));
      return Text(s.substr(s.size() - k));
    }
    case Fn::kSubstr: {
      std::string s = arg(0).text;
      size_t start = Count(num(1, 1));
      if (start == 0) start = 1;
      if (start > s.size()) return Text("");
      size_t len = n.args.size() > 2 ? Count(num(2, 0)) : s.size();
      return Text(s.substr(start - 1, len));
    }
    case Fn::kTrim: return Text(RTrim(arg(0).text));
    case Fn::kLTrim: return Text(LTrim(arg(0).text));
    case Fn::kAllTrim: return Text(LTrim(RTrim(arg(0).text)));
    case Fn::kPadL: case Fn::kPadR: case Fn::kPadC: {
      Value v = arg(0);
      std::string s = v.type == ValueType::kCharacter ? v.text
                      : v.type == ValueType::kNumeric ? LTrim(Str(v.number, 20, 0))
                      : v.type == ValueType::kDate ? Dtoc(v.number)
                      : (v.logical ? ".T." : ".F.");
      std::string fill = n.args.size() > 2 ? arg(2).text : " ";
      char f = fill.empty() ? ' ' : fill[0];
      int where = n.fn == Fn::kPadL ? -1 : n.fn == Fn::kPadR ? 1 : 0;
      return Text(Pad(s, Count(num(1, 0)), f, where));
    }
    case Fn::kVal: return Number(Val(arg(0).text));
    case Fn::kIif: return arg(0).logical ? arg(1) : arg(2);
    case Fn::kDeleted: return Logical(r.Deleted());
    case Fn::kRecno: return Number(r.RecordNumber());
    case Fn::kSpace: return Text(std::string(Count(num(0, 0)), ' '));
    case Fn::kReplicate: {
      std::string s = arg(0).text, out;
      size_t times = Count(num(1, 0));
      for (size_t i = 0; i < times && out.size() < 65535; ++i) out += s;
      return Text(out.substr(0, 65535));
    }
    case Fn::kAbs: return Number(std::fabs(arg(0).number));
    case Fn::kInt: return Number(std::trunc(arg(0).number));
    case Fn::kRound: {
      double p = std::pow(10.0, std::clamp(num(1, 0), -15.0, 15.0));
      double v = arg(0).number * p;
      return Number((v < 0 ? -std::floor(-v + 0.5) : std::floor(v + 0.5)) / p);
    }
    case Fn::kYear: case Fn::kMonth: case Fn::kDay: {
      double j = arg(0).number;
      if (!IsDayNumber(j)) return Number(0);
      int y, m, d;
      CivilFromJulian(static_cast<long>(j), &y, &m, &d);
      return Number(n.fn == Fn::kYear ? y : n.fn == Fn::kMonth ? m : d);
    }
    case Fn::kLen: return Number(static_cast<double>(arg(0).text.size()));
    case Fn::kEmpty: return Logical(IsEmpty(arg(0)));
    case Fn::kAt: {
      std::string needle = arg(0).text, hay = arg(1).text;
      if (needle.empty()) return Number(0);
      size_t p = hay.find(needle);
      return Number(p == std::string::npos ? 0 : static_cast<double>(p + 1));
    }
    case Fn::kChr: {
      // Only the low byte counts; a code beyond an int is taken as 0.
      const double code = num(0, 0);
      const int low = std::fabs(code) < 2147483647.0 ? static_cast<int>(code) & 0xFF : 0;
      return Text(std::string(1, static_cast<char>(low)));
    }
    case Fn::kAsc: {
      std::string s = arg(0).text;
      return Number(s.empty() ? 0 : static_cast<unsigned char>(s[0]));
    }
    case Fn::kMax: case Fn::kMin: {
      Value a = arg(0), b = arg(1);
      bool a_first = Compare(a, b) >= 0;
      return (n.fn == Fn::kMax) == a_first ? a : b;
    }
    case Fn::kBetween: {
      Value v = arg(0);
      return Logical(Compare(v, arg(1)) >= 0 && Compare(v, arg(2)) <= 0);
    }
    case Fn::kIsNull: return Logical(false);
  }
  return Text("");
}

Value Eval(const Node& n, const RecordView& r) {
  switch (n.op) {
    case Op::kConst: return n.constant;
    case Op::kField: return FieldValue(n, r);
    case Op::kFunc: return CallFn(n, r);
    case Op::kNeg: return Number(-Eval(*n.args[0], r).number);
    case Op::kNot: return Logical(!Eval(*n.args[0], r).logical);
    case Op::kAnd: return Logical(Eval(*n.args[0], r).logical && Eval(*n.args[1], r).logical);
    case Op::kOr: return Logical(Eval(*n.args[0], r).logical || Eval(*n.args[1], r).logical);
    default: break;
  }
  Value a = Eval(*n.args[0], r);
  Value b = Eval(*n.args[1], r);
  switch (n.op) {
    case Op::kAdd:
      if (a.type == ValueType::kCharacter) return Text(a.text + b.text);
      if (n.type == ValueType::kDate) {
        if (a.type == ValueType::kDate && a.number <= 0) return Date(0);
        if (b.type == ValueType::kDate && b.number <= 0) return Date(0);
        return Date(a.number + b.number);
      }
      return Number(a.number + b.number);
    case Op::kSub:
      if (a.type == ValueType::kCharacter) {
        // "-" joins texts and moves the left one's trailing blanks to the end.
        std::string left = RTrim(a.text);
        std::string joined = left + b.text;
        return Text(joined + std::string(a.text.size() - left.size(), ' '));
      }
      if (n.type == ValueType::kDate) return a.number <= 0 ? Date(0) : Date(a.number - b.number);
      return Number(a.number - b.number);
    case Op::kMul: return Number(a.number * b.number);
    case Op::kDiv: return Number(b.number == 0 ? 0 : a.number / b.number);
    case Op::kMod: return Number(b.number == 0 ? 0 : a.number - b.number * std::floor(a.number / b.number));
    case Op::kPow: {
      double v = std::pow(a.number, b.number);
      return Number(std::isfinite(v) ? v : 0);
    }
    case Op::kEq:
      // Text comparison with EXACT off: the left text only has to begin with the right one.
      if (a.type == ValueType::kCharacter) return Logical(a.text.compare(0, b.text.size(), b.text) == 0);
      return Logical(Compare(a, b) == 0);
    case Op::kExactEq:
      if (a.type == ValueType::kCharacter) return Logical(RTrim(a.text) == RTrim(b.text));
      return Logical(Compare(a, b) == 0);
    case Op::kNe:
      if (a.type == ValueType::kCharacter) return Logical(a.text.compare(0, b.text.size(), b.text) != 0);
      return Logical(Compare(a, b) != 0);
    case Op::kLt: return Logical(Compare(a, b) < 0);
    case Op::kGt: return Logical(Compare(a, b) > 0);
    case Op::kLe: return Logical(Compare(a, b) <= 0);
    case Op::kGe: return Logical(Compare(a, b) >= 0);
    case Op::kContains: return Logical(b.text.find(a.text) != std::string::npos);
    default: break;
  }
  return Text("");
}

}  // namespace

Expression::Expression(std::string text, std::unique_ptr<Node> root) : text_(std::move(text)), root_(std::move(root)) {}
Expression::~Expression() = default;

std::unique_ptr<Expression> Expression::Compile(std::string_view text, const std::vector<FieldInfo>& fields,
                                                std::string* problem) {
  if (text.size() > 1024) {
    if (problem) *problem = "expression longer than 1024 characters";
    return nullptr;
  }
  if (text.find_first_not_of(" \t") == std::string_view::npos) {
    if (problem) *problem = "empty expression";
    return nullptr;
  }
  Parser parser(text, fields);
  auto root = parser.Parse(problem);
  if (!root) return nullptr;
  return std::unique_ptr<Expression>(new Expression(std::string(text), std::move(root)));
}

ValueType Expression::type() const { return root_->type; }

Value Expression::Evaluate(const RecordView& record) const { return Eval(*root_, record); }

}  // namespace xbase::index
