// Whole-run test helpers: a release published on the local download service,
// installations to update, and ways to observe a run from the outside (the
// tree on disk, staging directories, posted messages, started programs).
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/progress.h"
#include "manifest/release_manifest.h"
#include "support/test_support.h"
#include "zip_writer.h"

namespace release {

// The stand-in launcher's program with a trailing marker: it still runs, and
// every marker gives other bytes and so another digest.
std::string LauncherBytes(const std::string& marker);

// A runner tree with run.exe, a nested file and an empty directory.
std::vector<ZipEntry> RunnerEntries(const std::string& marker);

struct ReleaseOptions {
  std::string launcherMarker = "\nVERSION 2";
  std::vector<ZipEntry> runnerEntries = RunnerEntries("runner 2");
  // Changes what the manifest claims after the true values were filled in.
  std::function<void(ReleaseManifest&)> edit = nullptr;
};

// One release under ServedDirectory()/<name>/: VORNLauncher.exe,
// VORNRunner.zip and manifest.json.
struct Release {
  std::wstring name;
  std::string launcher;
  std::vector<ZipEntry> runnerEntries;
  std::string runnerZip;
  ReleaseManifest manifest;  // as published
};

Release Publish(const std::wstring& name, const ReleaseOptions& options = {});

std::string ManifestJson(const ReleaseManifest& manifest);

struct CommandOptions {
  std::wstring components = L"launcher,runner";
  bool repair = false;
  bool passPid = false;
  std::uint32_t launcherPid = 0;
  bool secure = true;
  std::wstring manifestFile = L"manifest.json";
};

// "VORNUpdate.exe" --install-dir "<dir>" --manifest-url ... --download-base
// ... --components ... [--repair] [--launcher-pid N]
std::wstring CommandLine(const std::filesystem::path& installDir, const Release& release,
                         const CommandOptions& options = {});

// Byte content of every file and "<dir>" for every directory, by relative
// path with '/' separators.
using Tree = std::map<std::string, std::string>;
inline const std::string DirectoryMark = "<dir>";
Tree Snapshot(const std::filesystem::path& dir);

// Compares byte-exactly; a difference is reported by path and size, never
// with the (binary) content.
::testing::AssertionResult SameTree(const Tree& actual, const Tree& expected);

// The exact bytes the updater writes as the runner's stamp for `manifest`.
std::string StampFor(const ReleaseManifest& manifest);

// What an installation holds: the launcher, and the runner with its stamp.
Tree InstalledTree(const std::string& launcher, const std::vector<ZipEntry>& runner,
                   const std::string& stamp);
Tree ReleaseTree(const Release& release);
void WriteTree(const std::filesystem::path& dir, const Tree& tree);

// An older installation: another launcher, a runner with a file the new one
// lacks, and a stamp of the older version.
Tree PreviousTree();

// An installation that already is the release's.
Tree CurrentTree(const Release& release);

// Names in `dir` starting with `prefix`.
std::vector<std::wstring> NamesStartingWith(const std::filesystem::path& dir,
                                            const std::wstring& prefix);

// Watches the staging directories (VORNUpdate-*) in the temporary directory:
// `Added` are those created since construction; they are removed at the end.
class StagingWatch {
 public:
  StagingWatch();
  ~StagingWatch();
  StagingWatch(const StagingWatch&) = delete;
  StagingWatch& operator=(const StagingWatch&) = delete;
  std::vector<std::wstring> Added() const;

 private:
  std::set<std::wstring> before_;
};

// Everything posted to a sink, in posting order.
struct Outcome {
  std::vector<ProgressUpdate> progress;
  int finishedCount = 0;
  bool finishedLast = false;
  bool success = false;
  bool hasMessage = false;
  std::wstring message;
};
Outcome DrainInOrder(const test::MessageSink& sink);

// Progress titles with consecutive repeats collapsed.
std::vector<std::wstring> Titles(const std::vector<ProgressUpdate>& progress);

// One start recorded by the launcher stand-in.
struct LaunchRecord {
  std::string cwd;
  std::string cmdline;
  std::string token;
};
std::vector<LaunchRecord> ReadLaunchLog(const std::filesystem::path& log);
bool IsToken(const std::string& text);

// The command line the updater starts the installed launcher with.
std::string LauncherCommand(const std::filesystem::path& installDir, const std::string& token);

// Ids of the processes whose program lies in `dir`.
std::vector<DWORD> ProcessesRunningFrom(const std::filesystem::path& dir);

// Waits until every process whose program lies in `dir`, except `spared`,
// has ended; false when one is still running after `timeoutMs`.
bool WaitForProcessesFrom(const std::filesystem::path& dir, DWORD spared, DWORD timeoutMs);

// A program this test started itself; ended and waited for at the latest on
// destruction.
class StartedProcess {
 public:
  StartedProcess(const std::filesystem::path& program, const std::wstring& arguments);
  ~StartedProcess();
  StartedProcess(const StartedProcess&) = delete;
  StartedProcess& operator=(const StartedProcess&) = delete;
  DWORD pid() const { return info_.dwProcessId; }
  bool WaitForExit(DWORD timeoutMs) const;
  void Kill();
  // Closes the handles and waits until the id no longer names a process
  // (Wine keeps an ended process reachable for a moment); false if it still
  // does after `timeoutMs`.
  bool Release(DWORD timeoutMs = 0);

 private:
  PROCESS_INFORMATION info_{};
};

}  // namespace release
