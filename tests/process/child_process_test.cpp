#include "process/child_process.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

const std::wstring Cmd = L"C:\\windows\\system32\\cmd.exe";

bool ProcessRunning(const std::wstring& exeName) {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  bool found = false;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more && !found;
       more = ::Process32NextW(snapshot, &entry)) {
    found = _wcsicmp(entry.szExeFile, exeName.c_str()) == 0;
  }
  ::CloseHandle(snapshot);
  return found;
}

TEST(ChildProcess, QuoteForCommandLineAddsQuotesOnly) {
  EXPECT_EQ(QuoteForCommandLine(L"C:\\a b\\c.exe"), L"\"C:\\a b\\c.exe\"");
  EXPECT_EQ(QuoteForCommandLine(L"C:\\dir\\"), L"\"C:\\dir\\\"");
  EXPECT_EQ(QuoteForCommandLine(L""), L"\"\"");
}

TEST(ChildProcess, ResultFollowsTheExitCode) {
  EXPECT_TRUE(RunProcessAndWait(Cmd, L"/c exit 0"));
  EXPECT_FALSE(RunProcessAndWait(Cmd, L"/c exit 2"));
  EXPECT_FALSE(RunProcessAndWait(Cmd, L"/c exit 1"));
  EXPECT_FALSE(RunProcessAndWait(L"C:\\no\\such\\program.exe", L""));
  EXPECT_FALSE(RunProcessAndWait(L"", L""));
}

TEST(ChildProcess, InheritsEnvironmentAndCurrentDirectory) {
  test::TempDir dir(L"child dir");
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  test::ScopedEnvironment variable(L"VORN_CHILD_TEST", L"inherited value");
  // Arguments after the single space reach the child unchanged.
  const bool ok = RunProcessAndWait(
      Cmd, L"/c \"echo %VORN_CHILD_TEST%> \"out file.txt\" & cd >> \"out file.txt\"\"");
  fs::current_path(previous);
  ASSERT_TRUE(ok);
  const std::string out = test::ReadBytes(dir / L"out file.txt");
  EXPECT_NE(out.find("inherited value"), std::string::npos) << out;
  EXPECT_NE(out.find("child dir"), std::string::npos) << out;
}

TEST(ChildProcess, ProgramPathWithSpacesIsOneArgument) {
  test::TempDir dir(L"with space");
  fs::copy_file(Cmd, dir / L"my cmd.exe");
  EXPECT_FALSE(RunProcessAndWait((dir / L"my cmd.exe").native(), L"/c exit 3"));
  EXPECT_TRUE(RunProcessAndWait((dir / L"my cmd.exe").native(), L"/c exit 0"));
}

TEST(ChildProcess, OverrunningChildIsTerminated) {
  test::TempDir dir;
  const std::wstring name = L"sleeper-" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
  fs::copy_file(test::StandinPath(L"VORNLauncher.exe"), dir / name);
  const ULONGLONG start = ::GetTickCount64();
  EXPECT_FALSE(RunProcessAndWait((dir / name).native(), L"--standin-sleep 60000", 300));
  EXPECT_LT(::GetTickCount64() - start, 30000u);
  for (int i = 0; i < 100 && ProcessRunning(name); ++i) {
    ::Sleep(50);
  }
  EXPECT_FALSE(ProcessRunning(name));
}

}  // namespace
