// The program: console set-up, one run of the driver, its exit code.
#include <new>
#include <stdexcept>

#include "driver/driver.h"
#include "services/console.h"
#include "services/fileio.h"

int main(int argc, char** argv) {
  try {
    grenfel::StartConsole(argc, argv);
    int exitCode = grenfel::RunDriver(grenfel::CommandTail(), grenfel::RealFileSystem());
    grenfel::EndStatusLine();
    return exitCode;
  } catch (const std::bad_alloc&) {
    // Going on could leave a list half-written; ending here cannot.
    grenfel::DieOutOfMemory();
  } catch (const std::length_error&) {
    // An array or string asked to pass what the address space can index
    // (a large list in the 32-bit program): memory ran out as surely.
    grenfel::DieOutOfMemory();
  }
}
