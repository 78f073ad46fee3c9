#include "common/Text.h"

#include "common/Ascii.h"
#include "common/Utf8.h"

namespace tidewell {

std::string TrimLeft(std::string_view text) {
  size_t b = 0;
  while (b < text.size() && IsBlankOrControl(text[b])) ++b;
  return std::string(text.substr(b));
}

std::string TrimRight(std::string_view text) {
  size_t e = text.size();
  while (e > 0 && IsBlankOrControl(text[e - 1])) --e;
  return std::string(text.substr(0, e));
}

std::string Trim(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlankOrControl(text[b])) ++b;
  while (e > b && IsBlankOrControl(text[e - 1])) --e;
  return std::string(text.substr(b, e - b));
}

std::string UpperCase(std::string_view text) { return ascii::Upper(text); }

std::string LowerCase(std::string_view text) { return ascii::Lower(text); }

bool SameText(std::string_view a, std::string_view b) { return ascii::EqualIgnoringCase(a, b); }

std::size_t Utf8Prefix(std::string_view text, std::size_t MaxChars, std::size_t MaxBytes) {
  return utf8::Prefix(text, MaxChars, MaxBytes);
}

}  // namespace tidewell
