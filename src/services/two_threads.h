// Work spread over this thread and a helper: an array split in two halves,
// tasks taken from one shared stack, output made in chunks on both threads
// and used in order, or one piece of work set aside on the helper.
#ifndef GRENFEL_SERVICES_TWO_THREADS_H_
#define GRENFEL_SERVICES_TWO_THREADS_H_

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace grenfel {

// Work on fewer items than this is done on one thread: starting a second
// costs more than it saves. Every two-thread helper goes by this one number.
inline constexpr size_t kTwoThreadMinimum = size_t{1} << 16;

// Where ForBothHalves splits [begin, end): the start of half 1.
inline size_t MiddleOf(size_t begin, size_t end) { return begin + (end - begin) / 2; }

// Calls work(begin, end, half) for half 0, [begin, middle), and half 1,
// [middle, end), middle being MiddleOf(begin, end): on two threads when the
// range is large enough to pay for one and one can be started, else both on
// this thread. An exception thrown on the helper thread is thrown again
// here.
template <typename Work>
void ForBothHalves(size_t begin, size_t end, Work work) {
  const size_t middle = MiddleOf(begin, end);
  std::exception_ptr helperFailure;
  std::thread helper;
  if (end - begin >= kTwoThreadMinimum) {
    try {
      helper = std::thread([&] {
        try {
          work(middle, end, 1);
        } catch (...) {
          helperFailure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      // No thread: the second half is done below.
    }
  }
  if (!helper.joinable()) {
    work(begin, middle, 0);
    work(middle, end, 1);
    return;
  }
  try {
    work(begin, middle, 0);
  } catch (...) {
    helper.join();
    throw;
  }
  helper.join();
  if (helperFailure) std::rethrow_exception(helperFailure);
}

namespace two_threads_detail {

// Counts a task of ShareTasksOnTwoThreads as done when it goes out of scope.
struct TaskDone {
  std::mutex& mutex;
  std::condition_variable& changed;
  int& busy;
  ~TaskDone() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      --busy;
    }
    changed.notify_all();
  }
};

}  // namespace two_threads_detail

// Tasks are parts of one array that do not overlap. This thread and a
// helper take them from one shared stack, last in first out, starting with
// `first`. work(task, share) handles a task; it may call share(part) to hand
// a part of it (which it then must not touch) to whichever thread is free.
//
// Contract:
// - work runs on either thread, at the same time as work on another task;
//   the tasks in flight never overlap, so work needs no lock of its own as
//   long as it touches only its task's part of the array (and reads what
//   nobody writes);
// - the call returns once every task is done and both threads are idle;
// - an exception from work on either thread stops both (the other one ends
//   the task it is in), and is thrown again here; the array is then in some
//   order, with every item still in it;
// - when no helper thread can be started, all the work is done here.
template <typename Task, typename Work>
void ShareTasksOnTwoThreads(Task first, Work work) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Task> shared{first};
  int busy = 0;
  bool failed = false;

  auto share = [&](const Task& part) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      shared.push_back(part);
    }
    changed.notify_one();
  };
  auto run = [&] {
    for (;;) {
      Task task;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return !shared.empty() || busy == 0 || failed; });
        if (shared.empty() || failed) return;
        task = shared.back();
        shared.pop_back();
        ++busy;
      }
      // Done with this task, finished or not (an exception): the other
      // thread must not wait for it.
      two_threads_detail::TaskDone done{mutex, changed, busy};
      work(task, share);
    }
  };
  auto fail = [&] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      failed = true;
    }
    changed.notify_all();
  };

  std::exception_ptr helperFailure;
  std::thread helper;
  try {
    helper = std::thread([&] {
      try {
        run();
      } catch (...) {
        helperFailure = std::current_exception();
        fail();
      }
    });
  } catch (const std::system_error&) {
    // No second thread: this one does all the work.
  }
  try {
    run();
  } catch (...) {
    fail();
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) helper.join();
  if (helperFailure) std::rethrow_exception(helperFailure);
}

namespace two_threads_detail {

// The two chunks the helper thread of FormatChunksInOrder may hold ahead of
// this one, and their handing over.
class ChunkHandoff {
 public:
  // On the helper: makes the odd chunks in turn, each once its slot is free.
  // Stops when told to, or when `format` throws (the failure is kept for
  // this thread).
  template <typename Format>
  void MakeOddChunks(size_t count, Format& format) {
    for (size_t chunk = 1; chunk < count; chunk += 2) {
      Slot& slot = SlotOf(chunk);
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return !slot.ready || stop_; });
        if (stop_) return;
      }
      try {
        slot.bytes.clear();
        format(chunk, &slot.bytes);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = std::current_exception();
        changed_.notify_all();
        return;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      slot.ready = true;
      changed_.notify_all();
    }
  }

  // The bytes of the odd chunk `chunk` once they are made, or null when the
  // helper failed first. They stay the helper's to change after Release.
  const std::string* Await(size_t chunk) {
    Slot& slot = SlotOf(chunk);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return slot.ready || failure_; });
    return slot.ready ? &slot.bytes : nullptr;
  }
  void Release(size_t chunk) {
    std::lock_guard<std::mutex> lock(mutex_);
    SlotOf(chunk).ready = false;
    changed_.notify_all();
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
  }
  // Read once the helper has stopped.
  std::exception_ptr failure() const { return failure_; }

 private:
  struct Slot {
    std::string bytes;
    bool ready = false;
  };
  Slot& SlotOf(size_t chunk) { return slots_[(chunk / 2) % 2]; }

  Slot slots_[2];
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  std::exception_ptr failure_;
};

}  // namespace two_threads_detail

// Output made in `count` chunks: format(index, out) appends chunk `index` to
// the empty string *out; the odd chunks are made on a helper thread, two at
// most ahead. consume(bytes) gets every chunk on this thread, in order.
// Without a helper thread, all is done here. An exception from either side
// is thrown again here once the helper has stopped.
template <typename Format, typename Consume>
void FormatChunksInOrder(size_t count, Format format, Consume consume) {
  std::string own;
  auto makeHere = [&](size_t chunk) {
    own.clear();
    format(chunk, &own);
    consume(std::string_view(own));
  };
  auto alone = [&] {
    for (size_t chunk = 0; chunk < count; ++chunk) makeHere(chunk);
  };
  if (count < 2) return alone();

  two_threads_detail::ChunkHandoff handoff;
  std::thread helper;
  try {
    helper = std::thread([&] { handoff.MakeOddChunks(count, format); });
  } catch (const std::system_error&) {
    return alone();
  }
  auto finish = [&] {
    handoff.Stop();
    helper.join();
  };
  try {
    for (size_t chunk = 0; chunk < count; ++chunk) {
      if (chunk % 2 == 0) {
        makeHere(chunk);
        continue;
      }
      const std::string* made = handoff.Await(chunk);
      if (made == nullptr) break;
      consume(std::string_view(*made));
      handoff.Release(chunk);
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
  if (handoff.failure()) std::rethrow_exception(handoff.failure());
}

// Work done on a helper thread while this one goes on, until Wait. With
// fewer than kTwoThreadMinimum items to work on, or where no helper can be
// started, Wait does the work on this thread instead. An exception from the
// work is thrown again by Wait; one that Wait never reported is dropped
// when the object goes, which waits for the helper.
class WorkAside {
 public:
  WorkAside() = default;
  WorkAside(const WorkAside&) = delete;
  WorkAside& operator=(const WorkAside&) = delete;
  ~WorkAside() {
    if (helper_.joinable()) helper_.join();
  }

  // Call once, before Wait.
  void Start(size_t items, std::function<void()> work) {
    work_ = std::move(work);
    if (items < kTwoThreadMinimum) return;
    try {
      helper_ = std::thread([this] {
        try {
          work_();
        } catch (...) {
          failure_ = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      // No helper: Wait does the work.
    }
  }

  // Returns once the work is done; does nothing after the first call.
  void Wait() {
    if (helper_.joinable()) {
      helper_.join();
      work_ = nullptr;
      if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    } else if (work_) {
      std::function<void()> work = std::move(work_);
      work_ = nullptr;
      work();
    }
  }

 private:
  std::function<void()> work_;
  std::thread helper_;
  std::exception_ptr failure_;
};

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_TWO_THREADS_H_
