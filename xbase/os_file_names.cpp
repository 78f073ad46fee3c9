// File-name rules shared by every system the engine runs on.
#include "xbase/os_file.h"

namespace xbase {

std::string CompanionName(const std::string& path, const std::string& ext) {
  const size_t slash = path.find_last_of(kPathSeparators);
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string old_ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  // The new extension takes the letter case of the old one: DATA.DBF -> DATA.FPT.
  bool upper = !old_ext.empty();
  for (char c : old_ext)
    if (c >= 'a' && c <= 'z') upper = false;
  std::string result = ext;
  for (char& c : result) {
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return dir + stem + result;
}

}  // namespace xbase
