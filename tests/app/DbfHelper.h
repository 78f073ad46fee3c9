// The Python helper of the conversion tests (dbf_helper.py): it writes
// templates and records the way other programs do, and reads files back
// through the independent readers.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/Command.h"

namespace tidewell::test {

// Runs the helper with `args`; what it printed. A helper that fails fails
// the test.
inline std::string RunPython(const std::string& args) {
  const std::string command =
      std::string(TIDEWELL_PYTHON) + " " + std::string(TIDEWELL_TEST_SOURCE_DIR) + "/dbf_helper.py " + args;
  std::string out;
  EXPECT_EQ(RunCommand(command, &out), 0) << command << "\n" << out;
  return out;
}

}  // namespace tidewell::test
