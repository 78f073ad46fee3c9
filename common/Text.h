// Small text helpers with the system's own rules: texts are 8-bit strings,
// "blank" means any character of code 0 to 32, and case folding touches ASCII
// letters only (bytes of other code pages pass through unchanged).
#pragma once

#include <string>
#include <string_view>

namespace tidewell {

inline bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string Trim(std::string_view text);       // both ends, codes 0-32
std::string TrimLeft(std::string_view text);
std::string TrimRight(std::string_view text);
std::string UpperCase(std::string_view text);  // ASCII letters only
std::string LowerCase(std::string_view text);  // ASCII letters only
bool SameText(std::string_view a, std::string_view b);  // equal ignoring ASCII case

// Bytes of the longest start of a UTF-8 text that holds at most MaxChars
// characters and MaxBytes bytes and ends on a character boundary. A byte
// that starts no well-formed sequence counts as one character.
std::size_t Utf8Prefix(std::string_view text, std::size_t MaxChars, std::size_t MaxBytes);

}  // namespace tidewell
