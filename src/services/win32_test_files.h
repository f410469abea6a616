// Small helpers for the Windows-only tests that work on real files: write a
// file whole, and ask whether a name is there, straight through the system
// rather than through the layer under test.
#ifndef GRENFEL_SERVICES_WIN32_TEST_FILES_H_
#define GRENFEL_SERVICES_WIN32_TEST_FILES_H_

#include <windows.h>

#include <string>

#include "gtest/gtest.h"

namespace grenfel {

inline void Put(const std::string& path, const std::string& bytes) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  DWORD written = 0;
  ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  ASSERT_EQ(written, bytes.size());
}

inline bool Present(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace grenfel

#endif  // GRENFEL_SERVICES_WIN32_TEST_FILES_H_
