#include "common/Text.h"

#include "common/Ascii.h"

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

namespace {

// Length of the well-formed UTF-8 sequence at the start of text, else 1.
std::size_t SequenceLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t n = 1;
  if (lead >= 0xC2 && lead <= 0xDF)
    n = 2;
  else if (lead >= 0xE0 && lead <= 0xEF)
    n = 3;
  else if (lead >= 0xF0 && lead <= 0xF4)
    n = 4;
  if (n > text.size()) return 1;
  for (std::size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 1;
  return n;
}

}  // namespace

std::size_t Utf8Prefix(std::string_view text, std::size_t MaxChars, std::size_t MaxBytes) {
  std::size_t at = 0;
  for (std::size_t chars = 0; chars < MaxChars && at < text.size(); ++chars) {
    const std::size_t n = SequenceLength(text.substr(at));
    if (at + n > MaxBytes) break;
    at += n;
  }
  return at;
}

}  // namespace tidewell
