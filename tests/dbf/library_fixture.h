// What the library tests share: the library's reports collected for one
// test, and a CodeHandle set up the way a conversion run sets it up.
#pragma once

#include "dbf/CodeBase.h"

#include <string>
#include <vector>

class Reports {
 public:
  Reports() {
    code4setReport([this](const std::string& line) { lines.push_back(line); });
  }
  ~Reports() { code4setReport(nullptr); }
  // How many lines hold `part`.
  size_t Count(const std::string& part) const {
    size_t n = 0;
    for (const auto& line : lines) n += line.find(part) != std::string::npos ? 1 : 0;
    return n;
  }
  std::vector<std::string> lines;
};

class Code {
 public:
  Code() : h(code4initP()) {
    code4singleOpen(h, 0);
    code4safety(h, 0);
    code4errFieldName(h, 0);
  }
  ~Code() {
    code4close(h);
    code4initUndoP(h);
  }
  Code(const Code&) = delete;
  Code& operator=(const Code&) = delete;
  CodeHandle h;
};
