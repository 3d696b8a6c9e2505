#include "vector/team.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace pallix {
namespace {

std::string ThreadName() {
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof(name));
  return name;
}

// Maps n items and returns, per item, the name of the thread that ran it.
std::vector<std::string> NamesOf(Team& team, size_t n) {
  return team.Map(n, [](size_t) { return ThreadName(); });
}

TEST(TeamTest, SizeOneStartsNoThreadAndMapsOnTheCaller) {
  std::string caller = ThreadName();
  team_run(1, [&](Team& team) {
    EXPECT_EQ(team.workers(), 0u);
    for (const auto& name : NamesOf(team, 5000)) EXPECT_EQ(name, caller);
  });
  Team zero(0);
  EXPECT_EQ(zero.workers(), 0u);
}

TEST(TeamTest, SmallMapsStayOnTheCaller) {
  std::string caller = ThreadName();
  team_run(4, [&](Team& team) {
    ASSERT_EQ(team.workers(), 3u);
    EXPECT_EQ(team.min_items(), 256u);
    for (const auto& name : NamesOf(team, 255)) EXPECT_EQ(name, caller);
    // 256 items: four chunks of 64, chunk i + 1 on worker i.
    auto names = NamesOf(team, 256);
    for (size_t j = 0; j < 256; ++j) {
      if (j < 64) {
        EXPECT_EQ(names[j], caller) << j;
      } else {
        EXPECT_EQ(names[j], "pallix-team-" + std::to_string(j / 64 - 1)) << j;
      }
    }
  });
}

TEST(TeamTest, ChunksAreContiguousAndEqual) {
  team_run(8, [&](Team& team) {
    ASSERT_EQ(team.workers(), 7u);
    auto even = NamesOf(team, 1000);  // 8 chunks of 125
    for (size_t j = 125; j < 1000; ++j) EXPECT_EQ(even[j], "pallix-team-" + std::to_string(j / 125 - 1)) << j;
    auto odd = NamesOf(team, 1001);  // chunks of 126, the last holds 119
    for (size_t j = 126; j < 1001; ++j) EXPECT_EQ(odd[j], "pallix-team-" + std::to_string(j / 126 - 1)) << j;
    EXPECT_EQ(odd[882], "pallix-team-6");
    EXPECT_EQ(odd[881], "pallix-team-5");
  });
}

TEST(TeamTest, ResultsMatchTheSequentialMapInItemOrder) {
  auto f = [](size_t j) { return static_cast<uint64_t>(j * j + 7); };
  for (size_t size : {2u, 3u, 5u, 8u}) {
    team_run(size, [&](Team& team) {
      for (size_t n : {0u, 1u, 300u, 4097u}) {
        auto got = team.Map(n, f);
        ASSERT_EQ(got.size(), n);
        for (size_t j = 0; j < n; ++j) ASSERT_EQ(got[j], f(j));
      }
    });
  }
}

TEST(TeamTest, WorkersWithEmptyChunksStillReportDone) {
  // 39 workers, 1281 items: chunks of 33, so the last worker's chunk starts
  // at 1287 and is empty. The map must still finish.
  team_run(40, [&](Team& team) {
    ASSERT_EQ(team.workers(), 39u);
    auto got = team.Map(1281, [](size_t j) { return j; });
    for (size_t j = 0; j < got.size(); ++j) ASSERT_EQ(got[j], j);
  });
}

TEST(TeamTest, AWorkerFailureIsRethrownOnTheCallerAndTheTeamGoesOn) {
  team_run(3, [&](Team& team) {
    auto failing = [](size_t j) -> int {
      if (j == 500) throw InvariantError("item 500 broke");
      return 1;
    };
    try {
      team.Map(600, failing);
      ADD_FAILURE() << "no exception";
    } catch (const InvariantError& e) {
      EXPECT_STREQ(e.what(), "item 500 broke");
    }
    // The next job runs normally.
    auto ok = team.Map(600, [](size_t j) { return j; });
    EXPECT_EQ(ok[599], 599u);
  });
}

TEST(TeamTest, CallerChunkFailureWaitsForWorkersFirst) {
  std::atomic<size_t> ran{0};
  team_run(4, [&](Team& team) {
    auto failing = [&](size_t j) -> int {
      if (j == 0) throw std::runtime_error("first item");
      ran.fetch_add(1);
      return 0;
    };
    EXPECT_THROW(team.Map(1000, failing), std::runtime_error);
    // Every worker chunk had finished before the exception left Map.
    EXPECT_EQ(ran.load(), 1000u - 250u);
  });
}

TEST(TeamTest, FailuresInEveryChunkSurfaceOnce) {
  EXPECT_THROW(team_run(4,
                        [&](Team& team) {
                          team.Map(1000, [](size_t) -> int { throw InvariantError("all fail"); });
                        }),
               InvariantError);
}

TEST(TeamTest, BodyFailureStillShutsTheTeamDown) {
  EXPECT_THROW(team_run(4, [](Team&) -> int { throw InvariantError("body"); }), InvariantError);
}

TEST(TeamTest, NoWakeUpIsLostAcrossManyJobsAndIdleSleeps) {
  team_run(4, [&](Team& team) {
    for (int round = 0; round < 300; ++round) {
      auto got = team.Map(300, [round](size_t j) { return j + round; });
      ASSERT_EQ(got[299], 299u + round);
      // Now and then idle long enough for every worker to stop spinning and
      // sleep on the condition variable.
      if (round % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
}

// A thread ended by an unwind (pthread_exit, as an embedding interpreter
// ends threads that touch it during its exit) is never stopped by the
// team, which would abort the process. The caller's chunk lets it go on
// once no worker can reach into its frame; a worker ended mid-job leaves
// its results missing, which fails the map.
TEST(TeamTest, ThreadsEndedByAnUnwindAreLetThrough) {
  std::atomic<size_t> ran{0};
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    team_run(4, [&](Team& team) {
      team.Map(1000, [&](size_t j) -> int {
        if (j == 0) pthread_exit(nullptr);
        ran.fetch_add(1);
        return 0;
      });
    });
    returned = true;
  });
  caller.join();
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(ran.load(), 1000u - 250u);  // every worker chunk, none of the caller's

  EXPECT_THROW(team_run(4,
                        [](Team& team) {
                          team.Map(1000, [](size_t j) -> int {
                            if (j == 500) pthread_exit(nullptr);  // on worker 1
                            return 0;
                          });
                        }),
               InvariantError);
}

TEST(TeamTest, OnlineProcessorsIsPositiveHere) { EXPECT_GE(OnlineProcessors(), 1u); }

}  // namespace
}  // namespace pallix
