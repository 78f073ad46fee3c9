// The program's OS layer (platform/) and the engine's (xbase/) share what a
// file is and how a file is moved over another: the same cases for both.
#include "common/FileRules.h"
#include "platform/System.h"
#include "xbase/os_file.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

struct Layer {
  const char* name;
  bool (*file_exists)(const std::string&);
  bool (*move_over)(const std::string&, const std::string&);
};

const Layer kLayers[] = {
    {"Platform", platform::FileExists, platform::MoveFileOver},
    {"Engine", xbase::FileExists, xbase::MoveFileOver},
};

class EachLayer : public testing::TestWithParam<Layer> {};

std::string Text(const std::string& path) {
  auto bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void Write(const std::string& path, const std::string& text) { WriteBytes(path, {text.begin(), text.end()}); }

}  // namespace

TEST_P(EachLayer, OnlyARegularFileExists) {
  ScratchDir dir;
  const Layer& layer = GetParam();
  Write(dir / "a.dbf", "x");
  std::filesystem::create_directory(dir / "folder.dbf");
  EXPECT_TRUE(layer.file_exists(dir / "a.dbf"));
  EXPECT_FALSE(layer.file_exists(dir / "folder.dbf"));
  EXPECT_FALSE(layer.file_exists(dir / "missing.dbf"));
  EXPECT_FALSE(layer.file_exists(""));
#ifndef _WIN32
  // A pipe or a device is no file: opening one to read a header would wait
  // for a writer forever, writing one sends the records nowhere.
  ASSERT_EQ(mkfifo((dir / "pipe.dbf").c_str(), 0600), 0);
  EXPECT_FALSE(layer.file_exists(dir / "pipe.dbf"));
  EXPECT_FALSE(layer.file_exists("/dev/null"));
  // A link counts as what it leads to.
  std::filesystem::create_symlink(dir / "a.dbf", dir / "link.dbf");
  std::filesystem::create_symlink(dir / "gone.dbf", dir / "dangling.dbf");
  EXPECT_TRUE(layer.file_exists(dir / "link.dbf"));
  EXPECT_FALSE(layer.file_exists(dir / "dangling.dbf"));
  // Where anything at all at a name matters, there is PathExists.
  EXPECT_TRUE(platform::PathExists(dir / "dangling.dbf"));
  EXPECT_TRUE(platform::PathExists(dir / "pipe.dbf"));
#endif
  EXPECT_TRUE(platform::PathExists(dir / "folder.dbf"));
  EXPECT_FALSE(platform::PathExists(dir / "missing.dbf"));
}

TEST_P(EachLayer, AMoveReplacesTheFileWholeOrFailsLeavingItAsItWas) {
  ScratchDir dir;
  const Layer& layer = GetParam();
  Write(dir / "new", "new");
  Write(dir / "old", "old");
  ASSERT_TRUE(layer.move_over(dir / "new", dir / "old"));
  EXPECT_EQ(Text(dir / "old"), "new");
  EXPECT_FALSE(std::filesystem::exists(dir / "new"));

  // Nothing to move, a folder in the way, no folder to move into: false,
  // and what was there stays.
  EXPECT_FALSE(layer.move_over(dir / "missing", dir / "old"));
  EXPECT_EQ(Text(dir / "old"), "new");
  std::filesystem::create_directory(dir / "folder");
  Write(dir / "folder/inside", "kept");
  EXPECT_FALSE(layer.move_over(dir / "old", dir / "folder"));
  EXPECT_EQ(Text(dir / "old"), "new");
  EXPECT_EQ(Text(dir / "folder/inside"), "kept");
  EXPECT_FALSE(layer.move_over(dir / "old", dir / "nowhere/old"));
  EXPECT_EQ(Text(dir / "old"), "new");
}

INSTANTIATE_TEST_SUITE_P(BothLayers, EachLayer, testing::ValuesIn(kLayers),
                         [](const testing::TestParamInfo<Layer>& param) { return std::string(param.param.name); });

#ifndef _WIN32
// The step after the move that makes it durable reports its own failure: a
// folder that can't be synced makes the move false.
TEST(FolderSync, AFolderThatCantBeSyncedIsReported) {
  ScratchDir dir;
  Write(dir / "a", "x");
  EXPECT_TRUE(tidewell::files::SyncFolderOf(dir / "a"));
  EXPECT_TRUE(tidewell::files::SyncFolderOf("relative-name"));  // the current folder
  EXPECT_FALSE(tidewell::files::SyncFolderOf(dir / "gone/a"));
}
#endif
