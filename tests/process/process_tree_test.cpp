#include "process/process_tree.h"

#include <gtest/gtest.h>

#include <utility>

#include "support/test_support.h"

namespace {

KernelHandle Duplicate(const KernelHandle& handle) {
  HANDLE copy = nullptr;
  ::DuplicateHandle(::GetCurrentProcess(), handle.get(), ::GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
  return KernelHandle(copy);
}

// Closing the job is what the end of the updater itself does to it: a program
// still suspended then ends with it, one that runs lives on.
TEST(ProcessTree, ClosingTheJobEndsOnlyAProgramStillSuspended) {
  const std::wstring sleeper =
      L"\"" + test::StandinPath(L"VORNLauncher.exe").native() + L"\" --standin-sleep 600000";
  for (const bool resumed : {false, true}) {
    SCOPED_TRACE(resumed ? "resumed" : "suspended");
    ProcessTree tree = StartProcessTreeSuspended(sleeper, nullptr);
    ASSERT_TRUE(tree.job);
    if (resumed) {
      tree = ResumeProcessTree(std::move(tree));
    }
    const KernelHandle program = Duplicate(tree.handles.process);
    tree = {};
    EXPECT_EQ(::WaitForSingleObject(program.get(), resumed ? 500 : 10000),
              resumed ? WAIT_TIMEOUT : WAIT_OBJECT_0);
    ::TerminateProcess(program.get(), 1);
    ::WaitForSingleObject(program.get(), 10000);
  }
}

}  // namespace
