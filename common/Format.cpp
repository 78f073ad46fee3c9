#include "common/Format.h"

#include <cstdio>
#include <string>
#include <vector>

namespace tidewell {
namespace {

// snprintf into a string of the size the output needs.
template <typename... A>
std::string Printf(const char* fmt, A... args) {
  int len = std::snprintf(nullptr, 0, fmt, args...);
  if (len <= 0) return {};
  std::string out(static_cast<size_t>(len) + 1, '\0');
  std::snprintf(out.data(), out.size(), fmt, args...);
  out.resize(static_cast<size_t>(len));
  return out;
}

std::string Quoted(std::string_view tmpl) { return std::string(tmpl.substr(0, 31)); }

[[noreturn]] void Invalid(std::string_view tmpl) {
  throw EFormatError("Format '" + Quoted(tmpl) + "' invalid or incompatible with argument");
}

[[noreturn]] void NoArgument(std::string_view tmpl) {
  throw EFormatError("No argument for format '" + Quoted(tmpl) + "'");
}

std::string Pad(std::string text, int width, bool left) {
  if (width > 0 && static_cast<size_t>(width) > text.size()) {
    std::string fill(static_cast<size_t>(width) - text.size(), ' ');
    text = left ? text + fill : fill + text;
  }
  return text;
}

// Number with thousands separators, as the "n" type writes it.
std::string Grouped(const std::string& fixed) {
  size_t start = (fixed[0] == '-') ? 1 : 0;
  size_t dot = fixed.find('.');
  size_t intEnd = dot == std::string::npos ? fixed.size() : dot;
  std::string out = fixed.substr(0, start);
  for (size_t i = start; i < intEnd; ++i) {
    out += fixed[i];
    size_t left = intEnd - i - 1;
    if (left > 0 && left % 3 == 0) out += ',';
  }
  out += fixed.substr(intEnd);
  return out;
}

}  // namespace

std::string FormatArgs(std::string_view tmpl, std::initializer_list<TFormatArg> argList) {
  const std::vector<const TFormatArg*> args = [&] {
    std::vector<const TFormatArg*> v;
    for (const auto& a : argList) v.push_back(&a);
    return v;
  }();
  size_t next = 0;
  auto take = [&]() -> const TFormatArg& {
    if (next >= args.size()) NoArgument(tmpl);
    return *args[next++];
  };
  auto takeInt = [&]() -> int {
    const TFormatArg& a = take();
    if (!std::holds_alternative<std::int64_t>(a.Value)) Invalid(tmpl);
    return static_cast<int>(std::get<std::int64_t>(a.Value));
  };

  std::string out;
  size_t i = 0;
  const size_t n = tmpl.size();
  while (i < n) {
    char c = tmpl[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    ++i;
    if (i >= n) Invalid(tmpl);
    if (tmpl[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // Optional index "N:" or "*:" repositions the argument cursor.
    {
      size_t j = i;
      while (j < n && tmpl[j] >= '0' && tmpl[j] <= '9' && j - i < 6) ++j;
      if (j > i && j < n && tmpl[j] == ':') {
        next = static_cast<size_t>(std::stoi(std::string(tmpl.substr(i, j - i))));
        i = j + 1;
      } else if (i + 1 < n && tmpl[i] == '*' && tmpl[i + 1] == ':') {
        const int index = takeInt();
        if (index < 0) Invalid(tmpl);
        next = static_cast<size_t>(index);
        i += 2;
      }
    }
    bool left = false;
    if (i < n && tmpl[i] == '-') {
      left = true;
      ++i;
    }
    int width = -1;
    if (i < n && tmpl[i] == '*') {
      width = takeInt();
      ++i;
    } else {
      while (i < n && tmpl[i] >= '0' && tmpl[i] <= '9') {
        width = (width < 0 ? 0 : width * 10) + (tmpl[i++] - '0');
        if (width > 100000) Invalid(tmpl);
      }
    }
    int precision = -1;
    if (i < n && tmpl[i] == '.') {
      ++i;
      precision = 0;
      if (i < n && tmpl[i] == '*') {
        precision = takeInt();
        ++i;
      } else {
        while (i < n && tmpl[i] >= '0' && tmpl[i] <= '9') {
          precision = precision * 10 + (tmpl[i++] - '0');
          if (precision > 100000) Invalid(tmpl);
        }
      }
    }
    if (i >= n) Invalid(tmpl);
    char type = tmpl[i++];
    if (type >= 'A' && type <= 'Z') type = static_cast<char>(type - 'A' + 'a');

    std::string text;
    char buf[32];
    switch (type) {
      case 'd':
      case 'u':
      case 'x': {
        const TFormatArg& a = take();
        if (!std::holds_alternative<std::int64_t>(a.Value)) Invalid(tmpl);
        std::int64_t v = std::get<std::int64_t>(a.Value);
        if (type == 'd') {
          const unsigned long long magnitude =
              v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
          std::snprintf(buf, sizeof buf, "%llu", magnitude);
        } else if (type == 'u') {
          std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(static_cast<std::uint32_t>(v)));
        } else {
          std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
        }
        std::string digits = buf;
        if (precision > 0 && static_cast<size_t>(precision) > digits.size())
          digits.insert(0, static_cast<size_t>(precision) - digits.size(), '0');
        text = (type == 'd' && v < 0) ? "-" + digits : digits;
        break;
      }
      case 's': {
        const TFormatArg& a = take();
        if (!std::holds_alternative<std::string>(a.Value)) Invalid(tmpl);
        text = std::get<std::string>(a.Value);
        if (precision >= 0 && static_cast<size_t>(precision) < text.size()) text.resize(static_cast<size_t>(precision));
        break;
      }
      case 'f':
      case 'e':
      case 'g':
      case 'n': {
        const TFormatArg& a = take();
        if (!std::holds_alternative<double>(a.Value)) Invalid(tmpl);
        double v = std::get<double>(a.Value);
        int p = precision;
        if (p > 300) p = 300;
        if (type == 'f' || type == 'n') {
          text = Printf("%.*f", p < 0 ? 2 : p, v);
          if (type == 'n') text = Grouped(text);
        } else if (type == 'e') {
          text = Printf("%.*E", p < 0 ? 14 : (p > 0 ? p - 1 : 0), v);
        } else {
          text = Printf("%.*G", p < 0 ? 15 : p, v);
        }
        break;
      }
      default:
        Invalid(tmpl);
    }
    out += Pad(std::move(text), width, left);
  }
  return out;
}

}  // namespace tidewell
