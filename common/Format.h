// printf-like formatting with the system's placeholders and its own error
// texts. A placeholder is
//     "%" [index ":"] ["-"] [width] ["." precision] type
// with type d (integer; precision = minimum digits), u (unsigned), x (hex),
// s (text; precision = maximum characters), f, e, g, n (numbers; precision =
// decimals, 2 by default for f and n) and "%%" for a percent sign. Width and
// precision may be "*", taken from the next (integer) argument.
//
// A placeholder that does not fit its argument raises EFormatError with
// "Format '<template>' invalid or incompatible with argument"; running out of
// arguments raises "No argument for format '<template>'". Only the first 31
// characters of the template appear in either text.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace tidewell {

class EFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TFormatArg {
 public:
  template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
  TFormatArg(T value) : Value(static_cast<std::int64_t>(value)) {}
  template <typename T>
    requires std::is_floating_point_v<T>
  TFormatArg(T value) : Value(static_cast<double>(value)) {}
  TFormatArg(const char* value) : Value(std::string(value ? value : "")) {}
  TFormatArg(std::string_view value) : Value(std::string(value)) {}
  TFormatArg(const std::string& value) : Value(value) {}
  TFormatArg(char value) : Value(std::string(1, value)) {}

  std::variant<std::int64_t, double, std::string> Value;
};

std::string FormatArgs(std::string_view tmpl, std::initializer_list<TFormatArg> args);

template <typename... Args>
std::string Format(std::string_view tmpl, const Args&... args) {
  return FormatArgs(tmpl, {TFormatArg(args)...});
}

}  // namespace tidewell
