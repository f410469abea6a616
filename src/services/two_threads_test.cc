// The two-thread helpers: every item covered once, chunks in order, and
// failures on either thread.
#include "services/two_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace grenfel {
namespace {

// Chunks arrive in order whichever thread made them, and a failure on
// either thread reaches the caller without leaving the other one waiting.
TEST(FormatChunksInOrder, OrderAndFailuresOfEitherThread) {
  auto format = [](size_t chunk, std::string* out) {
    out->append(chunk % 3 + 1, static_cast<char>('a' + chunk % 26));
  };
  for (size_t count : {0, 1, 2, 7, 200}) {
    std::string joined, expected;
    FormatChunksInOrder(count, format, [&](std::string_view bytes) { joined += bytes; });
    for (size_t chunk = 0; chunk < count; ++chunk) format(chunk, &expected);
    EXPECT_EQ(joined, expected) << count << " chunks";
  }

  for (size_t failing : {2, 3, 150, 151}) {
    size_t consumed = 0;
    auto failingFormat = [&](size_t chunk, std::string* out) {
      if (chunk == failing) throw std::runtime_error("chunk " + std::to_string(chunk));
      format(chunk, out);
    };
    EXPECT_THROW(FormatChunksInOrder(200, failingFormat, [&](std::string_view) { ++consumed; }),
                 std::runtime_error);
    EXPECT_EQ(consumed, failing) << "failing chunk " << failing;
  }
  // A failure while consuming stops the helper too.
  size_t consumed = 0;
  EXPECT_THROW(FormatChunksInOrder(200, format,
                                   [&](std::string_view) {
                                     if (++consumed == 5) throw std::runtime_error("full");
                                   }),
               std::runtime_error);
}

// Both halves are handled exactly once, on two threads or one.
TEST(ForBothHalves, CoversTheRangeOnce) {
  for (size_t size : {0, 1, 1000, 200000}) {
    std::vector<int> seen(size + 3, 0);
    ForBothHalves(3, size + 3, [&](size_t begin, size_t end, int) {
      for (size_t i = begin; i < end; ++i) ++seen[i];
    });
    for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i < 3 ? 0 : 1) << i;
  }
  // Every platform built for can start the second thread (the 32-bit
  // Windows program too): a large range really is split over two.
  std::thread::id ran[2];
  ForBothHalves(0, 200000,
                [&](size_t, size_t, int half) { ran[half] = std::this_thread::get_id(); });
  EXPECT_NE(ran[0], ran[1]);
}

// Every part handed on is worked on once, whichever thread takes it; a
// failure on either thread ends the call, on this thread, without a hang.
TEST(ShareTasksOnTwoThreads, EveryPartOnceAndFailuresReachTheCaller) {
  struct Range {
    size_t begin = 0, end = 0;
  };
  constexpr size_t kSize = 100000, kNoFailure = kSize;
  std::vector<int> seen(kSize, 0);
  std::atomic<int> tasks{0};
  // Halves its range, handing on the upper halves, down to 100 items; fails
  // on the one that holds item `failing`.
  auto halving = [&](size_t failing) {
    return [&, failing](Range r, auto& share) {
      ++tasks;
      while (r.end - r.begin > 100) {
        const size_t middle = r.begin + (r.end - r.begin) / 2;
        share(Range{middle, r.end});
        r.end = middle;
      }
      if (r.begin <= failing && failing < r.end) throw std::runtime_error("no memory");
      for (size_t i = r.begin; i < r.end; ++i) ++seen[i];
    };
  };
  ShareTasksOnTwoThreads(Range{0, kSize}, halving(kNoFailure));
  EXPECT_GT(tasks.load(), 500);
  for (size_t i = 0; i < kSize; ++i) ASSERT_EQ(seen[i], 1) << i;

  // The first part, one in the middle, the last: taken by either thread.
  for (size_t failing : {size_t{0}, kSize / 2, kSize - 1}) {
    EXPECT_THROW(ShareTasksOnTwoThreads(Range{0, kSize}, halving(failing)), std::runtime_error)
        << failing;
  }
}

// Work set aside runs once, on the helper for many items and at Wait for
// few; a failure on the helper comes out of Wait, and an object that is
// never waited for still waits for its helper.
TEST(WorkAside, RunsOnceAndFailuresComeOutOfWait) {
  for (size_t items : {size_t{10}, kTwoThreadMinimum}) {
    std::atomic<int> runs{0};
    std::thread::id ranOn;
    WorkAside aside;
    aside.Start(items, [&] {
      ranOn = std::this_thread::get_id();
      ++runs;
    });
    aside.Wait();
    aside.Wait();
    EXPECT_EQ(runs, 1) << items;
    if (items < kTwoThreadMinimum) {
      EXPECT_EQ(ranOn, std::this_thread::get_id());
    } else {
      EXPECT_NE(ranOn, std::this_thread::get_id());
    }
  }

  for (size_t items : {size_t{10}, kTwoThreadMinimum}) {
    WorkAside aside;
    aside.Start(items, [] { throw std::runtime_error("no room"); });
    EXPECT_THROW(aside.Wait(), std::runtime_error) << items;
  }

  std::atomic<bool> done{false};
  {
    WorkAside aside;
    aside.Start(kTwoThreadMinimum, [&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      done = true;
    });
  }
  EXPECT_TRUE(done);
}

}  // namespace
}  // namespace grenfel
