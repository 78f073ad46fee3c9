// A message log in a temporary folder whose lines a test can read back
// without their time stamps.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "logging/MessLog.h"
#include "tests/support/TempDir.h"

namespace tidewell::test {

class TTestLog {
 public:
  TTestLog() : Log(std::make_unique<TMessLog>(Dir.File("odbc.log"), "", false, false, false, true)) {}

  // Every line written so far, without the file's header line and without
  // time stamps.
  std::vector<std::string> Lines() {
    Log->Flush();
    std::vector<std::string> texts;
    for (const auto& line : ReadCrLfLines(Dir.File("odbc.log"))) {
      if (line.rfind(std::string(21, '.'), 0) == 0) continue;
      texts.push_back(line.size() > 24 ? line.substr(24) : line);
    }
    return texts;
  }

  TTempDir Dir;
  std::unique_ptr<TMessLog> Log;
};

}  // namespace tidewell::test
