#include "engine/run/Workers.h"
#include "engine/rewrite/GroupRewrite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include <pthread.h>
#include <sched.h>

namespace tarnwick {
namespace {

// One worker per CPU the process may use (taskset, containers), and each
// helper kept to a CPU of its own.
TEST(WorkersTest, OnePerUsableCpuEachHelperOnItsOwn) {
    cpu_set_t all;
    ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
    const auto cpus = static_cast<unsigned>(CPU_COUNT(&all));
    EXPECT_EQ(DefaultWorkers(), cpus);
    if (cpus < 2) GTEST_SKIP() << "one CPU only";
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
        }
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(DefaultWorkers(), 1u);
    ASSERT_EQ(::sched_setaffinity(0, sizeof all, &all), 0);

    std::mutex mutex;
    std::vector<int> placed(cpus, -2);  // per helper that took an item: its one CPU, or -1
    WorkerPool pool(cpus);
    pool.Run(cpus * 3, cpus, cpus * 3,
             [&](std::size_t, unsigned worker) {
                 cpu_set_t mine;
                 ASSERT_EQ(::pthread_getaffinity_np(::pthread_self(), sizeof mine, &mine), 0);
                 int cpu = -1;
                 for (int c = 0; c < CPU_SETSIZE && CPU_COUNT(&mine) == 1; ++c)
                     if (CPU_ISSET(c, &mine)) cpu = c;
                 std::this_thread::sleep_for(std::chrono::milliseconds(20));
                 std::lock_guard lock(mutex);
                 placed[worker] = cpu;
             },
             {});
    std::set<int> distinct;
    for (unsigned w = 1; w < cpus; ++w) {
        if (placed[w] == -2) continue;  // took no item
        EXPECT_GE(placed[w], 0) << "helper " << w << " may run anywhere";
        EXPECT_TRUE(distinct.insert(placed[w]).second) << "helper " << w << " shares CPU " << placed[w];
    }
    EXPECT_EQ(placed[0], -1);  // the calling thread is left alone
}

// Items finish in any order (random delays, several workers, a short window
// ahead); each is worked once, delivered once, in order, never before it is
// done, and never more than `ahead` (at least one per worker) items done and
// not yet delivered.
TEST(WorkersTest, DeliveryInOrderUnderRandomDelays) {
    for (const unsigned use : {1u, 2u, 4u}) {
        for (const std::size_t ahead : {std::size_t{1}, std::size_t{3}, std::size_t{64}}) {
            WorkerPool pool(4);
            constexpr std::size_t kCount = 300;
            std::vector<int> worked(kCount, 0);
            std::vector<std::size_t> delivered;
            std::mutex mutex;
            std::size_t doneNotDelivered = 0, most = 0;
            pool.Run(
                kCount, use, ahead,
                [&](std::size_t item, unsigned worker) {
                    EXPECT_LT(worker, use);
                    std::this_thread::sleep_for(std::chrono::microseconds((item * 7919) % 300));
                    std::lock_guard lock(mutex);
                    ++worked[item];
                    most = std::max(most, ++doneNotDelivered);
                },
                [&](std::size_t item) {
                    std::lock_guard lock(mutex);
                    EXPECT_EQ(worked[item], 1) << item;
                    delivered.push_back(item);
                    --doneNotDelivered;
                });
            ASSERT_EQ(delivered.size(), kCount) << use << " workers, " << ahead << " ahead";
            for (std::size_t i = 0; i < kCount; ++i) ASSERT_EQ(delivered[i], i);
            EXPECT_LE(most, std::max<std::size_t>(ahead, use)) << use << " workers";
        }
    }
}

// Files taken from their folders in turn (a share): every file once, each
// folder's files in their order, one of each folder a round.
TEST(WorkersTest, FoldersInTurnTakesEachFileOnce) {
    const std::vector<std::filesystem::path> files{"a/1", "a/2", "a/3", "b/1", "c/1", "c/2", "a/4", "/x", "/y"};
    const auto order =
        FoldersInTurn(files.size(), [&](std::size_t k) -> const std::filesystem::path& { return files[k]; });
    std::vector<std::string> taken;
    for (std::size_t k : order) taken.push_back(files[k].string());
    EXPECT_EQ(taken, (std::vector<std::string>{"a/1", "b/1", "c/1", "/x", "a/2", "c/2", "/y", "a/3", "a/4"}));
    EXPECT_TRUE(FoldersInTurn(0, [&](std::size_t k) -> const std::filesystem::path& { return files[k]; }).empty());
}

// The files told, by identity, past the table's first growths: each found as
// told, first name kept; two files a bare mix of device and inode could
// confuse stay apart; no identity (0, 0) is ever one told.
TEST(WorkersTest, ToldFilesKnowsEachByIdentity) {
    ToldFiles told;
    constexpr std::uint64_t kFiles = 5000;
    for (std::uint64_t i = 1; i <= kFiles; ++i) told.Add(i % 3, i, "f" + std::to_string(i), i % 7 == 0);
    told.Add(1, 1, "again", false);
    told.Add(0, 0, "none", false);
    for (std::uint64_t i = 1; i <= kFiles; ++i) {
        const auto as = told.As(i % 3, i);
        ASSERT_TRUE(as) << i;
        EXPECT_EQ(as->name, "f" + std::to_string(i));
        EXPECT_EQ(as->viaLink, i % 7 == 0);
        EXPECT_FALSE(told.Has(i % 3 + 3, i));
    }
    EXPECT_FALSE(told.Has(0, 0));
    // device * K ^ inode is the same for these two.
    constexpr std::uint64_t kMix = 0x9E3779B97F4A7C15ull;
    told.Add(9, 5, "nine", false);
    EXPECT_TRUE(told.Has(9, 5));
    EXPECT_FALSE(told.Has(0, (9 * kMix) ^ 5));
    told.Clear();
    EXPECT_FALSE(told.Has(1, 1));
}

}  // namespace
}  // namespace tarnwick
