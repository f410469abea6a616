// The program: console set-up, one run of the driver, its exit code.
#include <new>

#include "driver/driver.h"
#include "services/console.h"
#include "services/fileio.h"

int main(int argc, char** argv) {
  try {
    grenfel::StartConsole(argc, argv);
    return grenfel::RunDriver(grenfel::CommandTail(), grenfel::RealFileSystem());
  } catch (const std::bad_alloc&) {
    // Going on could leave a list half-written; ending here cannot.
    grenfel::DieOutOfMemory();
  }
}
