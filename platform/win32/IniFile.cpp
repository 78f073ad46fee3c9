// The system's profile functions do the parsing here; it takes a relative
// file name as one in the Windows folder, so names are made absolute first.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "common/Text.h"
#include "platform/IniFile.h"
#include "platform/System.h"

namespace platform {

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  char buffer[MaxProfileValue + 1];
  const std::string file = ExpandFileName(FFileName);
  const DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer,
                                           sizeof buffer, file.c_str());
  return std::string(buffer, n);
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  std::vector<std::string> keys;
  const std::string file = ExpandFileName(FFileName);
  if (!FileExists(file)) return keys;
  // The key names come as zero-ended texts followed by one more zero; a
  // buffer that was too small is tried again with a larger one.
  std::string buffer(4096, '\0');
  for (;;) {
    const DWORD n = GetPrivateProfileStringA(section.c_str(), nullptr, "", buffer.data(),
                                             static_cast<DWORD>(buffer.size()), file.c_str());
    if (n + 2 < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.assign(buffer.size() * 2, '\0');
  }
  std::size_t i = 0;
  while (i < buffer.size()) {
    std::size_t end = buffer.find('\0', i);
    if (end == std::string::npos) end = buffer.size();
    const std::string name = buffer.substr(i, end - i);
    bool seen = name.empty();
    for (const auto& k : keys) seen = seen || tidewell::SameText(k, name);
    if (!seen) keys.push_back(name);
    i = end + 1;
  }
  return keys;
}

}  // namespace platform
