// A fresh folder under the system's temporary directory, removed with all its
// contents when the object goes away.
#pragma once

#include <string>
#include <vector>

namespace tidewell::test {

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return FPath; }
  // name may use "/" between folders; the path uses the platform separator.
  std::string File(const std::string& name) const;

 private:
  std::string FPath;
};

// Whole content of a file ("" when missing); WriteFile replaces it.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Lines of a file split at CR LF (the log's line end).
std::vector<std::string> ReadCrLfLines(const std::string& path);

}  // namespace tidewell::test
