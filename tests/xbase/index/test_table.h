// A table of deterministic test records, written as a plain dBASE III file
// so that the independent checker can read the values our indexes hold.
#pragma once

#include "xbase/index/production_index.h"
#include "xbase/index/record_view.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/Command.h"
#include "tests/xbase/scratch_dir.h"

namespace xbase::index::test {

using ::ScratchDir;

// NAME C(20), MACHINE N(3), DAT_E D, AMOUNT N(10,2), OK L
class TestTable {
 public:
  TestTable() {
    uint32_t offset = 1;
    auto add = [&](const char* name, char type, uint8_t length, uint8_t decimals) {
      fields_.push_back({name, type, offset, length, decimals, false});
      offset += length;
    };
    add("NAME", 'C', 20, 0);
    add("MACHINE", 'N', 3, 0);
    add("DAT_E", 'D', 8, 0);
    add("AMOUNT", 'N', 10, 2);
    add("OK", 'L', 1, 0);
    record_length_ = offset;
  }

  const std::vector<FieldInfo>& fields() const { return fields_; }
  size_t count() const { return records_.size() / record_length_; }
  std::span<const uint8_t> record(size_t i) const { return {records_.data() + i * record_length_, record_length_}; }

  // Appends a record; returns its bytes. Values repeat so that keys have
  // duplicates, and wander so that inserts land all over the tree.
  std::span<const uint8_t> Append(const std::string& name, int machine, const std::string& dtos, double amount,
                                  bool ok, bool deleted = false) {
    size_t at = records_.size();
    records_.resize(at + record_length_, ' ');
    uint8_t* r = records_.data() + at;
    r[0] = deleted ? '*' : ' ';
    Put(r + 1, name, 20, false);
    Put(r + 21, machine < 0 ? std::string() : std::to_string(machine), 3, true);
    Put(r + 24, dtos, 8, false);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", amount);
    Put(r + 32, buf, 10, true);
    r[42] = ok ? 'T' : 'F';
    return record(count() - 1);
  }

  std::span<const uint8_t> AppendGenerated(uint32_t i) {
    static const char* kNames[] = {"smith", "Jones", "BROWN", "o'hara", "Zed", "alpha beta", "", "Miller"};
    uint32_t h = i * 2654435761u;
    std::string name = std::string(kNames[h % 8]) + (h % 8 == 6 ? "" : std::to_string(h % 977));
    int machine = static_cast<int>((h >> 8) % 120);
    char dtos[16];
    if ((h >> 4) % 50 == 0) dtos[0] = '\0';  // some blank dates
    else std::snprintf(dtos, sizeof dtos, "%04u%02u%02u", 1998 + (h >> 12) % 30, 1 + (h >> 3) % 12, 1 + (h >> 5) % 28);
    double amount = (static_cast<double>((h >> 7) % 200001) - 100000.0) / 100.0;
    return Append(name, machine, dtos, amount, (h & 1) != 0, (h >> 9) % 97 == 0);
  }

  void WriteDbf(const std::string& path) const {
    std::vector<uint8_t> h(32 + 32 * fields_.size() + 1, 0);
    h[0] = 0x03;
    h[1] = 124;
    h[2] = 1;
    h[3] = 1;
    auto le = [&](size_t at, uint32_t v, int n) {
      for (int i = 0; i < n; ++i) h[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    };
    le(4, static_cast<uint32_t>(count()), 4);
    le(8, static_cast<uint32_t>(h.size()), 2);
    le(10, record_length_, 2);
    for (size_t i = 0; i < fields_.size(); ++i) {
      uint8_t* d = h.data() + 32 + 32 * i;
      std::copy(fields_[i].name.begin(), fields_[i].name.end(), d);
      d[11] = static_cast<uint8_t>(fields_[i].type);
      d[16] = fields_[i].length;
      d[17] = fields_[i].decimals;
    }
    h.back() = 0x0D;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(h.data()), static_cast<std::streamsize>(h.size()));
    out.write(reinterpret_cast<const char*>(records_.data()), static_cast<std::streamsize>(records_.size()));
    out.put(0x1A);
  }

 private:
  static void Put(uint8_t* at, const std::string& text, size_t width, bool right) {
    std::string s = text.substr(0, width);
    size_t pad = width - s.size();
    std::copy(s.begin(), s.end(), at + (right ? pad : 0));
  }

  std::vector<FieldInfo> fields_;
  uint32_t record_length_ = 0;
  std::vector<uint8_t> records_;
};

inline TagDescription Tag(const std::string& name, const std::string& expression, const std::string& filter = "") {
  TagDescription tag;
  tag.name = name;
  tag.expression = expression;
  tag.filter = filter;
  return tag;
}

// Runs the independent checker; returns its exit status and its output.
inline int RunIdxCheck(const std::string& index, const std::string& dbf, std::string* output) {
  std::string command = std::string(IDXCHECK_PYTHON) + " " + IDXCHECK_SCRIPT + " '" + index + "'";
  if (!dbf.empty()) command += " --dbf '" + dbf + "'";
  return tidewell::test::RunCommand(command, output);
}

}  // namespace xbase::index::test
