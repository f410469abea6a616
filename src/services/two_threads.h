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

// A value that one of the two threads writes as it goes, on a cache line of
// its own: two such values side by side would pass their line from core to
// core at every write. Work that writes a shared array of results per item
// keeps its own in a local and stores it once at the end instead.
template <typename T>
struct alignas(64) OwnCacheLine {
  T value;
};

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

// The chunks of FormatChunksInOrder in the making: the next one to claim,
// the ones made and not yet used, and the first one whose making failed.
// A chunk is made in slot chunk % kSlots, so it is claimed only once the
// chunk kSlots before it has been used.
class ChunkQueue {
 public:
  static constexpr size_t kSlots = 4;
  explicit ChunkQueue(size_t count) : count_(count) {}

  // On the helper: claims and makes chunks until none is left to claim, a
  // making failed or the queue is stopped.
  template <typename Format>
  void MakeChunks(Format& format) {
    for (;;) {
      size_t chunk;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return CanClaim() || Ended(); });
        if (!CanClaim()) return;
        chunk = next_++;
      }
      Make(chunk, format);
    }
  }

  // On the caller's thread: the bytes of `chunk`, the one after the last
  // released, once they are made; it makes chunks itself while it would
  // wait. Null when the making of `chunk` failed.
  template <typename Format>
  const std::string* Await(size_t chunk, Format& format) {
    Slot& slot = slots_[chunk % kSlots];
    for (;;) {
      size_t claimed;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return slot.ready || FailedAt(chunk) || CanClaim(); });
        if (slot.ready) return &slot.bytes;
        if (FailedAt(chunk)) return nullptr;
        claimed = next_++;
      }
      Make(claimed, format);
    }
  }
  // The caller is done with the bytes of `chunk`.
  void Release(size_t chunk) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[chunk % kSlots].ready = false;
    used_ = chunk + 1;
    changed_.notify_all();
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
  }
  // Read once the helper has stopped: the failure of the first chunk that
  // failed, or null.
  std::exception_ptr failure() const { return failure_; }

 private:
  struct Slot {
    std::string bytes;
    bool ready = false;
  };

  // These three are read under the lock. Chunks are claimed in order, so
  // every chunk before one that failed was claimed and is made (or fails)
  // by the thread that claimed it.
  bool CanClaim() const {
    return !stopped_ && failure_ == nullptr && next_ < count_ && next_ < used_ + kSlots;
  }
  bool Ended() const { return stopped_ || failure_ != nullptr || next_ == count_; }
  bool FailedAt(size_t chunk) const { return failure_ != nullptr && failedChunk_ == chunk; }

  template <typename Format>
  void Make(size_t chunk, Format& format) {
    Slot& slot = slots_[chunk % kSlots];
    try {
      slot.bytes.clear();
      format(chunk, &slot.bytes);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (failure_ == nullptr || chunk < failedChunk_) {
        failure_ = std::current_exception();
        failedChunk_ = chunk;
      }
      changed_.notify_all();
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    slot.ready = true;
    changed_.notify_all();
  }

  const size_t count_;
  Slot slots_[kSlots];
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0, used_ = 0;
  bool stopped_ = false;
  std::exception_ptr failure_;
  size_t failedChunk_ = 0;
};

}  // namespace two_threads_detail

// Output made in `count` chunks: format(index, out) appends chunk `index` to
// the empty string *out, on this thread or a helper, whichever is free, at
// most ChunkQueue::kSlots chunks ahead of the one in use; consume(bytes)
// gets every chunk on this thread, in order. The writing that consume does
// thus takes a share of this thread's time, and the helper makes more
// chunks meanwhile. Without a helper thread, all is done here. An exception
// from format is thrown again here once every chunk before its own has
// been consumed; one from consume, at once; either, after the helper has
// stopped.
template <typename Format, typename Consume>
void FormatChunksInOrder(size_t count, Format format, Consume consume) {
  std::string own;
  auto alone = [&] {
    for (size_t chunk = 0; chunk < count; ++chunk) {
      own.clear();
      format(chunk, &own);
      consume(std::string_view(own));
    }
  };
  if (count < 2) return alone();

  two_threads_detail::ChunkQueue queue(count);
  std::thread helper;
  try {
    helper = std::thread([&] { queue.MakeChunks(format); });
  } catch (const std::system_error&) {
    return alone();
  }
  auto finish = [&] {
    queue.Stop();
    helper.join();
  };
  try {
    for (size_t chunk = 0; chunk < count; ++chunk) {
      const std::string* made = queue.Await(chunk, format);
      if (made == nullptr) break;
      consume(std::string_view(*made));
      queue.Release(chunk);
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
  if (queue.failure()) std::rethrow_exception(queue.failure());
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
