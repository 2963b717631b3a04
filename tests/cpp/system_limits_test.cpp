#include "support/system_limits.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace tolvane {
namespace {

TEST(SystemLimits, PoolSizeFromEnvironment) {
  EXPECT_EQ(pool_size_from(nullptr, nullptr, 6), 6u);
  EXPECT_EQ(pool_size_from("3", "5", 6), 3u);
  EXPECT_EQ(pool_size_from("0", "5", 6), 6u);  // 0: one per CPU, the other variable is not read
  EXPECT_EQ(pool_size_from("x", "5", 6), 5u);  // not a number: unset
  EXPECT_EQ(pool_size_from("-2", "5", 6), 5u);
  EXPECT_EQ(pool_size_from(" 2", nullptr, 6), 6u);
  EXPECT_EQ(pool_size_from(nullptr, "0", 6), 6u);
  EXPECT_EQ(pool_size_from(nullptr, "+4", 6), 4u);
}

class CgroupTree : public ::testing::Test {
 protected:
  std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("tolvane_cgroup_" + std::to_string(::getpid()));
  void SetUp() override { std::filesystem::create_directories(root / "proc/self"); }
  void TearDown() override { std::filesystem::remove_all(root); }
  void write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories((root / path).parent_path());
    std::ofstream(root / path) << text;
  }
  std::optional<std::size_t> limit() { return cgroup_cpu_limit(root.string()); }
};

TEST_F(CgroupTree, V1QuotaRoundsUp) {
  write("proc/self/cgroup", "4:memory:/x\n3:cpu,cpuacct:/box\n0::/\n");
  write("proc/self/mountinfo",
        "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
        "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:9 - cgroup cgroup "
        "rw,cpu,cpuacct\n");
  write("sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_quota_us", "150000\n");
  write("sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(limit(), 2u);
  write("sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_quota_us", "-1\n");
  EXPECT_EQ(limit(), std::nullopt);
  write("sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_quota_us", "100\n");
  write("sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_period_us", "0\n");
  EXPECT_EQ(limit(), std::nullopt);
}

TEST_F(CgroupTree, V2TakesSmallestQuotaUpTheHierarchy) {
  write("proc/self/cgroup", "0::/a/b\n");
  write("proc/self/mountinfo", "41 31 0:38 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
  write("sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
  EXPECT_EQ(limit(), std::nullopt);
  write("sys/fs/cgroup/a/cpu.max", "250000 100000\n");
  EXPECT_EQ(limit(), 3u);
  write("sys/fs/cgroup/a/b/cpu.max", "50000 100000\n");
  EXPECT_EQ(limit(), 1u);
}

}  // namespace
}  // namespace tolvane
