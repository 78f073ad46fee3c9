// What the library does with files an interrupted writer or another program
// left behind, and how closely a created file follows its template.
#include "dbf/CodeBase.h"
#include "dbf/mycbase.h"

#include "library_fixture.h"
#include "scratch_dir.h"
#include "test_env.h"
#include "tools/dbfcheck/dbf_check.h"
#include "tools/dbfcheck/dbf_repair.h"
#include "xbase/index/index_image.h"
#include "xbase/index/table_adapter.h"
#include "xbase/table.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace {

namespace ix = xbase::index;

FIELD4INFO kFields[] = {
    {"NAME", 'C', 10, 0, 0}, {"QTY", 'N', 6, 1, 0}, {"DAT", 'D', 8, 0, 0}, {"NOTE", 'M', 10, 0, 0},
    {nullptr, 0, 0, 0, 0},
};
const TAG4INFO kTags[] = {{"NAME", "UPPER(NAME)", "", 0, 0}, {"QTY", "QTY", "QTY > 0", 0, 0},
                          {nullptr, nullptr, nullptr, 0, 0}};

int Check(const std::string& path, std::string* report = nullptr) {
  std::ostringstream out;
  int faults = tidewell::tools::CheckDbf(path, out);
  if (report) *report = out.str();
  return faults;
}

// Appends `n` records through the library, each flushed as a conversion does.
void Append(CodeHandle code, const std::string& path, int from, int n, bool memo = true) {
  DbfHandle d = d4open(code, path.c_str());
  ASSERT_NE(d, nullptr);
  for (int i = from; i < from + n; ++i) {
    ASSERT_EQ(d4appendBlank(d), r4success);
    ASSERT_TRUE(tidewell::AssignDbfField(d, "NAME", "row " + std::to_string(i)));
    ASSERT_TRUE(tidewell::AssignDbfField(d, "QTY", std::to_string(i % 7)));
    if (memo) {
      ASSERT_TRUE(tidewell::AssignDbfField(d, "NOTE", "memo of row " + std::to_string(i)));
    }
    ASSERT_EQ(d4flush(d), r4success);
  }
  ASSERT_EQ(d4close(d), r4success);
}

std::string NameOf(CodeHandle code, const std::string& path, long record) {
  DbfHandle d = d4open(code, path.c_str());
  if (!d || d4go(d, record) != r4success) return "?";
  std::string name = f4str(d4field(d, "NAME"));
  d4close(d);
  return name;
}

// Makes `path` like the template the way the conversion does.
void MakeLike(CodeHandle code, const std::string& tpl, const std::string& path) {
  DbfHandle t = d4open(code, tpl.c_str());
  ASSERT_NE(t, nullptr);
  FIELD4INFO* fields = d4fieldInfo(t);
  TAG4INFO* tags = i4tagInfo(d4index(t, nullptr));
  ASSERT_NE(d4create(code, path.c_str(), fields, tags), nullptr);
  u4freeDefault(tags);
  u4freeDefault(fields);
  d4close(t);
}

ix::TagDescription Tag(const char* name, const char* expression, const char* filter) {
  ix::TagDescription d;
  d.name = name;
  d.expression = expression;
  d.filter = filter ? filter : "";
  return d;
}

void Fill(std::vector<uint8_t>& bytes, size_t from, size_t to, uint8_t first) {
  for (size_t i = from; i < to && i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(first + (i % 5));
}

// Positions (from, to) of bytes that describe a file's own contents.
using Ranges = std::vector<std::pair<size_t, size_t>>;
void ExpectSameBytesOutside(const std::vector<uint8_t>& want, const std::vector<uint8_t>& got, const Ranges& own,
                            const std::string& what) {
  ASSERT_EQ(want.size(), got.size()) << what;
  size_t differing = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    bool computed = false;
    for (auto [from, to] : own) computed = computed || (i >= from && i < to);
    if (!computed && want[i] != got[i] && ++differing <= 5)
      ADD_FAILURE() << what << ": byte " << i << " is " << int{got[i]} << ", the template has " << int{want[i]};
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// A created file's headers repeat the template's bytes: table, memo, index.

class TemplateBytes : public ::testing::TestWithParam<ix::IndexKind> {};

TEST_P(TemplateBytes, CreatedHeadersRepeatTheTemplateOutsideWhatDescribesTheNewFile) {
  ScratchDir dir;
  Reports reports;
  Code code;
  const bool cdx = GetParam() == ix::IndexKind::kCdx;
  const std::string tpl = dir / "tpl.dbf";
  // The template: a FoxPro 2 table with .fpt and .cdx, or a dBASE table with
  // .dbt and .mdx, with something of its writer's in every reserved byte.
  {
    xbase::TableLayout layout;
    layout.header.version = cdx ? 0xF5 : 0x8B;
    for (const FIELD4INFO* f = kFields; f->name; ++f) {
      xbase::FieldDescriptor d;
      d.name = f->name;
      d.type = static_cast<char>(f->type);
      d.length = static_cast<uint8_t>(f->len);
      d.decimals = static_cast<uint8_t>(f->dec);
      layout.header.fields.push_back(d);
    }
    xbase::TableOptions options;
    auto table = xbase::Table::Create(tpl, layout, true, options);
    ASSERT_NE(table, nullptr);
    ASSERT_TRUE(table->SetTableFlags(0x01));
    std::vector<ix::TagDescription> tags;
    for (const TAG4INFO* t = kTags; t->name; ++t) tags.push_back(Tag(t->name, t->expression, t->filter));
    std::string problem;
    ASSERT_NE(ix::ProductionIndex::Create(ix::ProductionIndexName(tpl, table->header()), GetParam(), tags,
                                          ix::FieldsOf(table->header()), &problem),
              nullptr)
        << problem;
  }
  const std::string tpl_memo = dir / (cdx ? "tpl.fpt" : "tpl.dbt"), tpl_index = dir / (cdx ? "tpl.cdx" : "tpl.mdx");
  auto table_bytes = ReadBytes(tpl);
  const size_t header_length = table_bytes[8] | (table_bytes[9] << 8);
  Fill(table_bytes, 12, 28, 0x41);
  if (!cdx) table_bytes[14] = table_bytes[15] = 0;  // transaction and encryption flags
  Fill(table_bytes, 30, 32, 0x41);
  for (size_t f = 32; f + 32 < header_length; f += 32) Fill(table_bytes, f + 18, f + (cdx ? 32 : 31), 0x61);
  WriteBytes(tpl, table_bytes);
  auto memo_bytes = ReadBytes(tpl_memo);
  if (cdx) Fill(memo_bytes, 8, 512, 0x21);
  else Fill(memo_bytes, 22, 512, 0x21);
  WriteBytes(tpl_memo, memo_bytes);
  auto index_bytes = ReadBytes(tpl_index);
  if (cdx) {
    for (size_t h = 0; h < 3 * 1024; h += 1024) {  // the directory's header and two tags'
      Fill(index_bytes, h + 16, h + 502, 0x01);    // no letters: they would name a collation
      Fill(index_bytes, h + 508, h + 510, 0x01);
    }
  } else {
    Fill(index_bytes, 48, 544, 0x01);
    for (size_t e = 544; e < 544 + 2 * 32; e += 32) Fill(index_bytes, e + 21, e + 32, 0x01);
    for (size_t h = 2048; h < 2048 + 2 * 1024; h += 1024) Fill(index_bytes, h + 466, h + 1024, 0x01);
  }
  WriteBytes(tpl_index, index_bytes);

  const std::string made = dir / "made.dbf";
  MakeLike(code.h, tpl, made);
  EXPECT_TRUE(reports.lines.empty()) << reports.lines.front();
  EXPECT_EQ(Check(made), 0);

  // Table: date and record count are the new file's.
  ExpectSameBytesOutside(ReadBytes(tpl), ReadBytes(made), {{1, 8}, {header_length, SIZE_MAX}}, "table header");
  // Memo: the next free block (and a dBASE IV file's table name).
  auto memo_made = ReadBytes(dir / (cdx ? "made.fpt" : "made.dbt"));
  auto memo_tpl = ReadBytes(tpl_memo);
  memo_made.resize(512);
  memo_tpl.resize(512);
  ExpectSameBytesOutside(memo_tpl, memo_made, {{0, 4}, {8, 16}}, "memo header");
  // Index: what points at the new trees and counts their pages.
  std::string problem;
  auto key_type = [](const ix::TagDescription& d) { return d.name == "QTY" ? 'N' : 'C'; };
  auto read = [&](const std::string& path) {
    auto bytes = ReadBytes(path);
    return cdx ? ix::ReadCdx(bytes, key_type, &problem) : ix::ReadMdx(bytes, &problem);
  };
  auto want = read(tpl_index);
  auto got = read(dir / (cdx ? "made.cdx" : "made.mdx"));
  ASSERT_TRUE(want && got) << problem;
  const Ranges file_own = cdx ? Ranges{{0, 12}} : Ranges{{1, 20}, {28, 30}, {32, 48}};
  ExpectSameBytesOutside(want->raw_header, got->raw_header, file_own, "index file header");
  ASSERT_EQ(want->tags.size(), got->tags.size());
  for (size_t t = 0; t < want->tags.size(); ++t)
    ExpectSameBytesOutside(want->tags[t].raw_header, got->tags[t].raw_header, cdx ? Ranges{{0, 12}} : Ranges{{0, 8}, {1024, 1028}},
                           "header of tag " + want->tags[t].desc.name);
  if (!cdx) {
    auto a = ReadBytes(tpl_index), b = ReadBytes(dir / "made.mdx");
    for (size_t e = 544; e < 544 + 2 * 32; e += 32)
      ExpectSameBytesOutside({a.begin() + e + 4, a.begin() + e + 32}, {b.begin() + e + 4, b.begin() + e + 32}, {},
                             "tag table entry");
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, TemplateBytes, ::testing::Values(ix::IndexKind::kCdx, ix::IndexKind::kMdx),
                         [](const auto& p) { return p.param == ix::IndexKind::kCdx ? "Cdx" : "Mdx"; });

// Other programs find a filtered tag's FOR expression where the key
// expression ends; a tag without one says so with a zero length.
TEST(TemplateBytes, ACompoundTagSaysWhereItsForExpressionStarts) {
  ScratchDir dir;
  std::string problem;
  const std::vector<ix::FieldInfo> fields = {{"NAME", 'C', 1, 10, 0, false}, {"QTY", 'N', 11, 6, 1, false}};
  ASSERT_NE(ix::ProductionIndex::Create(dir / "t.cdx", ix::IndexKind::kCdx,
                                        {Tag("NAME", "UPPER(NAME)", ""), Tag("QTY", "QTY", "QTY > 0 .AND. QTY < 9")},
                                        fields, &problem),
            nullptr)
      << problem;
  auto f = ReadBytes(dir / "t.cdx");
  auto le16 = [&](size_t at) { return f[at] | (f[at + 1] << 8); };
  for (auto [header, key, filter] : {std::tuple<size_t, int, int>{1024, 12, 0}, {2048, 4, 22}}) {
    EXPECT_EQ(le16(header + 504), key) << "FOR expression start";
    EXPECT_EQ(le16(header + 506), filter) << "FOR expression length";
    EXPECT_EQ(le16(header + 510), key) << "key expression length";
    EXPECT_EQ(f[header + 14] & 0x08, filter ? 0x08 : 0);
  }
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[2048 + 512 + 4])), "QTY > 0 .AND. QTY < 9");
}

// ---------------------------------------------------------------------------
// What an interrupted writer leaves is repaired when the file is opened.

TEST(Repairs, RecordsPastTheHeadersCountAreTakenInAndNeverWrittenOver) {
  ScratchDir dir;
  Reports reports;
  Code code;
  const std::string path = dir / "t.dbf";
  ASSERT_NE(d4create(code.h, path.c_str(), kFields, kTags), nullptr);
  Append(code.h, path, 1, 4);
  // The count says 2 of 4 (a crash between records and count, or another
  // program), and half a record follows the fourth.
  auto bytes = ReadBytes(path);
  bytes[4] = 2;
  bytes.pop_back();  // the end-of-file byte
  bytes.insert(bytes.end(), {' ', 'h', 'a', 'l', 'f'});
  WriteBytes(path, bytes);

  Append(code.h, path, 5, 1);
  for (long r = 1; r <= 5; ++r) EXPECT_EQ(NameOf(code.h, path, r), "row " + std::to_string(r));
  std::string report;
  EXPECT_EQ(Check(path, &report), 0) << report;
  EXPECT_EQ(reports.Count("records 3 to 4 lay past the header's record count 2"), 1u);
  EXPECT_EQ(reports.Count("bytes after the last complete record cut off"), 1u);
}

TEST(Repairs, AnIndexMissingDamagedOrAheadOfItsTableIsRebuiltWithTheTemplatesTags) {
  ScratchDir dir;
  Reports reports;
  Code code;
  const std::string tpl = dir / "tpl.dbf", path = dir / "t.dbf", index = dir / "t.mdx";
  ASSERT_NE(d4create(code.h, tpl.c_str(), kFields, kTags), nullptr);
  MakeLike(code.h, tpl, path);
  Append(code.h, path, 1, 30);
  code4indexTemplate(code.h, tpl.c_str());

  // Missing.
  std::filesystem::remove(index);
  Append(code.h, path, 31, 1);
  EXPECT_EQ(Check(path), 0);
  EXPECT_EQ(reports.Count("production index missing; rebuilt from the table's 30 records"), 1u);
  // Damaged: cut inside its first tag.
  auto bytes = ReadBytes(index);
  bytes.resize(2600);
  WriteBytes(index, bytes);
  Append(code.h, path, 32, 1);
  EXPECT_EQ(Check(path), 0);
  EXPECT_EQ(reports.Count("rebuilt from the table's 31 records"), 1u);
  // Ahead: the table lost its last two records after the index had them.
  auto table = ReadBytes(path);
  const size_t hlen = table[8] | (table[9] << 8), rlen = table[10] | (table[11] << 8);
  table[4] = 30;
  table.resize(hlen + 30 * rlen);
  table.push_back(0x1A);
  WriteBytes(path, table);
  Append(code.h, path, 31, 1);
  EXPECT_EQ(Check(path), 0);
  EXPECT_EQ(reports.Count("ahead of the table (a key for record 32)"), 1u);

  // Without a template the damage is reported, and the records are kept.
  code4indexTemplate(code.h, "");
  std::filesystem::remove(index);
  Append(code.h, path, 32, 1);
  EXPECT_EQ(reports.Count("production index not kept up to date: missing"), 1u);
  EXPECT_EQ(NameOf(code.h, path, 32), "row 32");
}

// A memo that can't be stored is an error the caller hears of, so that it
// can take the record back rather than keep it without its text.
TEST(Repairs, AMemoThatCanNotBeStoredIsAnError) {
  ScratchDir dir;
  Reports reports;
  Code code;
  const std::string path = dir / "t.dbf";
  ASSERT_NE(d4create(code.h, path.c_str(), kFields, nullptr), nullptr);
  Append(code.h, path, 1, 3);
  std::filesystem::resize_file(dir / "t.dbt", 100);
  DbfHandle d = d4open(code.h, path.c_str());
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d4appendBlank(d), r4success);
  EXPECT_TRUE(tidewell::AssignDbfField(d, "NAME", "lost"));
  EXPECT_FALSE(tidewell::AssignDbfField(d, "NOTE", "a text with nowhere to go"));
  ASSERT_EQ(d4appendUndo(d), r4success);
  ASSERT_EQ(d4close(d), r4success);
  EXPECT_EQ(d4recCount(d4open(code.h, path.c_str())), 3);
  EXPECT_GE(reports.Count("memo of field NOTE not stored"), 1u);
}

// While records are flushed, other programs find their keys in the index
// file within a second, not only when the table is closed. The second
// passes on the engine's own clock.
// A table made through a handle whose engine runs on a test's Env.
struct OnTestEnv {
  OnTestEnv() {
    code4setEnv(code.h, &env);
    EXPECT_NE(d4create(code.h, path.c_str(), kFields, kTags), nullptr);
  }
  ScratchDir dir;
  Reports reports;
  xbase::test::TestEnv env;  // outlives the tables the handle keeps open
  Code code;
  const std::string path = dir / "t.dbf";
};

TEST(IndexWrites, KeysReachTheFileWithinASecondWhileTheTableStaysOpen) {
  OnTestEnv t;
  auto& [dir, reports, env, code, path] = t;
  DbfHandle d = d4open(code.h, path.c_str());
  ASSERT_NE(d, nullptr);
  auto keys_on_disk = [&] {
    std::string problem;
    auto index = ix::ProductionIndex::Open(dir / "t.mdx", {{"NAME", 'C', 1, 10, 0, false}, {"QTY", 'N', 11, 6, 1, false}},
                                           &problem);
    return index ? index->KeyCount(0) : size_t{9999};
  };
  auto append = [&](const std::string& name) {
    ASSERT_EQ(d4appendBlank(d), r4success);
    f4assign(d4field(d, "NAME"), name.c_str());
    ASSERT_EQ(d4flush(d), r4success);
  };
  append("first");
  EXPECT_EQ(keys_on_disk(), 1u);
  append("second");
  env.Advance(500);
  append("third");
  EXPECT_EQ(keys_on_disk(), 1u) << "the index is written at most once a second";
  env.Advance(600);
  append("fourth");
  EXPECT_EQ(keys_on_disk(), 4u);
  ASSERT_EQ(d4close(d), r4success);
  EXPECT_EQ(keys_on_disk(), 4u);
}

// The share fills up while a batch of appends is gathered: the batch's
// write fails, the table says so (d4writeFailures), and the file is left as
// it was before the batch, whole, its count unchanged. Appends after the
// share has room again take the lost records' numbers and reach the file.
TEST(WriteFaults, ABatchTheDiskRefusesLeavesTheFileWholeAndIsCounted) {
  OnTestEnv t;
  auto& [dir, reports, env, code, path] = t;
  Append(code.h, path, 1, 3);
  const auto before = ReadBytes(path);

  DbfHandle d = d4open(code.h, path.c_str());
  ASSERT_NE(d, nullptr);
  // Every write to the table past its last record fails: no room for more.
  const uint64_t end = before.size() - 1;
  env.fail_write = [&](const std::string& file, uint64_t offset, size_t) { return file == path && offset >= end; };
  for (int i = 4; i <= 6; ++i) {
    ASSERT_EQ(d4appendBlank(d), r4success);
    ASSERT_TRUE(tidewell::AssignDbfField(d, "NAME", "row " + std::to_string(i)));
  }
  EXPECT_NE(d4flush(d), r4success);
  EXPECT_EQ(d4writeFailures(d), 1u);
  EXPECT_GE(env.failed_writes[path], 1);
  EXPECT_GE(reports.Count("cannot write appended records 4 to 6"), 1u);
  EXPECT_EQ(ReadBytes(path), before) << "a refused batch changed the file";

  env.fail_write = nullptr;
  ASSERT_EQ(d4appendBlank(d), r4success);
  EXPECT_EQ(d4recNo(d), 4) << "the lost records' numbers are taken again";
  ASSERT_TRUE(tidewell::AssignDbfField(d, "NAME", "row 4 new"));
  ASSERT_EQ(d4flush(d), r4success);
  ASSERT_EQ(d4close(d), r4success);
  EXPECT_EQ(d4recCount(d4open(code.h, path.c_str())), 4);
  EXPECT_EQ(NameOf(code.h, path, 4), "row 4 new");
  std::string report;
  EXPECT_EQ(Check(path, &report), 0) << report;
}

// ---------------------------------------------------------------------------
// New files appear whole; files without a header are made again.

TEST(Creation, LeavesNoPartsBehindAndRemovesWhatAnInterruptedOneLeft) {
  ScratchDir dir;
  Reports reports;
  Code code;
  const std::string path = dir / "t.dbf";
  // What a creation killed before its .dbf was moved in leaves.
  std::filesystem::create_directories(dir / ".t.dbf.new");
  WriteBytes(dir / ".t.dbf.new/t.dbf", {});
  WriteBytes(dir / ".t.dbf.new/t.dbt", {1, 2, 3});
  WriteBytes(dir / "t.mdx", {1, 2, 3});
  ASSERT_NE(d4create(code.h, path.c_str(), kFields, kTags), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir / ".t.dbf.new"));
  EXPECT_EQ(Check(path), 0);
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.str())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"t.dbf", "t.dbt", "t.mdx"}));
}

TEST(Creation, AFileWithoutACompleteHeaderIsMadeAgainFromItsTemplate) {
  ScratchDir dir;
  Reports reports;
  Code code;
  const std::string tpl = dir / "tpl.dbf", path = dir / "t.dbf";
  ASSERT_NE(d4create(code.h, tpl.c_str(), kFields, kTags), nullptr);
  EXPECT_TRUE(tidewell::DbfNeedsCreating(path));
  for (size_t size : {0, 20, 100}) {
    MakeLike(code.h, tpl, path);
    EXPECT_FALSE(tidewell::DbfNeedsCreating(path));
    std::filesystem::resize_file(path, size);
    EXPECT_TRUE(tidewell::DbfNeedsCreating(path)) << size;
    tidewell::CreateDbfLike(code.h, tpl, path);
    EXPECT_FALSE(tidewell::DbfNeedsCreating(path));
    EXPECT_EQ(Check(path), 0);
  }
  Append(code.h, path, 1, 2);
  EXPECT_FALSE(tidewell::DbfNeedsCreating(path));
}

// ---------------------------------------------------------------------------
// dbfcheck --repair

TEST(DbfcheckRepair, TakesTheTemplateBesideTheNetwFolderAndMendsWhatOpeningCannot) {
  ScratchDir dir;
  Code code;
  std::filesystem::create_directories(dir / "netw/weight");
  const std::string tpl = dir / "netw/GSTRU.DBF", path = dir / "netw/weight/120826 01.dbf";
  ASSERT_NE(d4create(code.h, tpl.c_str(), kFields, kTags), nullptr);
  EXPECT_EQ(tidewell::tools::TemplateBeside(path), tpl);
  EXPECT_EQ(tidewell::tools::TemplateBeside(dir / "netw/other/x.dbf"), "");
  MakeLike(code.h, tpl, path);
  Append(code.h, path, 1, 40);
  const std::string index = dir / "netw/weight/120826 01.mdx";

  // Damaged beyond reading: rebuilt with the template's tags.
  std::filesystem::resize_file(index, 1000);
  std::ostringstream out;
  EXPECT_EQ(tidewell::tools::RepairDbf(path, "", out), 0) << out.str();
  EXPECT_NE(out.str().find("rebuilt from the table's 40 records"), std::string::npos) << out.str();

  // Readable but wrong: a key swapped for another record's.
  {
    std::string problem;
    auto fields = ix::FieldsOf(xbase::Table::Open(path, {})->header());
    auto bytes = ReadBytes(index);
    auto image = ix::ReadMdx(bytes, &problem);
    ASSERT_TRUE(image) << problem;
    std::swap(image->tags[0].entries[0].record, image->tags[0].entries[5].record);
    WriteBytes(index, ix::WriteMdx(*image, "120826 01", xbase::Env::System().UtcToday()));
  }
  EXPECT_GT(Check(path), 0);
  std::ostringstream again;
  EXPECT_EQ(tidewell::tools::RepairDbf(path, "", again), 0) << again.str();
  EXPECT_NE(again.str().find("rebuilt on request"), std::string::npos) << again.str();

  // No header at all: made again from the template, with nothing in it.
  std::filesystem::resize_file(path, 0);
  std::ostringstream headerless;
  EXPECT_EQ(tidewell::tools::RepairDbf(path, "", headerless), 0) << headerless.str();
  EXPECT_NE(headerless.str().find("made again from"), std::string::npos) << headerless.str();
  EXPECT_EQ(Check(path), 0);
}

// Repair never makes damage worse: a file whose header length was hit, or
// whose count runs past its end, keeps every record a legacy program could
// still read, at its number; what is not a table is kept aside whole; and
// the service and dbfcheck --repair mend it alike.
TEST(Salvage, ADamagedHeaderOrCountKeepsEveryRecordAndTheOriginalBesideIt) {
  ScratchDir dir;
  Code code;
  std::filesystem::create_directories(dir / "netw/weight");
  const std::string tpl = dir / "netw/gstru.dbf", path = dir / "netw/weight/03050407.dbf";
  ASSERT_NE(d4create(code.h, tpl.c_str(), kFields, kTags), nullptr);
  code4indexTemplate(code.h, tpl.c_str());  // as a run sets it
  const auto original = [&] {
    std::filesystem::remove(path);
    MakeLike(code.h, tpl, path);
    Append(code.h, path, 1, 40);
    return ReadBytes(path);
  };
  const auto expectAllForty = [&](const std::string& what) {
    SCOPED_TRACE(what);
    DbfHandle d = d4open(code.h, path.c_str());  // as the service's next run opens it
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d4recCount(d), 40);
    d4close(d);
    std::string report;
    EXPECT_EQ(Check(path, &report), 0) << report;
    EXPECT_EQ(NameOf(code.h, path, 1), "row 1");
    EXPECT_EQ(NameOf(code.h, path, 40), "row 40");
  };

  // Two bytes over the header length: the service's way.
  for (const bool tool : {false, true}) {
    std::vector<uint8_t> bytes = original();
    bytes[8] = bytes[9] = 0xFF;
    WriteBytes(path, bytes);
    std::filesystem::remove(path + ".damaged");
    ASSERT_TRUE(tidewell::DbfNeedsCreating(path));
    if (tool) {
      std::ostringstream out;
      EXPECT_EQ(tidewell::tools::RepairDbf(path, "", out), 0) << out.str();
      EXPECT_NE(out.str().find("salvaged with 40 records"), std::string::npos) << out.str();
    } else {
      EXPECT_FALSE(tidewell::SalvageDbf(code.h, path, tpl));  // whole again: nothing to create
    }
    EXPECT_EQ(ReadBytes(path + ".damaged"), bytes);
    expectAllForty(tool ? "dbfcheck --repair" : "service");
    Append(code.h, path, 41, 1);
    EXPECT_EQ(NameOf(code.h, path, 41), "row 41");
  }

  // A count beyond the file: a cut inside record 38, then a raised count.
  for (const bool tool : {false, true}) {
    std::vector<uint8_t> bytes = original();
    const size_t header = bytes[8] | bytes[9] << 8, record = bytes[10] | bytes[11] << 8;
    bytes.resize(header + 37 * record + record / 2);
    WriteBytes(path, bytes);
    std::filesystem::remove(path + ".torn");
    if (tool) {
      std::ostringstream out;
      EXPECT_EQ(tidewell::tools::RepairDbf(path, "", out), 0) << out.str();
      EXPECT_NE(out.str().find("header counted 40 records, the file holds 37; count set to 37, the torn record's " +
                               std::to_string(record / 2) + " bytes kept in " + path + ".torn"),
                std::string::npos)
          << out.str();
    } else {
      DbfHandle d = d4open(code.h, path.c_str());
      ASSERT_NE(d, nullptr);
      EXPECT_EQ(d4recCount(d), 37);
      d4close(d);
    }
    EXPECT_EQ(ReadBytes(path + ".torn"),
              std::vector<uint8_t>(bytes.begin() + static_cast<long>(header + 37 * record), bytes.end()));
    std::string report;
    EXPECT_EQ(Check(path, &report), 0) << report;
    EXPECT_EQ(NameOf(code.h, path, 37), "row 37");
  }
  std::vector<uint8_t> raised = original();
  raised[4] = 45;
  WriteBytes(path, raised);
  std::filesystem::remove(path + ".torn");
  expectAllForty("a raised count");
  EXPECT_FALSE(std::filesystem::exists(path + ".torn"));  // nothing was torn

  // A short text named like a day file: kept aside whole, and the file made
  // again.
  std::filesystem::remove(path);
  WriteBytes(path, {'n', 'o', 't', 'e', 's', '\n'});
  std::filesystem::remove(path + ".damaged");
  ASSERT_TRUE(tidewell::DbfNeedsCreating(path));
  EXPECT_TRUE(tidewell::SalvageDbf(code.h, path, tpl));
  EXPECT_EQ(ReadBytes(path + ".damaged"), (std::vector<uint8_t>{'n', 'o', 't', 'e', 's', '\n'}));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(tidewell::CreateDbfLike(code.h, tpl, path));
  EXPECT_EQ(Check(path), 0);
}
