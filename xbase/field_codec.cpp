#include "xbase/field_codec.h"

#include "common/Calendar.h"

#include "xbase/byte_order.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <optional>

namespace xbase {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

// A decimal number as sign, digits and a power of ten: value = digits * 10^exponent.
struct Decimal {
  bool negative = false;
  std::string digits;
  int exponent = 0;
};

std::optional<Decimal> ParseDecimal(std::string_view s) {
  s = Trim(s);
  Decimal d;
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) d.negative = s[i++] == '-';
  bool any = false, point = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c >= '0' && c <= '9') {
      any = true;
      if (d.digits.empty() && c == '0') {
        if (point) --d.exponent;
        continue;  // leading zeros carry nothing
      }
      d.digits += c;
      if (point) --d.exponent;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    int exp = 0;
    auto r = std::from_chars(s.data() + i + 1 + (i + 1 < s.size() && s[i + 1] == '+'), s.data() + s.size(), exp);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || exp > 400 || exp < -400) return std::nullopt;
    d.exponent += exp;
    i = s.size();
  }
  if (i != s.size()) return std::nullopt;
  if (d.digits.empty()) d.negative = false;
  return d;
}

// The value scaled by 10^decimals and rounded half away from zero, as digits
// without leading zeros ("0" for zero); empty when absurdly large.
std::string ScaledDigits(const Decimal& d, int decimals) {
  if (d.digits.empty()) return "0";
  long shift = long{d.exponent} + decimals;
  std::string r;
  if (shift >= 0) {
    if (d.digits.size() + static_cast<size_t>(shift) > 60) return "";
    r = d.digits + std::string(static_cast<size_t>(shift), '0');
  } else {
    long keep = static_cast<long>(d.digits.size()) + shift;
    char next = '0';
    if (keep >= 0) {
      r = d.digits.substr(0, static_cast<size_t>(keep));
      next = d.digits[static_cast<size_t>(keep)];
    }
    if (r.empty()) r.push_back('0');
    if (next >= '5') {
      size_t k = r.size();
      while (k > 0 && r[k - 1] == '9') r[--k] = '0';
      if (k == 0)
        r.insert(r.begin(), '1');
      else
        ++r[k - 1];
    }
  }
  size_t nz = r.find_first_not_of('0');
  return nz == std::string::npos ? "0" : r.substr(nz);
}

std::optional<int64_t> ScaledInteger(std::string_view text, int decimals) {
  auto d = ParseDecimal(text);
  if (!d) return std::nullopt;
  std::string digits = ScaledDigits(*d, decimals);
  if (digits.empty() || digits.size() > 19) return std::nullopt;
  uint64_t v = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
  return d->negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
}

// Keeps only the digits: "2004-03-05 12:34:56" -> "20040305123456".
std::string DigitsOf(std::string_view s) {
  std::string out;
  for (char c : s)
    if (c >= '0' && c <= '9') out += c;
  return out;
}

int Num(const std::string& s, size_t pos, size_t len) {
  int v = 0;
  for (size_t i = pos; i < pos + len; ++i) v = v * 10 + (s[i] - '0');
  return v;
}

bool ValidDate(int y, int m, int d) {
  static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || m < 1 || m > 12 || d < 1 || d > days[m - 1]) return false;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return !(m == 2 && d == 29 && !leap);
}

void SetBit(uint8_t* flags, int bit, bool on) {
  if (!flags || bit < 0) return;
  uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
  if (on)
    flags[bit / 8] |= mask;
  else
    flags[bit / 8] &= static_cast<uint8_t>(~mask);
}

bool GetBit(const uint8_t* flags, int bit) {
  return flags && bit >= 0 && (flags[bit / 8] >> (bit % 8)) & 1;
}

bool BinaryForm(const FieldDescriptor& f) {
  switch (f.type) {
    case 'I': case 'Y': case 'T': case '0':
      return true;
    case 'B':
      return f.length == 8;
    default:
      return f.IsMemo() && f.length == 4;
  }
}

}  // namespace

int64_t JulianDay(int y, int m, int d) { return tidewell::calendar::JulianDayOf(y, m, d); }

void CivilFromJulianDay(int64_t jdn, int* year, int* month, int* day) {
  const tidewell::calendar::CivilDate date = tidewell::calendar::DateOfJulianDay(jdn);
  *year = date.Year;
  *month = date.Month;
  *day = date.Day;
}

std::string FormatNumber(std::string_view text, int width, int decimals, bool* overflow, bool* invalid) {
  *overflow = *invalid = false;
  auto d = ParseDecimal(text);
  if (!d) {
    *invalid = true;
    return std::string(static_cast<size_t>(width), ' ');
  }
  std::string r = ScaledDigits(*d, decimals);
  std::string out;
  if (!r.empty()) {
    bool zero = r == "0";
    auto places = static_cast<size_t>(decimals);
    if (places > 0 && r.size() <= places) r = std::string(places + 1 - r.size(), '0') + r;
    if (d->negative && !zero) out.push_back('-');
    out.append(r, 0, r.size() - places);
    if (places > 0) out.append(1, '.').append(r, r.size() - places, places);
  }
  if (out.empty() || out.size() > static_cast<size_t>(width)) {
    *overflow = true;
    return std::string(static_cast<size_t>(width), '*');
  }
  return std::string(static_cast<size_t>(width) - out.size(), ' ') + out;
}

void BlankField(const FieldDescriptor& f, uint8_t* out) {
  uint8_t* p = out + f.offset;
  std::memset(p, BinaryForm(f) ? 0 : ' ', f.length);
  if (f.type == 'V' || f.type == 'Q') std::memset(p, 0, f.length);
}

EncodeResult EncodeField(const FieldDescriptor& f, std::string_view text, uint8_t* record, uint8_t* null_flags) {
  uint8_t* p = record + f.offset;
  const size_t n = f.length;
  SetBit(null_flags, f.null_bit, false);
  switch (f.type) {
    case 'C': {
      size_t k = std::min(n, text.size());
      std::memcpy(p, text.data(), k);
      std::memset(p + k, ' ', n - k);
      return EncodeResult::kStored;
    }
    case 'V': case 'Q': {
      size_t k = std::min(n, text.size());
      std::memset(p, 0, n);
      std::memcpy(p, text.data(), k);
      bool shorter = k < n;
      if (shorter) p[n - 1] = static_cast<uint8_t>(k);
      SetBit(null_flags, f.varlength_bit, shorter);
      return EncodeResult::kStored;
    }
    case 'N': case 'F': {
      if (Trim(text).empty()) {
        std::memset(p, ' ', n);
        return EncodeResult::kStored;
      }
      bool overflow = false, invalid = false;
      std::string s = FormatNumber(text, f.length, f.decimals, &overflow, &invalid);
      std::memcpy(p, s.data(), n);
      return invalid ? EncodeResult::kInvalid : overflow ? EncodeResult::kOverflow : EncodeResult::kStored;
    }
    case 'D': {
      std::string_view t = Trim(text);
      std::memset(p, ' ', n);
      if (t.empty()) return EncodeResult::kStored;
      std::string digits = DigitsOf(t);
      if (digits.size() < 8 || !ValidDate(Num(digits, 0, 4), Num(digits, 4, 2), Num(digits, 6, 2)))
        return EncodeResult::kInvalid;
      std::memcpy(p, digits.data(), 8);
      return EncodeResult::kStored;
    }
    case 'L': {
      std::string_view t = Trim(text);
      char c = t.empty() ? ' ' : t.front();
      switch (c) {
        case 'T': case 't': case 'Y': case 'y': p[0] = 'T'; break;
        case 'F': case 'f': case 'N': case 'n': case '0': p[0] = 'F'; break;
        case ' ': p[0] = ' '; break;
        default:
          if (c >= '1' && c <= '9') {
            p[0] = 'T';
            break;
          }
          p[0] = ' ';
          return EncodeResult::kInvalid;
      }
      return EncodeResult::kStored;
    }
    case 'I': {
      std::memset(p, 0, n);
      if (Trim(text).empty()) return EncodeResult::kStored;
      auto v = ScaledInteger(text, 0);
      if (!v) return ParseDecimal(text) ? EncodeResult::kOverflow : EncodeResult::kInvalid;
      if (*v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max())
        return EncodeResult::kOverflow;
      PutLe32(p, static_cast<uint32_t>(static_cast<int32_t>(*v)));
      return EncodeResult::kStored;
    }
    case 'Y': {
      std::memset(p, 0, n);
      if (Trim(text).empty()) return EncodeResult::kStored;
      auto v = ScaledInteger(text, 4);
      if (!v) return ParseDecimal(text) ? EncodeResult::kOverflow : EncodeResult::kInvalid;
      PutLe64(p, static_cast<uint64_t>(*v));
      return EncodeResult::kStored;
    }
    case 'B': {  // VFP double; dBASE's B is a memo and never gets here
      std::memset(p, 0, n);
      std::string_view t = Trim(text);
      if (t.empty()) return EncodeResult::kStored;
      if (!t.empty() && t.front() == '+') t.remove_prefix(1);
      double v = 0;
      auto r = std::from_chars(t.data(), t.data() + t.size(), v);
      if (r.ec == std::errc::result_out_of_range) return EncodeResult::kOverflow;
      if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return EncodeResult::kInvalid;
      uint64_t bits;
      std::memcpy(&bits, &v, 8);
      PutLe64(p, bits);
      return EncodeResult::kStored;
    }
    case 'T': {
      std::memset(p, 0, n);
      std::string_view t = Trim(text);
      if (t.empty()) return EncodeResult::kStored;
      std::string digits = DigitsOf(t);
      if (digits.size() != 8 && digits.size() != 12 && digits.size() != 14) return EncodeResult::kInvalid;
      digits.resize(14, '0');
      int y = Num(digits, 0, 4), mo = Num(digits, 4, 2), d = Num(digits, 6, 2);
      int h = Num(digits, 8, 2), mi = Num(digits, 10, 2), s = Num(digits, 12, 2);
      if (!ValidDate(y, mo, d) || h > 23 || mi > 59 || s > 59) return EncodeResult::kInvalid;
      PutLe32(p, static_cast<uint32_t>(JulianDay(y, mo, d)));
      PutLe32(p + 4, static_cast<uint32_t>(((h * 60 + mi) * 60 + s) * 1000));
      return EncodeResult::kStored;
    }
    default:  // memo-like and system fields are not assigned from text here
      return EncodeResult::kInvalid;
  }
}

std::string DecodeField(const FieldDescriptor& f, const uint8_t* record, const uint8_t* null_flags) {
  const uint8_t* p = record + f.offset;
  const size_t n = f.length;
  if (GetBit(null_flags, f.null_bit)) return "";
  std::string_view raw(reinterpret_cast<const char*>(p), n);
  switch (f.type) {
    case 'C': {
      while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\0')) raw.remove_suffix(1);
      return std::string(raw);
    }
    case 'V': case 'Q': {
      size_t k = GetBit(null_flags, f.varlength_bit) ? std::min<size_t>(p[n - 1], n) : n;
      return std::string(raw.substr(0, k));
    }
    case 'N': case 'F': case 'D':
      return std::string(Trim(raw));
    case 'L':
      return (p[0] == 'T' || p[0] == 't' || p[0] == 'Y' || p[0] == 'y')   ? "T"
             : (p[0] == 'F' || p[0] == 'f' || p[0] == 'N' || p[0] == 'n') ? "F"
                                                                          : "";
    case 'I':
      return std::to_string(static_cast<int32_t>(GetLe32(p)));
    case 'Y': {
      int64_t v = static_cast<int64_t>(GetLe64(p));
      std::string digits = std::to_string(v < 0 ? -(v + 1) + 1ull : static_cast<uint64_t>(v));
      if (digits.size() < 5) digits = std::string(5 - digits.size(), '0') + digits;
      std::string text;
      if (v < 0) text.push_back('-');
      text.append(digits, 0, digits.size() - 4).append(1, '.').append(digits, digits.size() - 4, 4);
      return text;
    }
    case 'T': {
      uint32_t jdn = GetLe32(p), ms = GetLe32(p + 4);
      if (jdn == 0 && ms == 0) return "";
      int y, mo, d;
      CivilFromJulianDay(jdn, &y, &mo, &d);
      uint32_t secs = ms / 1000;
      char buf[32];
      std::snprintf(buf, sizeof buf, "%04d%02d%02d%02u%02u%02u", y, mo, d, (secs / 3600) % 24, (secs / 60) % 60, secs % 60);
      return buf;
    }
    default:
      if (f.type == 'B' && n == 8) {
        double v;
        uint64_t bits = GetLe64(p);
        std::memcpy(&v, &bits, 8);
        char buf[40];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        return std::string(buf, r.ptr);
      }
      if (f.IsMemo()) {
        uint32_t block = MemoBlockOf(f, record);
        return block ? std::to_string(block) : "";
      }
      return std::string(raw);
  }
}

uint32_t MemoBlockOf(const FieldDescriptor& f, const uint8_t* record) {
  const uint8_t* p = record + f.offset;
  if (f.length == 4) return GetLe32(p);
  std::string_view s = Trim(std::string_view(reinterpret_cast<const char*>(p), f.length));
  uint32_t block = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), block);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return 0;
  return block;
}

void PutMemoBlock(const FieldDescriptor& f, uint8_t* record, uint32_t block) {
  uint8_t* p = record + f.offset;
  if (f.length == 4) {
    PutLe32(p, block);
    return;
  }
  std::memset(p, ' ', f.length);
  if (block == 0) return;
  std::string s = std::to_string(block);
  std::memcpy(p + f.length - s.size(), s.data(), s.size());
}

}  // namespace xbase
