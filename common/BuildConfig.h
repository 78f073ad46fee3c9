// Values fixed when the program is built (see the top-level CMakeLists.txt).
// Nothing here is read at run time: a site that needs another share root or
// default server builds with its own values.
#pragma once

namespace tidewell {

// Root of the file-server share; ends in the platform's path separator.
inline constexpr const char* ShareRoot = TIDEWELL_SHARE_ROOT;

// Address placed after "SERVER=" in the default Custom connection attribute.
inline constexpr const char* DefaultServer = TIDEWELL_DEFAULT_SERVER;

// The executable's file version, four 16-bit parts.
inline constexpr unsigned VersionParts[4] = {TIDEWELL_VERSION_MAJOR, TIDEWELL_VERSION_MINOR,
                                             TIDEWELL_VERSION_PATCH, TIDEWELL_VERSION_TWEAK};

}  // namespace tidewell
