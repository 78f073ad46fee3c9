// ASCII case folding: the one rule the program and its dBASE engine share.
// Only the letters a-z and A-Z change; every other byte, those of any code
// page above 127 included, passes through, so a name or a key folds the same
// whatever the table's code page. Header-only and dependent on nothing, so
// the engine in xbase/, which links nothing of the service, uses it too.
#pragma once

#include <string>
#include <string_view>

namespace tidewell::ascii {

constexpr char ToUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char ToLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string Upper(std::string_view text) {
  std::string r(text);
  for (char& c : r) c = ToUpper(c);
  return r;
}

inline std::string Lower(std::string_view text) {
  std::string r(text);
  for (char& c : r) c = ToLower(c);
  return r;
}

constexpr bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ToUpper(a[i]) != ToUpper(b[i])) return false;
  return true;
}

}  // namespace tidewell::ascii
