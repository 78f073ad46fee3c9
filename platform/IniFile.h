// Reading INI ("profile") files by the rules of Windows' profile functions,
// so that a settings file reads the same on both systems:
//  - "[Section]" lines open a section; "Key=Value" lines belong to the last
//    one; blanks around names and values are ignored, and one pair of
//    matching quotes around a whole value is removed;
//  - section and key names match without regard to ASCII case; when a name
//    occurs twice, the first occurrence wins;
//  - lines starting with ";" are comments; a line without "=" inside a
//    section is a key with an empty value;
//  - a missing file, section or key gives the caller's default;
//  - a value keeps at most 2047 characters (the reader's 2048-byte buffer).
// The file is read afresh by every call and never written or kept open.
// On Windows the system's own profile functions do the reading; there a ";"
// line is an ordinary key and a name without "=" is no key.
#pragma once

#include <string>
#include <vector>

namespace platform {

inline constexpr std::size_t MaxProfileValue = 2047;

// Why a file gives (some of) its defaults: every read falls back silently,
// so a caller that wants to say why asks here.
struct TIniFileState {
  enum TKind {
    fsRead,        // the file reads, and the section has keys
    fsMissing,     // no such file
    fsUnreadable,  // there, but can't be opened or read (Problem says why)
    fsEmpty,       // nothing in it but blanks and line ends
    fsUtf16,       // UTF-16 text, which the reader takes for no section at all
    fsNoSection,   // it reads, but the section is missing or holds no key
  };
  TKind Kind = fsRead;
  std::string Problem;
  // It starts with a UTF-8 byte order mark, which the reader skips.
  bool Utf8Bom = false;
};

class TIniFile {
 public:
  explicit TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}

  const std::string& FileName() const { return FFileName; }
  std::string ReadString(const std::string& section, const std::string& key, const std::string& defaultValue) const;
  // Key names of a section in file order (as written, duplicates once);
  // empty when the file or section is missing.
  std::vector<std::string> ReadSection(const std::string& section) const;
  // What state the file is in, for the section given.
  TIniFileState Check(const std::string& section) const;

 private:
  std::string FFileName;
};

}  // namespace platform
