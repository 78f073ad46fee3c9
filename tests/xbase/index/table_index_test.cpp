// A table keeping its production index through the table engine: 50k
// appends, close, reopen, more appends; dbfcheck and the independent reader
// agree with every file; dbfcheck finds the faults it exists to find.
#include "tools/dbfcheck/dbf_check.h"
#include "xbase/index/table_adapter.h"
#include "xbase/table.h"

#include "test_table.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace xbase::index {
namespace {

using test::ScratchDir;

TableLayout Layout(uint8_t version) {
  struct FieldDef {
    const char* name;
    char type;
    uint8_t length, decimals;
  };
  const FieldDef defs[] = {{"MACHINE", 'N', 3, 0}, {"DAT_E", 'D', 8, 0}, {"NAME", 'C', 16, 0},
                        {"WEIGHT", 'N', 9, 2},  {"NOTE", 'M', 10, 0}};
  TableLayout layout;
  layout.header.version = version;
  for (const auto& s : defs) {
    FieldDescriptor f;
    f.name = s.name;
    f.type = s.type;
    f.length = s.length;
    f.decimals = s.decimals;
    layout.header.fields.push_back(f);
  }
  return layout;
}

std::vector<TagDescription> Tags() {
  std::vector<TagDescription> tags = {test::Tag("DATMACH", "DTOS(DAT_E)+STR(MACHINE,3)"), test::Tag("WEIGHT", "WEIGHT"),
                                      test::Tag("DAY", "DAT_E", "WEIGHT > 100"), test::Tag("NAME", "UPPER(NAME)")};
  tags[3].unique = true;
  return tags;
}

void SetIndexFlag(const std::string& path) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(28);
  f.put('\x01');
}

class TableKeepsItsIndex : public ::testing::TestWithParam<uint8_t> {
 protected:
  TableKeepsItsIndex() { options_.system_code_set = "UTF-8"; }

  void Append(Table& table, uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) {
      ASSERT_TRUE(table.AppendBlank());
      uint32_t h = i * 2654435761u;
      char date[16];
      std::snprintf(date, sizeof date, "%04u%02u%02u", 2000 + h % 20, 1 + (h >> 5) % 12, 1 + (h >> 9) % 28);
      table.Assign(0, std::to_string(h % 100));
      table.Assign(1, (h >> 3) % 40 == 0 ? "" : date);
      table.Assign(2, "name " + std::to_string((h >> 11) % 5000));
      table.Assign(3, std::to_string((h >> 7) % 20000 / 100.0));
      if (i % 10 == 0) table.AssignMemo(4, "note " + std::to_string(i));
    }
  }

  int Check(std::string* report) {
    std::ostringstream out;
    int faults = tidewell::tools::CheckDbf(path_, out);
    *report = out.str();
    return faults;
  }

  ScratchDir dir_;
  std::string path_ = dir_ / "MACH.DBF";
  TableOptions options_;
};

TEST_P(TableKeepsItsIndex, ThroughFiftyThousandAppendsAndAReopen) {
  std::string problem, report;
  std::string index_path;
  {
    auto table = Table::Create(path_, Layout(GetParam()), true, options_);
    ASSERT_NE(table, nullptr);
    index_path = ProductionIndexName(path_, table->header());
    auto index = ProductionIndex::Create(index_path, ProductionIndexKind(table->header()), Tags(),
                                         FieldsOf(table->header()), &problem);
    ASSERT_NE(index, nullptr) << problem;
    table->AddIndex(std::make_unique<TableIndex>(std::move(index)));
    Append(*table, 0, 50000);
    ASSERT_TRUE(table->Close());
  }
  EXPECT_EQ(index_path, dir_ / (GetParam() == 0xF5 ? "MACH.CDX" : "MACH.MDX"));
  SetIndexFlag(path_);
  EXPECT_EQ(Check(&report), 0) << report;
  EXPECT_NE(report.find("tag DATMACH (DTOS(DAT_E)+STR(MACHINE,3)): 50000 keys, 50000 expected"), std::string::npos)
      << report;

  {
    auto table = Table::Open(path_, options_);
    ASSERT_NE(table, nullptr);
    auto found = FindProductionIndex(path_, table->header());
    ASSERT_TRUE(found);
    auto index = ProductionIndex::Open(*found, FieldsOf(table->header()), &problem);
    ASSERT_NE(index, nullptr) << problem;
    ASSERT_EQ(index->Unmaintainable(), "");
    table->AddIndex(std::make_unique<TableIndex>(std::move(index)));
    Append(*table, 50000, 51000);
    ASSERT_TRUE(table->Close());
  }
  EXPECT_EQ(Check(&report), 0) << report;
  EXPECT_NE(report.find("tag WEIGHT (WEIGHT): 51000 keys, 51000 expected"), std::string::npos) << report;
  std::string independent;
  EXPECT_EQ(test::RunIdxCheck(index_path, path_, &independent), 0) << independent;
  EXPECT_EQ(independent.find("checked=no"), std::string::npos) << independent;
}

INSTANTIATE_TEST_SUITE_P(Flavours, TableKeepsItsIndex, ::testing::Values(uint8_t{0xF5}, uint8_t{0x8B}),
                         [](const auto& p) { return p.param == 0xF5 ? "FoxPro" : "DBase4"; });

class DbfCheckFinds : public TableKeepsItsIndex {
 protected:
  // A FoxPro table of 300 records whose index missed record 123.
  void SetUp() override {
    auto table = Table::Create(path_, Layout(0xF5), true, options_);
    ASSERT_NE(table, nullptr);
    std::string problem;
    auto index = ProductionIndex::Create(ProductionIndexName(path_, table->header()), IndexKind::kCdx, Tags(),
                                         FieldsOf(table->header()), &problem);
    ASSERT_NE(index, nullptr) << problem;
    table->AddIndex(std::make_unique<Forgetful>(std::move(index)));
    Append(*table, 0, 300);
    ASSERT_TRUE(table->Close());
    SetIndexFlag(path_);
  }

  class Forgetful final : public IndexMaintainer {
   public:
    explicit Forgetful(std::unique_ptr<ProductionIndex> index) : index_(std::move(index)) {}
    bool AddRecord(uint32_t n, std::span<const uint8_t> record, std::string* problem) override {
      return n == 123 || index_->AddRecord(n, record, problem);
    }
    bool Finish(std::string* problem) override { return index_->Flush(problem); }

   private:
    std::unique_ptr<ProductionIndex> index_;
  };
};

TEST_F(DbfCheckFinds, ARecordTheIndexMissed) {
  std::string report;
  EXPECT_GT(Check(&report), 0);
  EXPECT_NE(report.find("tag DATMACH (DTOS(DAT_E)+STR(MACHINE,3)): record 123 has no key"), std::string::npos) << report;
}

TEST_F(DbfCheckFinds, AFieldChangedBehindTheIndexsBack) {
  // Record 7's MACHINE field, rewritten in the file.
  std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(8);
  uint16_t header_length = static_cast<uint16_t>(f.get() | (f.get() << 8));
  uint16_t record_length = static_cast<uint16_t>(f.get() | (f.get() << 8));
  f.seekp(header_length + 6 * record_length + 1);
  f.write("999", 3);
  f.close();
  std::string report;
  EXPECT_GT(Check(&report), 0);
  EXPECT_NE(report.find("record 7 has a key that differs from its expression"), std::string::npos) << report;
}

TEST_F(DbfCheckFinds, AMissingIndexFileAndAShortTable) {
  std::filesystem::remove(dir_ / "MACH.CDX");
  std::string report;
  EXPECT_GT(Check(&report), 0);
  EXPECT_NE(report.find("no such file"), std::string::npos) << report;
  std::filesystem::resize_file(path_, std::filesystem::file_size(path_) - 100);
  EXPECT_GT(Check(&report), 0);
  EXPECT_NE(report.find("the header counts 300 records"), std::string::npos) << report;
}

TEST_F(DbfCheckFinds, AMemoPointerOutsideTheMemoFile) {
  std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(8);
  uint16_t header_length = static_cast<uint16_t>(f.get() | (f.get() << 8));
  uint16_t record_length = static_cast<uint16_t>(f.get() | (f.get() << 8));
  f.seekp(header_length + 10 * record_length + 1 + 3 + 8 + 16 + 9);  // record 11's NOTE
  f.write("   9999999", 10);
  f.close();
  std::string report;
  EXPECT_GT(Check(&report), 0);
  EXPECT_NE(report.find("record 11 field NOTE: memo block 9999999"), std::string::npos) << report;
}

}  // namespace
}  // namespace xbase::index
