// UTF-8 character boundaries: the one reading the program and its dBASE
// engine share of where a character ends. Header-only and dependent on
// nothing, so that the engine in xbase/, which links nothing of the
// service, uses it too.
#pragma once

#include <cstddef>
#include <string_view>

namespace tidewell::utf8 {

// Length of the well-formed UTF-8 sequence at the start of a text that is
// not empty, else 1 (a byte that starts none counts as one character).
inline std::size_t SequenceLength(std::string_view text) {
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

// Bytes of the longest start of `text` that holds at most max_chars
// characters and max_bytes bytes and ends on a character boundary.
inline std::size_t Prefix(std::string_view text, std::size_t max_chars, std::size_t max_bytes) {
  std::size_t at = 0;
  for (std::size_t chars = 0; chars < max_chars && at < text.size(); ++chars) {
    const std::size_t n = SequenceLength(text.substr(at));
    if (at + n > max_bytes) break;
    at += n;
  }
  return at;
}

}  // namespace tidewell::utf8
