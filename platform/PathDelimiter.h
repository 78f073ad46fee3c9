// Where the last folder separator of a path stands, by this system's rules
// (a drive colon counts on Windows); npos when there is none. Each system's
// System.cpp defines it; the portable name helpers build on it.
#pragma once

#include <string>

namespace platform::detail {

std::string::size_type LastPathDelimiter(const std::string& path);

}  // namespace platform::detail
