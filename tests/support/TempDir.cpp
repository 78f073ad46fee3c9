#include "tests/support/TempDir.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/System.h"

namespace tidewell::test {

TTempDir::TTempDir() {
  namespace fs = std::filesystem;
  std::random_device rd;
  for (;;) {
    fs::path p = fs::temp_directory_path() / ("tidewell-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      FPath = p.string();
      return;
    }
  }
}

TTempDir::~TTempDir() {
  std::error_code ec;
  // Files a test made read-only must not block the clean-up.
  for (auto& entry : std::filesystem::recursive_directory_iterator(FPath, ec))
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(FPath, ec);
}

std::string TTempDir::File(const std::string& name) const {
  std::string path = FPath + platform::PathDelim + name;
  for (char& c : path)
    if (c == '/') c = platform::PathDelim;
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::vector<std::string> ReadCrLfLines(const std::string& path) {
  const std::string all = ReadFile(path);
  std::vector<std::string> lines;
  size_t i = 0;
  while (i < all.size()) {
    size_t j = all.find("\r\n", i);
    if (j == std::string::npos) {
      lines.push_back(all.substr(i));
      break;
    }
    lines.push_back(all.substr(i, j - i));
    i = j + 2;
  }
  return lines;
}

}  // namespace tidewell::test
