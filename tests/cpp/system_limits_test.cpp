#include "support/system_limits.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

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
  std::optional<std::uint64_t> headroom() {
    return cgroup_memory_headroom(find_cgroups(root.string()), root.string());
  }
};

constexpr std::uint64_t MiB = 1 << 20;

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

// A container's view: the process's group is named from the host's root, and the levels below the
// container's own group do not exist in its tree.
TEST_F(CgroupTree, V1MemoryFromTheDeepestLevelThatExists) {
  write("proc/self/cgroup", "4:memory:/box/job/task\n3:cpu:/\n0::/\n");
  write("proc/self/mountinfo",
        "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n");
  EXPECT_EQ(headroom(), std::nullopt);  // no directory at all
  write("sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
  write("sys/fs/cgroup/memory/memory.usage_in_bytes", "4831170560\n");
  EXPECT_EQ(headroom(), std::nullopt);  // the root group sets no limit
  write("sys/fs/cgroup/memory/box/memory.limit_in_bytes", std::to_string(300 * MiB) + "\n");
  write("sys/fs/cgroup/memory/box/memory.usage_in_bytes", std::to_string(100 * MiB) + "\n");
  EXPECT_EQ(headroom(), 200 * MiB);
  write("sys/fs/cgroup/memory/box/job/memory.limit_in_bytes", std::to_string(50 * MiB) + "\n");
  write("sys/fs/cgroup/memory/box/job/memory.usage_in_bytes", std::to_string(60 * MiB) + "\n");
  EXPECT_EQ(headroom(), 0u);  // over its limit: nothing left, whatever the levels above allow
}

TEST_F(CgroupTree, V2SmallestHeadroomUpTheHierarchy) {
  write("proc/self/cgroup", "0::/a/b\n");
  write("proc/self/mountinfo", "41 31 0:38 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
  write("sys/fs/cgroup/a/b/memory.max", "max\n");
  write("sys/fs/cgroup/a/b/memory.current", "123\n");
  EXPECT_EQ(headroom(), std::nullopt);
  // Asked only where a group sets a limit: it may cost a walk over the process's memory.
  auto unexpected = +[]() -> std::uint64_t { throw "asked"; };
  EXPECT_EQ(cgroup_memory_headroom(find_cgroups(root.string()), root.string(), unexpected),
            std::nullopt);
  write("sys/fs/cgroup/a/memory.max", std::to_string(1024 * MiB) + "\n");
  write("sys/fs/cgroup/a/memory.current", std::to_string(900 * MiB) + "\n");
  EXPECT_EQ(headroom(), 124 * MiB);
  write("sys/fs/cgroup/a/b/memory.max", std::to_string(300 * MiB) + "\n");
  write("sys/fs/cgroup/a/b/memory.current", std::to_string(250 * MiB) + "\n");
  EXPECT_EQ(headroom(), 50 * MiB);
}

std::string mib(std::uint64_t n) { return std::to_string(n * MiB); }

// The clean page cache, on either file list, counts as free: the kernel takes it back before
// killing anything. Dirty pages and pages under writeback must be written first; shared memory
// and locked pages are not on the file lists. Memory freed lazily (MADV_FREE) is, but it is no
// page cache, and may be in use again.
TEST_F(CgroupTree, CleanPageCacheCountsAsFree) {
  write("proc/self/cgroup", "0::/a\n");
  write("proc/self/mountinfo", "41 31 0:38 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
  write("sys/fs/cgroup/a/memory.max", mib(1024) + "\n");
  write("sys/fs/cgroup/a/memory.current", mib(900) + "\n");
  write("sys/fs/cgroup/a/memory.stat",
        "anon " + mib(300) + "\nfile " + mib(600) + "\nshmem " + mib(50) + "\nactive_file " +
            mib(400) + "\ninactive_file " + mib(150) + "\nunevictable " + mib(30) +
            "\nfile_dirty " + mib(20) + "\nfile_writeback " + mib(10) + "\n");
  EXPECT_EQ(headroom(), (1024 - 900 + 600 - 50 - 30 - 20 - 10) * MiB);
  write("sys/fs/cgroup/a/memory.stat", "anon " + mib(800) + "\nfile " + mib(10) +
                                           "\nactive_file 0\ninactive_file " + mib(452) + "\n");
  EXPECT_EQ(headroom(), (1024 - 900 + 10) * MiB);  // 442 MiB freed lazily
  // Of it, what the process itself freed lazily and has not written since counts as free.
  auto own = +[] { return std::uint64_t{400 * MiB}; };
  EXPECT_EQ(cgroup_memory_headroom(find_cgroups(root.string()), root.string(), own),
            (1024 - 900 + 10 + 400) * MiB);
  write("sys/fs/cgroup/a/memory.stat",
        "file " + mib(5) + "\nactive_file " + mib(5) + "\nfile_dirty " + mib(8) + "\n");
  EXPECT_EQ(headroom(), 124 * MiB);  // more dirty than cached: none of it is free

  // v1: the counters of the group and those below it ("total_"), as its usage counts them.
  write("proc/self/cgroup", "4:memory:/box\n");
  write("proc/self/mountinfo",
        "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n");
  write("sys/fs/cgroup/memory/box/memory.limit_in_bytes", mib(1024) + "\n");
  write("sys/fs/cgroup/memory/box/memory.usage_in_bytes", mib(900) + "\n");
  write("sys/fs/cgroup/memory/box/memory.stat",
        "cache 1\nactive_file 7\ninactive_file 7\ndirty 7\ntotal_cache " + mib(800) +
            "\ntotal_shmem " + mib(50) + "\ntotal_active_file " + mib(700) +
            "\ntotal_inactive_file " + mib(50) + "\ntotal_dirty " + mib(40) + "\ntotal_writeback " +
            mib(10) + "\n");
  EXPECT_EQ(headroom(), (1024 - 900 + 700) * MiB);
}

// Without /proc the process's group has no name: in a container's cgroup namespace, the root of
// each hierarchy at its usual mount point is the container's own group.
TEST_F(CgroupTree, WithoutProcTheNamespaceRootIsRead) {
  EXPECT_EQ(headroom(), std::nullopt);
  write("sys/fs/cgroup/memory.max", mib(300) + "\n");
  write("sys/fs/cgroup/memory.current", mib(100) + "\n");
  write("sys/fs/cgroup/cpu.max", "150000 100000\n");
  EXPECT_EQ(headroom(), 200 * MiB);
  EXPECT_EQ(limit(), 2u);
  std::filesystem::remove_all(root / "sys");
  // v1's root group outside a namespace sets no limit.
  write("sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
  EXPECT_EQ(headroom(), std::nullopt);
  write("sys/fs/cgroup/memory/memory.limit_in_bytes", mib(300) + "\n");
  write("sys/fs/cgroup/memory/memory.usage_in_bytes", mib(250) + "\n");
  EXPECT_EQ(headroom(), 50 * MiB);
}

TEST_F(CgroupTree, GroupsOutsideTheMountedRootAreNotRead) {
  // The mount shows the container's group alone: a path below it is found under the mount point,
  // one beside it (or a root whose name is only a prefix of the path's) is not there at all.
  write("proc/self/mountinfo",
        "35 31 0:32 /docker/ab /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n");
  write("sys/fs/cgroup/memory/memory.limit_in_bytes", std::to_string(64 * MiB));
  write("sys/fs/cgroup/memory/sub/memory.limit_in_bytes", std::to_string(32 * MiB));
  write("proc/self/cgroup", "4:memory:/docker/ab/sub\n");
  EXPECT_EQ(headroom(), 32 * MiB);
  write("proc/self/cgroup", "4:memory:/docker/ab\n");
  EXPECT_EQ(headroom(), 64 * MiB);
  write("proc/self/cgroup", "4:memory:/docker/abc\n");
  EXPECT_EQ(headroom(), std::nullopt);
  write("proc/self/cgroup", "4:memory:/other\n");
  EXPECT_EQ(headroom(), std::nullopt);
}

// Checked in tenths of what is available now, each large enough to be checked; skipped where
// they are not.
class MemoryBudget : public ::testing::Test {
 protected:
  void SetUp() override {
    if (tenth <= kSmallDemand) GTEST_SKIP() << "too little memory available to check";
  }
  const std::uint64_t tenth = available_memory() / 10;
};

TEST_F(MemoryBudget, ConcurrentCallsShareOneBudget) {
  {
    MemoryReservation small;
    EXPECT_TRUE(small.reserve(kSmallDemand));  // always, without reading anything
  }
  {
    MemoryReservation first, second;
    EXPECT_TRUE(first.reserve(6 * tenth));
    EXPECT_FALSE(second.reserve(6 * tenth));
    EXPECT_FALSE(memory_fits(6 * tenth));
    EXPECT_TRUE(second.reserve(tenth));
    EXPECT_TRUE(first.reserve(2 * tenth));  // in place of what it held
    EXPECT_TRUE(memory_fits(6 * tenth));
  }
  MemoryReservation again;
  EXPECT_TRUE(again.reserve(8 * tenth));
}

// A child of fork() has only the thread that forked: another thread's reservation is not running
// there, and the forking thread's own still is (it is given back when it ends, in the child too).
TEST_F(MemoryBudget, ChildOfForkKeepsTheForkingThreadsOnly) {
  MemoryReservation mine;
  ASSERT_TRUE(mine.reserve(3 * tenth));
  std::atomic<int> step{0};
  std::thread other([&] {
    MemoryReservation theirs;
    EXPECT_TRUE(theirs.reserve(3 * tenth));
    step = 1;
    step.notify_one();
    step.wait(1);
  });
  step.wait(0);
  pid_t child = fork();
  if (child == 0) {
    bool mine_held = !memory_fits(8 * tenth);
    MemoryReservation probe;
    bool theirs_gone = probe.reserve(5 * tenth);
    _exit(theirs_gone && mine_held ? 0 : 1);
  }
  MemoryReservation probe;
  EXPECT_FALSE(probe.reserve(5 * tenth));
  step = 2;
  step.notify_one();
  other.join();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace tolvane
