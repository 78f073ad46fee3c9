// Production indexes: every key type kept through many node splits, closed,
// reopened, appended to again and checked by the independent reader; the
// compact layout compared byte by byte with the published picture; tags we
// can't keep are refused with their reason.
#include "xbase/index/production_index.h"

#include "xbase/index/key_codec.h"
#include "test_table.h"
#include "tests/xbase/test_env.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace xbase::index {
namespace {

using test::ScratchDir;
using test::TestTable;
using test::Tag;

std::vector<TagDescription> EveryKindOfTag() {
  std::vector<TagDescription> tags(7);
  tags[0] = Tag("NAME", "UPPER(NAME)");
  tags[1] = Tag("MACHINE", "MACHINE");
  tags[2] = Tag("DAT_E", "DAT_E");
  tags[3] = Tag("DATMACH", "DTOS(DAT_E)+STR(MACHINE,3)");
  tags[4] = Tag("PLUS", "AMOUNT", "AMOUNT > 0 .AND. .NOT. DELETED()");
  tags[5] = Tag("UNAME", "NAME");
  tags[5].unique = true;
  tags[6] = Tag("LATEST", "DAT_E");
  tags[6].descending = true;
  return tags;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class EveryKeyType : public ::testing::TestWithParam<IndexKind> {
 protected:
  std::string IndexPath() const { return dir_ / (GetParam() == IndexKind::kCdx ? "data.cdx" : "data.mdx"); }

  void CheckIndependently() {
    table_.WriteDbf(dir_ / "data.dbf");
    std::string report;
    EXPECT_EQ(test::RunIdxCheck(IndexPath(), dir_ / "data.dbf", &report), 0) << report;
    for (const auto& tag : EveryKindOfTag()) EXPECT_NE(report.find("tag " + tag.name + " keys="), std::string::npos) << report;
    EXPECT_EQ(report.find("checked=no"), std::string::npos) << report;
  }

  ScratchDir dir_;
  TestTable table_;
};

TEST_P(EveryKeyType, FiftyThousandAppendsSurviveReopenAndMoreAppends) {
  constexpr uint32_t kFirst = 50000, kMore = 3000;
  std::string problem;
  {
    auto index = ProductionIndex::Create(IndexPath(), GetParam(), EveryKindOfTag(), table_.fields(), &problem);
    ASSERT_NE(index, nullptr) << problem;
    for (uint32_t i = 0; i < kFirst; ++i) ASSERT_TRUE(index->AddRecord(i + 1, table_.AppendGenerated(i), &problem)) << problem;
    ASSERT_TRUE(index->Flush(&problem)) << problem;
  }
  CheckIndependently();

  auto index = ProductionIndex::Open(IndexPath(), table_.fields(), &problem);
  ASSERT_NE(index, nullptr) << problem;
  EXPECT_EQ(index->Unmaintainable(), "");
  const auto& tags = index->tags();
  ASSERT_EQ(tags.size(), 7u);
  EXPECT_EQ(tags[3].name, "DATMACH");
  EXPECT_EQ(index->FindTag("datmach"), 3u);
  EXPECT_FALSE(index->FindTag("NOSUCH"));
  EXPECT_EQ(tags[3].expression, "DTOS(DAT_E)+STR(MACHINE,3)");
  EXPECT_EQ(tags[3].key_type, 'C');
  EXPECT_EQ(tags[3].key_length, 11);
  EXPECT_EQ(tags[1].key_type, 'N');
  EXPECT_EQ(tags[1].key_length, GetParam() == IndexKind::kCdx ? 8 : 12);
  EXPECT_EQ(tags[2].key_type, 'D');
  EXPECT_EQ(tags[4].filter, "AMOUNT > 0 .AND. .NOT. DELETED()");
  EXPECT_TRUE(tags[5].unique);
  EXPECT_TRUE(tags[6].descending);
  EXPECT_EQ(index->KeyCount(0), kFirst);
  EXPECT_LT(index->KeyCount(4), kFirst * 6 / 10);
  EXPECT_GT(index->KeyCount(4), kFirst * 4 / 10);
  EXPECT_LT(index->KeyCount(5), kFirst);

  for (uint32_t i = kFirst; i < kFirst + kMore; ++i)
    ASSERT_TRUE(index->AddRecord(i + 1, table_.AppendGenerated(i), &problem)) << problem;
  ASSERT_TRUE(index->Flush(&problem)) << problem;
  index.reset();
  CheckIndependently();

  // Seeking through a freshly read file finds the first record of a key.
  index = ProductionIndex::Open(IndexPath(), table_.fields(), &problem);
  ASSERT_NE(index, nullptr) << problem;
  EXPECT_EQ(index->KeyCount(0), kFirst + kMore);
  for (uint32_t r : {1u, 777u, 25000u, 52999u}) {
    RawRecord record(table_.fields(), table_.record(r - 1), r);
    for (size_t t : {0u, 1u, 3u, 6u}) {
      auto key = index->KeyOf(t, record);
      ASSERT_TRUE(key);
      auto found = index->Seek(t, *key);
      ASSERT_TRUE(found) << "tag " << t << " record " << r;
      EXPECT_LE(*found, r);
      RawRecord hit(table_.fields(), table_.record(*found - 1), *found);
      EXPECT_EQ(index->KeyOf(t, hit), key);
    }
  }
  EXPECT_TRUE(index->Seek(3, "2024"));
  EXPECT_FALSE(index->Seek(3, "1997"));
  EXPECT_FALSE(index->Seek(0, "NOBODY"));
  size_t walked = 0;
  std::string previous;
  index->Walk(3, [&](std::string_view key, uint32_t) {
    EXPECT_LE(previous, key);
    previous = key;
    return ++walked < 1000;
  });
  EXPECT_EQ(walked, 1000u);
}

INSTANTIATE_TEST_SUITE_P(Formats, EveryKeyType, ::testing::Values(IndexKind::kCdx, IndexKind::kMdx),
                         [](const auto& p) { return p.param == IndexKind::kCdx ? "Cdx" : "Mdx"; });

TEST(CompactLayout, SmallIndexMatchesThePublishedPictureByteForByte) {
  ScratchDir dir;
  TestTable table;
  std::string problem;
  auto path = dir / "t.cdx";
  {
    auto index = ProductionIndex::Create(path, IndexKind::kCdx, {Tag("NAME", "NAME")}, table.fields(), &problem);
    ASSERT_NE(index, nullptr) << problem;
    ASSERT_TRUE(index->AddRecord(1, table.Append("AB", 1, "", 0, true), &problem));
    ASSERT_TRUE(index->AddRecord(2, table.Append("ABC", 1, "", 0, true), &problem));
    ASSERT_TRUE(index->AddRecord(3, table.Append("B", 1, "", 0, true), &problem));
  }
  auto f = ReadAll(path);
  ASSERT_EQ(f.size(), 3072u);  // directory header, tag header, directory leaf, tag leaf
  auto le16 = [&](size_t at) { return f[at] | (f[at + 1] << 8); };
  auto le32 = [&](size_t at) { return static_cast<uint32_t>(le16(at) | (le16(at + 2) << 16)); };

  // Directory header: root is the leaf at 2048, no free list, 10-byte names.
  EXPECT_EQ(le32(0), 2048u);
  EXPECT_EQ(le32(4), 0xFFFFFFFFu);
  EXPECT_EQ(le16(12), 10);
  EXPECT_EQ(f[14], 0xE0);
  // Directory leaf: one entry "NAME" + 6 blanks pointing at the tag header
  // at 1024. Record numbers up to 1024 need 11 bits, counts up to 10 need 4:
  // 3 bytes per entry, 16 bits left for the record number.
  size_t d = 2048;
  EXPECT_EQ(le16(d), 3);
  EXPECT_EQ(le16(d + 2), 1);
  EXPECT_EQ(le32(d + 4), 0xFFFFFFFFu);
  EXPECT_EQ(le32(d + 8), 0xFFFFFFFFu);
  EXPECT_EQ(le16(d + 12), 488 - 3 - 4);
  EXPECT_EQ(le32(d + 14), 0xFFFFu);
  EXPECT_EQ(f[d + 18], 0x0F);
  EXPECT_EQ(f[d + 19], 0x0F);
  EXPECT_EQ(f[d + 20], 16);
  EXPECT_EQ(f[d + 21], 4);
  EXPECT_EQ(f[d + 22], 4);
  EXPECT_EQ(f[d + 23], 3);
  uint32_t entry = 1024 | (0u << 16) | (6u << 20);
  EXPECT_EQ(f[d + 24], entry & 0xFF);
  EXPECT_EQ(f[d + 25], (entry >> 8) & 0xFF);
  EXPECT_EQ(f[d + 26], entry >> 16);
  EXPECT_EQ(std::string(f.begin() + d + 508, f.begin() + d + 512), "NAME");

  // Tag header: root at 2560, key length 20, compact + compound, pool "NAME".
  size_t h = 1024;
  EXPECT_EQ(le32(h), 2560u);
  EXPECT_EQ(le16(h + 12), 20);
  EXPECT_EQ(f[h + 14], 0x60);
  EXPECT_EQ(le16(h + 502), 0);
  EXPECT_EQ(le16(h + 510), 5);
  EXPECT_EQ(le16(h + 506), 0);
  EXPECT_EQ(std::string(f.begin() + h + 512, f.begin() + h + 517), std::string("NAME\0", 5));

  // Tag leaf: record numbers need 2 bits, counts up to 20 need 5; still 3
  // bytes, 14 bits for the record number. "AB" stores 2 bytes and 18 blanks
  // trail; "ABC" shares 2 and stores "C"; "B" shares none and stores "B".
  size_t l = 2560;
  EXPECT_EQ(le16(l), 3);
  EXPECT_EQ(le16(l + 2), 3);
  EXPECT_EQ(le16(l + 12), 488 - 9 - 4);
  EXPECT_EQ(le32(l + 14), 0x3FFFu);
  EXPECT_EQ(f[l + 18], 0x1F);
  EXPECT_EQ(f[l + 20], 14);
  EXPECT_EQ(f[l + 21], 5);
  EXPECT_EQ(f[l + 22], 5);
  EXPECT_EQ(f[l + 23], 3);
  uint32_t expected[3] = {1u | (0u << 14) | (18u << 19), 2u | (2u << 14) | (17u << 19), 3u | (0u << 14) | (19u << 19)};
  for (size_t i = 0; i < 3; ++i) {
    uint32_t got = f[l + 24 + 3 * i] | (f[l + 25 + 3 * i] << 8) | (f[l + 26 + 3 * i] << 16);
    EXPECT_EQ(got, expected[i]) << "entry " << i;
  }
  EXPECT_EQ(std::string(f.begin() + l + 508, f.begin() + l + 512), "BCAB");
}

TEST(MdxLayout, SmallIndexMatchesThePublishedHeaderTagTableAndKeyForms) {
  ScratchDir dir;
  TestTable table;
  std::string problem;
  auto path = dir / "data.mdx";
  {
    auto index = ProductionIndex::Create(path, IndexKind::kMdx, {Tag("AMOUNT", "AMOUNT"), Tag("DAY", "DAT_E")},
                                         table.fields(), &problem);
    ASSERT_NE(index, nullptr) << problem;
    ASSERT_TRUE(index->AddRecord(1, table.Append("A", 1, "20000101", 123.45, true), &problem));
    ASSERT_TRUE(index->AddRecord(2, table.Append("B", 2, "19991231", -0.5, true), &problem));
  }
  auto f = ReadAll(path);
  auto le16 = [&](size_t at) { return f[at] | (f[at + 1] << 8); };
  auto le32 = [&](size_t at) { return static_cast<uint32_t>(le16(at) | (le16(at + 2) << 16)); };
  // Header, tag table, two tag headers and one leaf per tag, 1024-byte blocks.
  ASSERT_EQ(f.size(), 2048u + 4 * 1024);
  EXPECT_EQ(f[0], 2);
  EXPECT_EQ(std::string(f.begin() + 4, f.begin() + 8), "DATA");
  EXPECT_EQ(le16(20), 2);
  EXPECT_EQ(le16(22), 1024);
  EXPECT_EQ(f[24], 1);
  EXPECT_EQ(f[25], 48);
  EXPECT_EQ(f[26], 32);
  EXPECT_EQ(le16(28), 2);
  EXPECT_EQ(le32(32), f.size() / 512);
  // Tag table from byte 544: header page, name, key type.
  EXPECT_EQ(le32(544), 4u);
  EXPECT_EQ(std::string(f.begin() + 548, f.begin() + 554), "AMOUNT");
  EXPECT_EQ(f[544 + 20], 'N');
  EXPECT_EQ(le32(576), 6u);
  EXPECT_EQ(f[576 + 20], 'D');
  // The numeric tag's leaf: -0.5 before 123.45, each behind its record number.
  size_t header = 4 * 512;
  EXPECT_EQ(le16(header + 12), 12);
  EXPECT_EQ(le16(header + 18), 16);
  size_t leaf = size_t{le32(header)} * 512;
  EXPECT_EQ(le32(leaf), 2u);
  EXPECT_EQ(le32(leaf + 8), 2u);
  EXPECT_EQ(f[leaf + 12], 0x34);      // 0.5 = 0.5 * 10^0
  EXPECT_EQ(f[leaf + 13], 0x80 | 4);  // negative, one digit
  EXPECT_EQ(f[leaf + 14], 0x50);
  EXPECT_EQ(le32(leaf + 24), 1u);
  EXPECT_EQ(f[leaf + 28], 0x37);      // 123.45 = 0.12345 * 10^3
  EXPECT_EQ(le32(leaf + 40), 0u);     // a leaf ends in a zero pointer
  // The date tag's leaf: Julian day numbers as little-endian doubles.
  size_t day_leaf = size_t{le32(6 * 512)} * 512;
  double first;
  std::memcpy(&first, f.data() + day_leaf + 12, 8);
  EXPECT_EQ(first, 2451544.0);  // 1999-12-31
  EXPECT_EQ(le32(day_leaf + 8), 2u);
}

TEST(TwoWriters, KeysFlushedByEitherAreKept) {
  // Two programs append to one table, each with the index open: the second
  // flush must not drop the first one's keys.
  ScratchDir dir;
  TestTable table;
  std::string problem;
  auto path = dir / "two.cdx";
  std::vector<TagDescription> tags = {Tag("DATMACH", "DTOS(DAT_E)+STR(MACHINE,3)"), Tag("UNAME", "NAME")};
  tags[1].unique = true;
  ASSERT_NE(ProductionIndex::Create(path, IndexKind::kCdx, tags, table.fields(), &problem), nullptr) << problem;
  auto first = ProductionIndex::Open(path, table.fields(), &problem);
  auto second = ProductionIndex::Open(path, table.fields(), &problem);
  ASSERT_TRUE(first && second) << problem;
  for (uint32_t i = 0; i < 400; ++i) {
    auto record = table.AppendGenerated(i);
    auto& writer = (i / 50) % 2 == 0 ? first : second;
    ASSERT_TRUE(writer->AddRecord(i + 1, record, &problem)) << problem;
  }
  ASSERT_TRUE(second->Flush(&problem)) << problem;
  ASSERT_TRUE(first->Flush(&problem)) << problem;
  first.reset();
  second.reset();
  table.WriteDbf(dir / "two.dbf");
  std::string report;
  EXPECT_EQ(test::RunIdxCheck(path, dir / "two.dbf", &report), 0) << report;
  EXPECT_NE(report.find("tag DATMACH keys=400 checked=yes"), std::string::npos) << report;
}

// A flush holds the handle Open read the file with, and reads a .cdx again
// only when its change fields say another writer flushed since: an index
// nobody else touched costs a few header bytes per flush, not the file,
// and a change by another writer is still merged in. An .mdx keeps no
// change counter and is read whole every time.
class Rereads : public ::testing::TestWithParam<IndexKind> {
 protected:
  std::string Path() const { return dir_ / (GetParam() == IndexKind::kCdx ? "re.cdx" : "re.mdx"); }
  ScratchDir dir_;
  TestTable table_;
};

TEST_P(Rereads, OnlyWhenAnotherWriterChangedTheFile) {
  constexpr uint32_t kRecords = 3000;
  std::string problem;
  const std::vector<TagDescription> tags = {Tag("DATMACH", "DTOS(DAT_E)+STR(MACHINE,3)"), Tag("NAME", "UPPER(NAME)")};
  {
    auto made = ProductionIndex::Create(Path(), GetParam(), tags, table_.fields(), &problem);
    ASSERT_NE(made, nullptr) << problem;
    for (uint32_t i = 0; i < kRecords; ++i) ASSERT_TRUE(made->AddRecord(i + 1, table_.AppendGenerated(i), &problem));
    ASSERT_TRUE(made->Flush(&problem)) << problem;
  }
  const uint64_t size = std::filesystem::file_size(Path());
  xbase::test::TestEnv env;
  auto ours = ProductionIndex::Open(Path(), table_.fields(), &problem, {}, &env);
  ASSERT_NE(ours, nullptr) << problem;
  EXPECT_GE(env.bytes_read[Path()], size) << "Open reads the file whole";

  auto flush_next = [&](ProductionIndex& index, uint32_t record) {
    ASSERT_TRUE(index.AddRecord(record, table_.AppendGenerated(record - 1), &problem)) << problem;
    ASSERT_TRUE(index.Flush(&problem)) << problem;
  };
  for (uint32_t r = kRecords + 1; r <= kRecords + 3; ++r) {
    env.bytes_read.clear();
    flush_next(*ours, r);
    if (GetParam() == IndexKind::kCdx)
      EXPECT_LT(env.bytes_read[Path()], 100u) << "flush " << r << " read the unchanged file again";
    else
      EXPECT_GE(env.bytes_read[Path()], size) << "an .mdx can't tell a change; it is read whole";
  }

  // Another program flushes a key of its own.
  {
    auto theirs = ProductionIndex::Open(Path(), table_.fields(), &problem);
    ASSERT_NE(theirs, nullptr) << problem;
    flush_next(*theirs, kRecords + 4);
  }
  env.bytes_read.clear();
  flush_next(*ours, kRecords + 5);
  EXPECT_GE(env.bytes_read[Path()], size) << "another writer's flush went unnoticed";
  EXPECT_EQ(env.opens[Path()], 1) << "a flush opened the file again";
  ours.reset();

  auto reopened = ProductionIndex::Open(Path(), table_.fields(), &problem);
  ASSERT_NE(reopened, nullptr) << problem;
  EXPECT_EQ(reopened->KeyCount(0), kRecords + 5) << "a key of either writer was lost";
  EXPECT_EQ(reopened->KeyCount(1), kRecords + 5);
  table_.WriteDbf(dir_ / "re.dbf");
  std::string report;
  EXPECT_EQ(test::RunIdxCheck(Path(), dir_ / "re.dbf", &report), 0) << report;
}

// A flush cut short after its trees reached the file (a tag header's switch
// failed) leaves the file as this object does not know it: the next flush
// reads it whole again. Meanwhile the file reads with every tag on its
// old tree.
TEST_P(Rereads, AfterAFlushThatFailedHalfway) {
  std::string problem;
  const std::vector<TagDescription> tags = {Tag("DATMACH", "DTOS(DAT_E)+STR(MACHINE,3)"), Tag("NAME", "UPPER(NAME)")};
  {
    auto made = ProductionIndex::Create(Path(), GetParam(), tags, table_.fields(), &problem);
    ASSERT_NE(made, nullptr) << problem;
    for (uint32_t i = 0; i < 500; ++i) ASSERT_TRUE(made->AddRecord(i + 1, table_.AppendGenerated(i), &problem));
    ASSERT_TRUE(made->Flush(&problem)) << problem;
  }
  xbase::test::TestEnv env;
  auto index = ProductionIndex::Open(Path(), table_.fields(), &problem, {}, &env);
  ASSERT_NE(index, nullptr) << problem;
  // Every write of a few bytes (a header switch) fails; the trees get through.
  env.fail_write = [](const std::string&, uint64_t, size_t size) { return size <= 16; };
  ASSERT_TRUE(index->AddRecord(501, table_.AppendGenerated(500), &problem));
  EXPECT_FALSE(index->Flush(&problem));
  EXPECT_NE(problem.find("can't write"), std::string::npos) << problem;
  EXPECT_GE(env.failed_writes[Path()], 1);
  {
    auto before = ProductionIndex::Open(Path(), table_.fields(), &problem);
    ASSERT_NE(before, nullptr) << "a failed flush broke the file: " << problem;
    EXPECT_EQ(before->KeyCount(0), 500u) << "the tags left their trees";
  }

  env.fail_write = nullptr;
  env.bytes_read.clear();
  ASSERT_TRUE(index->Flush(&problem)) << problem;
  EXPECT_GE(env.bytes_read[Path()], 500u * 8) << "the file was trusted after a failed flush";
  index.reset();
  auto reopened = ProductionIndex::Open(Path(), table_.fields(), &problem);
  ASSERT_NE(reopened, nullptr) << problem;
  EXPECT_EQ(reopened->KeyCount(0), 501u);
  table_.WriteDbf(dir_ / "re.dbf");
  std::string report;
  EXPECT_EQ(test::RunIdxCheck(Path(), dir_ / "re.dbf", &report), 0) << report;
}

INSTANTIATE_TEST_SUITE_P(Formats, Rereads, ::testing::Values(IndexKind::kCdx, IndexKind::kMdx),
                         [](const auto& p) { return std::string(p.param == IndexKind::kCdx ? "Cdx" : "Mdx"); });

// An .mdx header's creation and update dates are the engine clock's day
// in UTC (the file has no time zone), whatever the system's clock says.
TEST(MdxDates, AreTheDayOfTheEnginesClockInUtc) {
  ScratchDir dir;
  TestTable table;
  std::string problem;
  xbase::test::TestEnv env;
  env.unix_seconds = 1930996800;  // 2031-03-11 12:00 UTC
  const auto path = dir / "dates.mdx";
  auto date_at = [&](size_t at) {
    const auto bytes = ReadAll(path);
    return std::vector<int>{bytes[at] + 1900, bytes[at + 1], bytes[at + 2]};
  };
  ASSERT_NE(ProductionIndex::Create(path, IndexKind::kMdx, {Tag("NAME", "NAME")}, table.fields(), &problem, {}, &env),
            nullptr)
      << problem;
  EXPECT_EQ(date_at(1), (std::vector<int>{2031, 3, 11}));
  EXPECT_EQ(date_at(44), (std::vector<int>{2031, 3, 11}));
  env.unix_seconds += 86400 - 3600;  // 2031-03-12 11:00 UTC
  auto index = ProductionIndex::Open(path, table.fields(), &problem, {}, &env);
  ASSERT_NE(index, nullptr) << problem;
  ASSERT_TRUE(index->AddRecord(1, table.AppendGenerated(0), &problem)) << problem;
  ASSERT_TRUE(index->Flush(&problem)) << problem;
  EXPECT_EQ(date_at(1), (std::vector<int>{2031, 3, 11})) << "the creation date stays";
  EXPECT_EQ(date_at(44), (std::vector<int>{2031, 3, 12}));
}

TEST(TakingBack, ARemovedRecordsKeysStayOutAndItsNumberCanBeUsedAgain) {
  ScratchDir dir;
  TestTable table;
  std::string problem;
  auto path = dir / "back.cdx";
  std::vector<TagDescription> tags = {Tag("DATMACH", "DTOS(DAT_E)+STR(MACHINE,3)")};
  auto index = ProductionIndex::Create(path, IndexKind::kCdx, tags, table.fields(), &problem);
  ASSERT_NE(index, nullptr) << problem;
  const auto first_span = table.AppendGenerated(0);
  const std::vector<uint8_t> first(first_span.begin(), first_span.end());  // the table's storage moves
  ASSERT_TRUE(index->AddRecord(1, first, &problem)) << problem;
  ASSERT_TRUE(index->Flush(&problem)) << problem;  // record 1 is on disk now
  const auto second_span = table.AppendGenerated(1);
  const std::vector<uint8_t> second(second_span.begin(), second_span.end());
  ASSERT_TRUE(index->AddRecord(2, second, &problem)) << problem;
  // Record 2 goes before it was written, record 1 after.
  ASSERT_TRUE(index->RemoveRecord(2, second, &problem)) << problem;
  ASSERT_TRUE(index->RemoveRecord(1, first, &problem)) << problem;
  // A new record 1 with the old one's key comes in again.
  ASSERT_TRUE(index->AddRecord(1, first, &problem)) << problem;
  ASSERT_TRUE(index->Flush(&problem)) << problem;
  index.reset();
  auto reopened = ProductionIndex::Open(path, table.fields(), &problem);
  ASSERT_NE(reopened, nullptr) << problem;
  EXPECT_EQ(reopened->KeyCount(0), 1u);
  ASSERT_TRUE(reopened->RemoveRecord(1, first, &problem)) << problem;
  ASSERT_TRUE(reopened->Flush(&problem)) << problem;
  reopened.reset();
  EXPECT_EQ(ProductionIndex::Open(path, table.fields(), &problem)->KeyCount(0), 0u);
}

TEST(KeyForms, NumbersSortAsBytesAndSurviveTheDecimalForm) {
  auto hex = [](const std::string& s) {
    std::string out;
    char buf[4];
    for (unsigned char c : s) {
      std::snprintf(buf, sizeof buf, "%02X", c);
      out += buf;
    }
    return out;
  };
  EXPECT_EQ(hex(SortableDouble(1.0)), "BFF0000000000000");
  EXPECT_EQ(hex(SortableDouble(-1.0)), "400FFFFFFFFFFFFF");
  EXPECT_EQ(hex(SortableDouble(0.0)), "8000000000000000");
  EXPECT_EQ(SortableDouble(-0.0), SortableDouble(0.0));
  double ordered[] = {-1e300, -12.5, -1, -0.001, 0, 1e-10, 1, 2.5, 2451545, 1e300};
  for (size_t i = 1; i < std::size(ordered); ++i) EXPECT_LT(SortableDouble(ordered[i - 1]), SortableDouble(ordered[i]));

  auto bcd = EncodeBcd(123.45);
  EXPECT_EQ(bcd[0], 0x34 + 3);
  EXPECT_EQ(bcd[1], 5 << 2);
  EXPECT_EQ(bcd[2], 0x12);
  EXPECT_EQ(bcd[3], 0x34);
  EXPECT_EQ(bcd[4], 0x50);
  EXPECT_EQ(EncodeBcd(-0.05)[1], 0x80 | (1 << 2));
  for (double v : {0.0, 1.0, -12.5, 0.001, 99999999.99, -1234567.891, 1e15, 3.14159265358979})
    EXPECT_EQ(DecodeBcd(EncodeBcd(v).data()), v) << v;
}

TEST(UnsupportedTags, AreRefusedNamingTagExpressionAndReason) {
  ScratchDir dir;
  TestTable table;
  std::vector<TagDescription> tags = {Tag("NAME", "NAME"), Tag("SNDX", "SOUNDEX(NAME)")};
  std::string why = ProductionIndex::CheckTags(IndexKind::kCdx, tags, table.fields());
  EXPECT_NE(why.find("tag SNDX (SOUNDEX(NAME))"), std::string::npos) << why;
  EXPECT_NE(why.find("unknown function SOUNDEX"), std::string::npos) << why;
  std::string problem;
  EXPECT_EQ(ProductionIndex::Create(dir / "x.cdx", IndexKind::kCdx, tags, table.fields(), &problem), nullptr);
  EXPECT_EQ(problem, why);
  EXPECT_FALSE(std::filesystem::exists(dir / "x.cdx"));

  EXPECT_NE(ProductionIndex::CheckTags(IndexKind::kCdx, {Tag("OK", "OK")}, table.fields()).find("logical keys"),
            std::string::npos);
  EXPECT_NE(ProductionIndex::CheckTags(IndexKind::kMdx, {Tag("WIDE", "NAME+NAME+NAME+NAME+NAME+NAME")}, table.fields())
                .find("key length 120"),
            std::string::npos);
  EXPECT_NE(ProductionIndex::CheckTags(IndexKind::kCdx, {Tag("A", "NAME"), Tag("a", "MACHINE")}, table.fields())
                .find("twice"),
            std::string::npos);
  TagDescription general = Tag("NAME", "NAME");
  general.collation = "GENERAL";
  EXPECT_NE(ProductionIndex::CheckTags(IndexKind::kCdx, {general}, table.fields()).find("collating sequence GENERAL"),
            std::string::npos);
}

TEST(UnsupportedTags, AFileWithAnotherCollationIsReadButNotAppendedTo) {
  ScratchDir dir;
  TestTable table;
  std::string problem;
  auto path = dir / "t.cdx";
  ASSERT_NE(ProductionIndex::Create(path, IndexKind::kCdx, {Tag("NAME", "NAME")}, table.fields(), &problem), nullptr);
  // Name a collating sequence in the tag header's reserved bytes, where
  // Visual FoxPro keeps it.
  auto bytes = ReadAll(path);
  std::string general = "GENERAL";
  std::copy(general.begin(), general.end(), bytes.begin() + 1024 + 0x1E0 - 0x10);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

  auto index = ProductionIndex::Open(path, table.fields(), &problem);
  ASSERT_NE(index, nullptr) << problem;
  EXPECT_NE(index->Unmaintainable().find("tag NAME (NAME): collating sequence GENERAL"), std::string::npos)
      << index->Unmaintainable();
  EXPECT_FALSE(index->AddRecord(1, table.Append("A", 1, "", 0, true), &problem));
  EXPECT_EQ(problem, index->Unmaintainable());
}

TEST(TemplateTags, ANumericTagWithAnUnknownFunctionIsDescribedAndRefused) {
  // The pad byte of a .cdx tag follows its key type, which only the
  // expression tells; an expression we can't evaluate must still let the
  // template be read, so that the refusal names the real reason.
  ScratchDir dir;
  TestTable table;
  std::string problem;
  auto path = dir / "t.cdx";
  {
    auto index = ProductionIndex::Create(path, IndexKind::kCdx, {Tag("NUM", "AMOUNT")}, table.fields(), &problem);
    ASSERT_NE(index, nullptr) << problem;
    for (uint32_t i = 0; i < 2000; ++i) ASSERT_TRUE(index->AddRecord(i + 1, table.AppendGenerated(i), &problem));
  }
  auto bytes = ReadAll(path);
  std::string expression = "NEWFN(AMOUNT)";
  std::fill(bytes.begin() + 1024 + 512, bytes.begin() + 2048, uint8_t{0});
  std::copy(expression.begin(), expression.end(), bytes.begin() + 1024 + 512);
  bytes[1024 + 510] = static_cast<uint8_t>(expression.size() + 1);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

  auto index = ProductionIndex::Open(path, table.fields(), &problem);
  ASSERT_NE(index, nullptr) << problem;
  EXPECT_EQ(index->KeyCount(0), 2000u);
  EXPECT_NE(index->Unmaintainable().find("tag NUM (NEWFN(AMOUNT)): unknown function NEWFN()"), std::string::npos)
      << index->Unmaintainable();
  EXPECT_NE(ProductionIndex::CheckTags(IndexKind::kCdx, index->tags(), table.fields()).find("NEWFN"), std::string::npos);
}

TEST(TemplateTags, KeyLengthFromTheFileMustMatchTheExpression) {
  TestTable table;
  TagDescription tag = Tag("NAME", "LEFT(NAME,5)");
  tag.key_length = 6;
  tag.key_type = 'C';
  EXPECT_NE(ProductionIndex::CheckTags(IndexKind::kCdx, {tag}, table.fields()).find("key length 6"), std::string::npos);
  tag.key_length = 5;
  EXPECT_EQ(ProductionIndex::CheckTags(IndexKind::kCdx, {tag}, table.fields()), "");
  tag.key_type = 'N';
  EXPECT_NE(ProductionIndex::CheckTags(IndexKind::kCdx, {tag}, table.fields()).find("key type N"), std::string::npos);
}

}  // namespace
}  // namespace xbase::index
