#include "process/running_processes.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

// The launcher that started the updater is older than it. A younger process
// holding the id got it after the launcher ended: there is nothing to wait for.
TEST(RunningProcesses, KnownByTheirProgramAndAge) {
  const ProcessHandles younger = test::StartHolder(test::StandinPath(L"VORNLauncher.exe"), L"C:\\");
  ASSERT_TRUE(younger.process);
  EXPECT_FALSE(OpenProcessToWaitFor(::GetProcessId(younger.process.get())));
  // Found by its program's path, exactly: a launcher is told from others so.
  EXPECT_FALSE(OpenProcessesRunning([](const std::wstring& image) {
                 return image == test::StandinPath(L"VORNLauncher.exe").native();
               }).empty());
  EXPECT_FALSE(OpenProcessToWaitFor(0));
  // Wine's services were started with the prefix, before this test.
  const std::vector<KernelHandle> services = OpenProcessesRunning(
      [](const std::wstring& image) { return image.ends_with(L"\\services.exe"); });
  EXPECT_TRUE(!services.empty() && OpenProcessToWaitFor(::GetProcessId(services.front().get())));
  ::TerminateProcess(younger.process.get(), 1);
  ::WaitForSingleObject(younger.process.get(), 20000);
}

}  // namespace
