// Damaged index files: every truncation and many single-byte changes give a
// clean error or a readable index, never a crash, an overread or a hang.
#include "xbase/index/index_image.h"
#include "xbase/index/production_index.h"

#include "test_table.h"

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace xbase::index {
namespace {

using test::ScratchDir;
using test::TestTable;
using test::Tag;

class DamagedIndex : public ::testing::TestWithParam<IndexKind> {
 protected:
  void SetUp() override {
    path_ = dir_ / (GetParam() == IndexKind::kCdx ? "d.cdx" : "d.mdx");
    std::string problem;
    auto index = ProductionIndex::Create(path_, GetParam(), {Tag("NAME", "NAME"), Tag("NUM", "AMOUNT"), Tag("DAY", "DAT_E")},
                                         table_.fields(), &problem);
    ASSERT_NE(index, nullptr) << problem;
    // Enough keys for interior nodes above several leaves.
    for (uint32_t i = 0; i < 150; ++i) ASSERT_TRUE(index->AddRecord(i + 1, table_.AppendGenerated(i), &problem));
    ASSERT_TRUE(index->Flush(&problem));
    std::ifstream in(path_, std::ios::binary);
    good_.assign(std::istreambuf_iterator<char>(in), {});
  }

  // Opens `bytes` as the index file; a refusal must say why.
  bool TryOpen(const std::vector<uint8_t>& bytes, std::string* problem) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    auto index = ProductionIndex::Open(path_, table_.fields(), problem);
    if (!index) {
      EXPECT_FALSE(problem->empty());
      return false;
    }
    for (size_t t = 0; t < index->tags().size(); ++t) EXPECT_LE(index->KeyCount(t), bytes.size());
    return true;
  }

  ScratchDir dir_;
  TestTable table_;
  std::string path_;
  std::vector<uint8_t> good_;
};

TEST_P(DamagedIndex, EveryTruncationIsRefused) {
  std::string problem;
  ASSERT_TRUE(TryOpen(good_, &problem)) << problem;
  for (size_t size = 0; size < good_.size(); size += 97) {
    problem.clear();
    EXPECT_FALSE(TryOpen(std::vector<uint8_t>(good_.begin(), good_.begin() + static_cast<std::ptrdiff_t>(size)), &problem))
        << "size " << size;
  }
}

TEST_P(DamagedIndex, SingleByteDamageNeverCrashes) {
  // The file readers directly: writing and opening a file per case would
  // take minutes under the sanitizers.
  size_t refused = 0;
  auto bad = good_;
  for (size_t at = 0; at < good_.size(); at += 3) {
    for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(good_[at] ^ 0x10)}) {
      bad[at] = value;
      std::string problem;
      auto image = GetParam() == IndexKind::kCdx ? ReadCdx(bad, nullptr, &problem) : ReadMdx(bad, &problem);
      if (!image) {
        EXPECT_FALSE(problem.empty());
        ++refused;
      }
    }
    bad[at] = good_[at];
  }
  EXPECT_GT(refused, 0u);
}

TEST_P(DamagedIndex, ANodePointingAtItselfIsACycle) {
  std::string problem;
  auto bad = good_;
  if (GetParam() == IndexKind::kCdx) {
    // The first tag's root is interior: aim its first child at the root.
    size_t header = 1024;
    uint32_t root = bad[header] | (bad[header + 1] << 8) | (bad[header + 2] << 16) | (bad[header + 3] << 24);
    ASSERT_EQ(bad[root] & 2, 0) << "root should be interior";
    uint16_t key_length = static_cast<uint16_t>(bad[header + 12] | (bad[header + 13] << 8));
    size_t child = root + 12 + key_length + 4;
    for (int i = 0; i < 4; ++i) bad[child + static_cast<size_t>(i)] = static_cast<uint8_t>(root >> (8 * (3 - i)));
  } else {
    size_t header = size_t{bad[544]} * 512;  // the first tag's header page
    uint32_t root = bad[header] | (bad[header + 1] << 8);
    size_t node = size_t{root} * 512;
    bad[node + 8] = static_cast<uint8_t>(root);
    bad[node + 9] = static_cast<uint8_t>(root >> 8);
  }
  EXPECT_FALSE(TryOpen(bad, &problem));
  EXPECT_NE(problem.find("reached twice"), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(Formats, DamagedIndex, ::testing::Values(IndexKind::kCdx, IndexKind::kMdx),
                         [](const auto& p) { return p.param == IndexKind::kCdx ? "Cdx" : "Mdx"; });

}  // namespace
}  // namespace xbase::index
