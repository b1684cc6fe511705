#include "platform/unfinished_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;

class UnfinishedFiles : public ::testing::Test {
 protected:
  std::string touch(const std::string& name) { return scratch.write(name, "part").string(); }

  ScratchDir scratch{"kq7-unfinished"};
  const fs::path& dir = scratch.path();
};

TEST_F(UnfinishedFiles, OnlyNamesStillRegisteredAreRemovedAtTheEnd) {
  RemovedIfKilled held(touch("held"));
  RemovedIfKilled moved;
  {
    RemovedIfKilled first(touch("moved"));
    moved = std::move(first);  // the registration travels with the object
  }
  { RemovedIfKilled released(touch("renamed-in-time")); }
  touch("never-registered");
  ASSERT_TRUE(held.registered());
  ASSERT_TRUE(moved.registered());

  removeUnfinishedFiles();

  EXPECT_FALSE(fs::exists(dir / "held"));
  EXPECT_FALSE(fs::exists(dir / "moved"));
  EXPECT_TRUE(fs::exists(dir / "renamed-in-time"));
  EXPECT_TRUE(fs::exists(dir / "never-registered"));
}

TEST_F(UnfinishedFiles, TooLongAPathIsNotRegistered) {
  EXPECT_FALSE(RemovedIfKilled(std::string(8192, 'x')).registered());
}

}  // namespace
