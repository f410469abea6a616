// A fresh folder under the system's temporary folder for tests that need real
// files, removed with everything in it. Works alike on POSIX and Windows.
#ifndef GRENFEL_SERVICES_SCRATCH_FOLDER_H_
#define GRENFEL_SERVICES_SCRATCH_FOLDER_H_

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

namespace grenfel {

class ScratchFolder {
 public:
  ScratchFolder() {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path();
    auto serial = std::chrono::steady_clock::now().time_since_epoch().count();
    std::error_code error;
    do {
      path_ = (base / ("scratch-grenfel-" + std::to_string(serial++))).string();
    } while (!fs::create_directory(path_, error) && !error);
  }
  ~ScratchFolder() {
    namespace fs = std::filesystem;
    std::error_code ignored;
    // A read-only file or folder left by a test must not outlive it.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::string operator/(const std::string& name) const {
    return path_ + static_cast<char>(std::filesystem::path::preferred_separator) + name;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_SCRATCH_FOLDER_H_
