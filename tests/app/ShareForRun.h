// The folders a run of the conversion works in, for the tests that run it
// in-process: a share with both tables' folders and the weight template,
// the journal beside the "executable" and the log in the test's folder.
#pragma once

#include <memory>
#include <string>

#include "app/sMain.h"
#include "logging/MessLog.h"
#include "platform/System.h"
#include "tests/app/DbfHelper.h"
#include "tests/support/TempDir.h"

namespace tidewell::test {

// Points `k` at a new share in `dir` whose weight template has `fields`;
// the share's path, ending in '/'.
inline std::string ShareForRun(const TTempDir& dir, TKestrel& k, const std::string& fields) {
  const std::string share = dir.File("share") + "/";
  platform::ForceDirectories(share + "netw/weight");
  platform::ForceDirectories(share + "netw/action");
  RunPython("template '" + share + "netw/gstru.dbf' '" + fields + "'");
  k.ShareRootOverride = share;
  k.ExeDirOverride = dir.Path();  // the journal goes there
  MainLog = std::make_unique<TMessLog>(dir.File("run.log"), "", false, false, false, true);
  return share;
}

}  // namespace tidewell::test
