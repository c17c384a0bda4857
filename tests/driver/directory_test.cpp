#include "driver/directory.hpp"

#include <gtest/gtest.h>

namespace {

std::string data_of(const std::string& path)
{
  const auto layout = find_layout(path);
  return layout ? layout->data : "(none)";
}

}  // namespace

TEST(find_layout, the_root_is_the_parent_of_the_last_whole_executables_component)
{
  const auto l = find_layout("/home/u/project/executables");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->root, "/home/u/project");
  EXPECT_EQ(l->data, "/home/u/project/data");
  EXPECT_EQ(l->results, "/home/u/project/results");
  EXPECT_EQ(l->r, "/home/u/project/R");
  // Below executables/, and with stray slashes.
  EXPECT_EQ(data_of("/home/u/project/executables/bin"), "/home/u/project/data");
  EXPECT_EQ(data_of("//home/u//project/executables//bin/"), "//home/u//project/data");
  EXPECT_EQ(data_of("/executables"), "/data");
  // Look-alike names are ordinary directories: the first-occurrence rewrite
  // took each of these somewhere else.
  EXPECT_EQ(data_of("/data/u/p/executables"), "/data/u/p/data");
  EXPECT_EQ(data_of("/data/p/data/executables"), "/data/p/data/data");
  EXPECT_EQ(data_of("/bigdata/run1/executables"), "/bigdata/run1/data");
  EXPECT_EQ(find_layout("/p/results_archive/executables")->results,
            "/p/results_archive/results");
  EXPECT_EQ(data_of("/p/executables_v2/executables"), "/p/executables_v2/data");
  EXPECT_EQ(data_of("/p/executables_old/x/executables"), "/p/executables_old/x/data");
  // The nearest executables/ wins.
  EXPECT_EQ(data_of("/a/executables/b/executables/bin"), "/a/executables/b/data");
  // No whole component named executables: no layout.
  EXPECT_EQ(data_of("/p/executables_v2"), "(none)");
  EXPECT_EQ(data_of("/p/my-executables/bin"), "(none)");
  EXPECT_EQ(data_of("/p/bin"), "(none)");
}
