#include "driver/directory.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/process.hpp"

namespace fs = std::filesystem;

TEST(rewrite_path, replaces_the_tail_from_the_first_occurrence)
{
  EXPECT_EQ(rewrite_path("/home/u/project/executables", "executables", "data"),
            "/home/u/project/data");
  EXPECT_EQ(rewrite_path("/home/u/project/executables/bin", "executables", "data"),
            "/home/u/project/data");
  // The first "data" is the one at the start of the path.
  EXPECT_EQ(rewrite_path("/data/p/data", "data", "results"), "/results");
  // A partial match inside a longer directory name counts.
  EXPECT_EQ(rewrite_path("/p/executables_old/x/executables", "executables", "data"), "/p/data");
  EXPECT_EQ(rewrite_path("/p/bin", "executables", "data"), std::nullopt);
}

struct restore_cwd {
  fs::path saved = fs::current_path();
  ~restore_cwd() { fs::current_path(saved); }
};

TEST(change_directory, moves_to_the_sibling_and_reports_failures)
{
  restore_cwd guard;
  scratch_dir tmp;
  fs::create_directories(tmp.path / "p" / "executables" / "bin");
  fs::create_directories(tmp.path / "p" / "data");
  fs::current_path(tmp.path / "p" / "executables" / "bin");

  EXPECT_TRUE(change_directory("executables", "data"));
  EXPECT_EQ(fs::current_path(), fs::canonical(tmp.path / "p" / "data"));

  // A sibling that does not exist: chdir fails and the directory stays.
  EXPECT_FALSE(change_directory("data", "results"));
  EXPECT_EQ(fs::current_path(), fs::canonical(tmp.path / "p" / "data"));

  try {
    change_directory("executables", "data");
    FAIL() << "expected std::out_of_range";
  } catch (const std::out_of_range& e) {
    EXPECT_NE(std::string(e.what()).find("does not contain \"executables\""), std::string::npos);
  }
}
