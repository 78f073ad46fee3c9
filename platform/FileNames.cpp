// File-name helpers that read the same on every system, given where its
// last folder separator stands.
#include "platform/PathDelimiter.h"
#include "platform/System.h"

namespace platform {

using detail::LastPathDelimiter;

std::string ExtractFilePath(const std::string& path) {
  const auto pos = LastPathDelimiter(path);
  return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string ExtractFileName(const std::string& path) {
  const auto pos = LastPathDelimiter(path);
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string ExtractFileExt(const std::string& path) {
  const auto delim = LastPathDelimiter(path);
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || (delim != std::string::npos && dot < delim)) return {};
  return path.substr(dot);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  const std::string current = ExtractFileExt(path);
  return path.substr(0, path.size() - current.size()) + ext;
}

}  // namespace platform
