// A fresh directory per test, removed afterwards, and small file helpers.
// The folder is the test suite's own temporary folder (TTempDir); this only
// gives it the engine tests' way of naming files: dir / "name".
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

class ScratchDir {
 public:
  std::string operator/(const std::string& name) const { return dir_.File(name); }
  std::string str() const { return dir_.Path(); }

 private:
  tidewell::test::TTempDir dir_;
};

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
