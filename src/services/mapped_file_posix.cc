// Files read by mapping them, and the watch over those mappings. A mapped
// file that another program cuts short would kill the process with SIGBUS
// when its lost pages are touched; instead, a handler removes the companion
// being written, prints one error line naming the file and ends the run with
// exit code 2. Nothing else is touched by then: a list is only written after
// its mapping is released.
#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>

#include "services/fileio_posix.h"

namespace grenfel {

// What the SIGBUS handler knows: the mapped ranges with the line to print
// for each, and the companions to remove. Filled on the main thread before
// the mappings are used; read by the handler with atomic loads only.
struct WatchedMapping {
  std::atomic<const char*> start{nullptr};
  std::atomic<size_t> size{0};
  std::atomic<const std::string*> line{nullptr};
};

namespace {

constexpr int kWatchedSlots = 16;
WatchedMapping watchedMappings[kWatchedSlots];
std::atomic<const std::string*> faultCompanions[kWatchedSlots];

void WriteLine(const std::string& line) {
  const char* at = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t put = ::write(STDOUT_FILENO, at, left);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    at += put;
    left -= static_cast<size_t>(put);
  }
}

void OnMappedFileFault(int, siginfo_t* info, void*) {
  const char* at = static_cast<const char*>(info->si_addr);
  for (WatchedMapping& mapping : watchedMappings) {
    const char* start = mapping.start.load();
    if (start == nullptr || at < start || at >= start + mapping.size.load()) continue;
    for (auto& companion : faultCompanions) {
      if (const std::string* name = companion.load()) ::unlink(name->c_str());
    }
    if (const std::string* line = mapping.line.load()) WriteLine(*line);
    ::_exit(2);
  }
  // Not a file of ours: the default action, when the access is retried.
  ::signal(SIGBUS, SIG_DFL);
}

void InstallFaultHandler() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action = {};
  action.sa_sigaction = OnMappedFileFault;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

}  // namespace

MappingWatch::MappingWatch(const char* start, size_t size, const std::string& name) {
  InstallFaultHandler();
  for (WatchedMapping& mapping : watchedMappings) {
    if (mapping.line.load() != nullptr) continue;
    CutShortLineFor lineFor = CutShortLineMaker();
    // A row of its own, whatever the status line left on the one before.
    line_ = new std::string(lineFor == nullptr ? "" : "\r\n" + lineFor(name) + "\r\n");
    mapping.line.store(line_);
    mapping.size.store(size);
    mapping.start.store(start);
    slot_ = &mapping;
    return;
  }
}

MappingWatch::~MappingWatch() {
  if (slot_ == nullptr) return;
  slot_->start.store(nullptr);
  slot_->line.store(nullptr);
  delete line_;
}

Mapping::~Mapping() { ::munmap(address_, size_); }

std::unique_ptr<Mapping> MapFile(int fd, size_t size, const std::string& name) {
  if (size == 0) return nullptr;
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (address == MAP_FAILED) return nullptr;
  return std::make_unique<Mapping>(address, size, name);
}

void RemoveOnMappedFileFault(const std::string& name, bool remove) {
  for (auto& slot : faultCompanions) {
    const std::string* held = slot.load();
    if (remove && held == nullptr) {
      slot.store(new std::string(name));
      return;
    }
    if (!remove && held != nullptr && *held == name) {
      slot.store(nullptr);
      delete held;
      return;
    }
  }
}

}  // namespace grenfel
