#include "cli/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <vector>

#include "cli/option_scanner.h"
#include "common/update_error.h"

namespace {

struct LocalFreeDeleter {
  void operator()(LPWSTR* block) const noexcept { ::LocalFree(block); }
};

}  // namespace

UpdateOptions ParseCommandLineText(const std::wstring& commandLine) {
  int count = 0;
  std::unique_ptr<LPWSTR, LocalFreeDeleter> argv(
      ::CommandLineToArgvW(commandLine.c_str(), &count));
  if (!argv) {
    throw UpdateError("Could not parse command line.");
  }
  std::vector<std::wstring> arguments(argv.get(), argv.get() + count);
  argv.reset();
  return ScanOptions(arguments);
}
