// Writers killed at random moments: a file being created, an index being
// written. Whatever moment the kill comes, the files left are whole and the
// next open (or creation) leaves nothing dbfcheck rejects.
#include "dbf/CodeBase.h"
#include "dbf/mycbase.h"

#include "scratch_dir.h"
#include "tools/dbfcheck/dbf_check.h"
#include "xbase/index/table_adapter.h"
#include "xbase/table.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace ix = xbase::index;

FIELD4INFO kFields[] = {
    {"NAME", 'C', 10, 0, 0}, {"QTY", 'N', 6, 1, 0}, {"NOTE", 'M', 10, 0, 0}, {nullptr, 0, 0, 0, 0},
};
const TAG4INFO kTags[] = {{"NAME", "UPPER(NAME)", "", 0, 0}, {"QTY", "QTY", "QTY > 3", 0, 0},
                          {nullptr, nullptr, nullptr, 0, 0}};

int Check(const std::string& path, std::string* report) {
  std::ostringstream out;
  int faults = tidewell::tools::CheckDbf(path, out);
  *report = out.str();
  return faults;
}

// Runs `work` in a child process and kills it after `delay`.
template <typename Work>
void KillAfter(std::chrono::microseconds delay, Work work) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    code4setReport([](const std::string&) {});
    work();
    _exit(0);
  }
  std::this_thread::sleep_for(delay);
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace

TEST(Kills, ACreationKilledAnywhereLeavesNoTableOrAWholeOne) {
  ScratchDir dir;
  code4setReport([](const std::string&) {});
  const std::string path = dir / "t.dbf";
  std::mt19937 random(7);
  int whole = 0, absent = 0;
  for (int round = 0; round < 60; ++round) {
    KillAfter(std::chrono::microseconds(random() % 12000), [&] {
      CodeHandle code = code4initP();
      code4safety(code, 0);
      for (;;) {
        // The .dbf goes first: without it nobody opens the rest.
        for (const char* name : {"t.dbf", "t.dbt", "t.mdx"}) std::filesystem::remove(dir / name);
        d4create(code, path.c_str(), kFields, kTags);
      }
    });
    std::string report;
    if (std::filesystem::exists(path)) {
      ++whole;
      ASSERT_EQ(Check(path, &report), 0) << "round " << round << ":\n" << report;
    } else {
      ++absent;
    }
    // The next run makes the file when it is missing, and then it is whole
    // and nothing of the interrupted creation is left beside it.
    CodeHandle code = code4initP();
    code4safety(code, 0);
    if (tidewell::DbfNeedsCreating(path)) {
      FIELD4INFO* fields = kFields;
      ASSERT_NE(d4create(code, path.c_str(), fields, kTags), nullptr);
    }
    DbfHandle d = d4open(code, path.c_str());
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d4close(d), r4success);
    code4initUndoP(code);
    ASSERT_EQ(Check(path, &report), 0) << "round " << round << " after the next run:\n" << report;
    EXPECT_FALSE(std::filesystem::exists(dir / ".t.dbf.new"));
  }
  // The kills fell both before and after the .dbf arrived.
  EXPECT_GT(whole, 0);
  EXPECT_GT(absent, 0);
  code4setReport(nullptr);
}

TEST(Kills, AnIndexWriterKilledAnywhereLeavesAValidIndexInTheSameFile) {
  ScratchDir dir;
  code4setReport([](const std::string&) {});
  const std::string path = dir / "t.dbf", index_path = dir / "t.mdx";
  constexpr uint32_t kRecords = 3000;
  {
    // A table whose records are all on disk and an index that has none of
    // their keys yet.
    CodeHandle code = code4initP();
    ASSERT_NE(d4create(code, path.c_str(), kFields, nullptr), nullptr);
    DbfHandle d = d4open(code, path.c_str());
    for (uint32_t r = 1; r <= kRecords; ++r) {
      ASSERT_EQ(d4appendBlank(d), r4success);
      // Appended rather than "n" + ...: GCC 12 warns falsely of overlapping
      // copies (-Wrestrict) in that optimised operator+.
      std::string name(1, 'n');
      name.append(std::to_string(r * 7919 % 10007));
      f4assign(d4field(d, "NAME"), name.c_str());
      f4assign(d4field(d, "QTY"), std::to_string(r % 9).c_str());
    }
    ASSERT_EQ(d4close(d), r4success);
    code4initUndoP(code);
    auto table = xbase::Table::Open(path, {});
    std::vector<ix::TagDescription> tags(2);
    tags[0].name = "NAME";
    tags[0].expression = "UPPER(NAME)";
    tags[1].name = "QTY";
    tags[1].expression = "QTY";
    tags[1].filter = "QTY > 3";
    std::string problem;
    ASSERT_NE(ix::ProductionIndex::Create(index_path, ix::IndexKind::kMdx, tags, ix::FieldsOf(table->header()), &problem),
              nullptr)
        << problem;
    ASSERT_TRUE(table->SetTableFlags(0x01));
  }
  struct stat before {};
  ASSERT_EQ(stat(index_path.c_str(), &before), 0);

  std::mt19937 random(11);
  for (int round = 0; round < 16; ++round) {
    KillAfter(std::chrono::microseconds(2000 + random() % 300000), [&] {
      xbase::TableOptions options;
      options.read_only = true;
      auto table = xbase::Table::Open(path, options);
      std::string problem;
      auto index = ix::ProductionIndex::Open(index_path, ix::FieldsOf(table->header()), &problem);
      if (!table || !index) _exit(1);
      // Keys in small flushes from where the file stands.
      uint32_t from = static_cast<uint32_t>(index->KeyCount(0)) + 1;
      for (uint32_t r = from; r <= kRecords; ++r) {
        if (!table->Go(r) || !index->AddRecord(r, table->record_bytes(), &problem)) _exit(2);
        if (r % 25 == 0 && !index->Flush(&problem)) _exit(3);
      }
      // Then the same keys taken out and put back, flush after flush,
      // until the kill comes.
      for (uint32_t r = 1;; r = r % kRecords + 1) {
        if (!table->Go(r) || !index->RemoveRecord(r, table->record_bytes(), &problem) ||
            !index->AddRecord(r, table->record_bytes(), &problem))
          _exit(4);
        if (r % 25 == 0 && !index->Flush(&problem)) _exit(5);
      }
    });
    auto table = xbase::Table::Open(path, {});
    ASSERT_NE(table, nullptr);
    std::string problem;
    auto index = ix::ProductionIndex::Open(index_path, ix::FieldsOf(table->header()), &problem);
    ASSERT_NE(index, nullptr) << "round " << round << ": " << problem;
    table.reset();
    struct stat after {};
    ASSERT_EQ(stat(index_path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the index must stay the file other programs hold open";
    EXPECT_LT(after.st_size, 4 * 1024 * 1024) << "the space of old trees is reused";
  }
  // Opening through the library brings the index up to the table.
  CodeHandle code = code4initP();
  DbfHandle d = d4open(code, path.c_str());
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d4close(d), r4success);
  code4initUndoP(code);
  std::string report;
  EXPECT_EQ(Check(path, &report), 0) << report;
  code4setReport(nullptr);
}
