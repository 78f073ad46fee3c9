// Runs a libFuzzer target's entry point once on each input named on the
// command line; a folder stands for every file in it, in name order. Used
// for the inputs that once found a fault (fuzz/regressions/<target>/), so
// they are replayed by every test run without libFuzzer. A fault in the
// target shows as a sanitizer report or a crash; a folder or file that
// cannot be read fails the run, so a moved folder is never a silent pass.
// Names starting with '.' are not inputs (they keep empty folders in git).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

bool Replay(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return false;
  }
  const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::printf("%s (%zu bytes)\n", file.c_str(), data.size());
  std::fflush(stdout);  // names the input before a crash can hide it
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FOLDER|FILE...\n", argv[0]);
    return 2;
  }
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg = argv[i];
    std::error_code ec;
    if (!fs::is_directory(arg, ec)) {
      if (!Replay(arg)) return 1;
      ++replayed;
      continue;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(arg, ec))
      if (entry.is_regular_file() && entry.path().filename().string().front() != '.') files.push_back(entry.path());
    if (ec) {
      std::fprintf(stderr, "cannot list %s: %s\n", arg.c_str(), ec.message().c_str());
      return 1;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      if (!Replay(file)) return 1;
      ++replayed;
    }
  }
  std::printf("%zu inputs replayed without a fault\n", replayed);
  return 0;
}
