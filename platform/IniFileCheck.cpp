// TIniFile::Check: the same on every system, since it looks at the bytes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/IniFile.h"

namespace platform {

TIniFileState TIniFile::Check(const std::string& section) const {
  TIniFileState state;
  std::error_code ec;
  const auto status = std::filesystem::status(FFileName, ec);
  if (!std::filesystem::exists(status)) {
    state.Kind = TIniFileState::fsMissing;
    return state;
  }
  if (std::filesystem::is_directory(status)) {
    state.Kind = TIniFileState::fsUnreadable;
    state.Problem = "it is a folder";
    return state;
  }
  std::FILE* f = std::fopen(FFileName.c_str(), "rb");
  if (!f) {
    state.Kind = TIniFileState::fsUnreadable;
    state.Problem = std::strerror(errno);
    return state;
  }
  // The start tells the encoding; the whole file tells whether it is empty.
  std::string bytes;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && bytes.size() < (1u << 20)) bytes.append(buffer, n);
  const bool failed = std::ferror(f) != 0;
  const int error = errno;
  std::fclose(f);
  if (failed) {
    state.Kind = TIniFileState::fsUnreadable;
    state.Problem = std::strerror(error);
    return state;
  }
  const auto startsWith = [&](const char* mark) { return bytes.rfind(mark, 0) == 0; };
  // UTF-16 with its mark, or without one: ASCII text with a zero byte
  // before or after every character.
  if (startsWith("\xFF\xFE") || startsWith("\xFE\xFF") ||
      (bytes.size() >= 2 && (bytes[0] == '\0') != (bytes[1] == '\0'))) {
    state.Kind = TIniFileState::fsUtf16;
    return state;
  }
  state.Utf8Bom = startsWith("\xEF\xBB\xBF");
  if (bytes.find_first_not_of(" \t\r\n", state.Utf8Bom ? 3 : 0) == std::string::npos) {
    state.Kind = TIniFileState::fsEmpty;
    return state;
  }
  if (ReadSection(section).empty()) state.Kind = TIniFileState::fsNoSection;
  return state;
}

}  // namespace platform
