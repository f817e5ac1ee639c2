#include "update/release_fixture.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>
#include <sstream>
#include <vector>

#include "crypto/sha256.h"
#include "fs/installed_state.h"
#include "fs/paths.h"

namespace fs = std::filesystem;

namespace release {

namespace {

std::string Narrow(const std::wstring& ascii) {
  std::string text;
  for (const wchar_t c : ascii) {
    text.push_back(static_cast<char>(c));
  }
  return text;
}

std::wstring Sha256Of(const fs::path& file) {
  // Hashing reports progress; a sink of its own keeps that out of the test's.
  const test::MessageSink quiet;
  return FileSha256Hex(file, L"test");
}

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  return text;
}

std::wstring ProgramOf(DWORD pid) {
  const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) {
    return L"";
  }
  std::wstring image(32768, L'\0');
  DWORD size = static_cast<DWORD>(image.size());
  const BOOL known = ::QueryFullProcessImageNameW(process, 0, image.data(), &size);
  ::CloseHandle(process);
  image.resize(known ? size : 0);
  return image;
}

}  // namespace

std::string LauncherBytes(const std::string& marker) {
  return test::ReadBytes(test::StandinPath(L"VORNLauncher.exe")) + marker;
}

std::vector<ZipEntry> RunnerEntries(const std::string& marker) {
  return {{"run.exe", "run.exe of " + marker},
          {"lib/", ""},
          {"lib/core.dll", std::string(200000, 'c') + marker},
          {"empty/", ""}};
}

std::string ManifestJson(const ReleaseManifest& manifest) {
  std::ostringstream json;
  json << "{\n"
       << "  \"protocol\": " << manifest.protocol << ",\n"
       << "  \"launcherVersion\": \"" << Narrow(manifest.launcherVersion) << "\",\n"
       << "  \"runnerVersion\": \"" << Narrow(manifest.runnerVersion) << "\",\n"
       << "  \"launcherSha256\": \"" << Narrow(manifest.launcherSha256) << "\",\n"
       << "  \"runnerSha256\": \"" << Narrow(manifest.runnerSha256) << "\",\n"
       << "  \"launcherSize\": " << manifest.launcherSize << ",\n"
       << "  \"runnerSize\": " << manifest.runnerSize << "\n"
       << "}\n";
  return json.str();
}

Release Publish(const std::wstring& name, const ReleaseOptions& options) {
  Release published;
  published.name = name;
  published.launcher = LauncherBytes(options.launcherMarker);
  published.runnerEntries = options.runnerEntries;

  const fs::path dir = test::ServedDirectory() / name;
  fs::remove_all(dir);
  test::WriteBytes(dir / LauncherExeName, published.launcher);
  WriteZip(dir / RunnerArchiveName, published.runnerEntries, true);
  published.runnerZip = test::ReadBytes(dir / RunnerArchiveName);

  ReleaseManifest& manifest = published.manifest;
  manifest.protocol = 1;
  manifest.launcherVersion = L"2.0.0";
  manifest.runnerVersion = L"2.0.0";
  manifest.launcherSha256 = Sha256Of(dir / LauncherExeName);
  manifest.runnerSha256 = Sha256Of(dir / RunnerArchiveName);
  manifest.launcherSize = published.launcher.size();
  manifest.runnerSize = published.runnerZip.size();
  if (options.edit) {
    options.edit(manifest);
  }
  test::WriteBytes(dir / L"manifest.json", ManifestJson(manifest));
  return published;
}

std::wstring CommandLine(const fs::path& installDir, const Release& release,
                         const CommandOptions& options) {
  const std::wstring base =
      (options.secure ? test::HttpsBase() : test::HttpBase()) + L"/" + release.name;
  std::wstring line = L"\"VORNUpdate.exe\" --install-dir \"" + installDir.native() +
                      L"\" --manifest-url " + base + L"/" + options.manifestFile +
                      L" --download-base " + base + L" --components " + options.components;
  if (options.repair) {
    line += L" --repair";
  }
  if (options.passPid) {
    line += L" --launcher-pid " + std::to_wstring(options.launcherPid);
  }
  return line;
}

Tree Snapshot(const fs::path& dir) {
  Tree tree;
  if (!fs::exists(dir)) {
    return tree;
  }
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
    const std::string relative = fs::relative(entry.path(), dir).generic_string();
    tree[relative] = entry.is_directory() ? DirectoryMark : test::ReadBytes(entry.path());
  }
  return tree;
}

::testing::AssertionResult SameTree(const Tree& actual, const Tree& expected) {
  const auto describe = [](const std::string& content) {
    return content == DirectoryMark ? std::string("directory")
                                    : std::to_string(content.size()) + " bytes";
  };
  std::string differences;
  for (const auto& [path, content] : expected) {
    const auto found = actual.find(path);
    if (found == actual.end()) {
      differences += "\n  missing: " + path;
    } else if (found->second != content) {
      differences += "\n  differs: " + path + " (" + describe(found->second) + ", expected " +
                     describe(content) + ")";
    }
  }
  for (const auto& [path, content] : actual) {
    if (!expected.contains(path)) {
      differences += "\n  unexpected: " + path + " (" + describe(content) + ")";
    }
  }
  if (differences.empty()) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "trees differ:" << differences;
}

std::string StampFor(const ReleaseManifest& manifest) {
  const test::TempDir dir(L"stamp");
  WriteRunnerStamp(dir.path(), manifest);
  return test::ReadBytes(dir / RunnerStampFileName());
}

Tree InstalledTree(const std::string& launcher, const std::vector<ZipEntry>& runner,
                   const std::string& stamp) {
  const std::string runnerDir = RunnerDirName().string();
  Tree tree{{LauncherFileName().string(), launcher},
            {runnerDir, DirectoryMark},
            {runnerDir + "/" + RunnerStampFileName().string(), stamp}};
  for (const ZipEntry& entry : runner) {
    if (entry.name.ends_with('/')) {
      tree[runnerDir + "/" + entry.name.substr(0, entry.name.size() - 1)] = DirectoryMark;
    } else {
      tree[runnerDir + "/" + entry.name] = entry.data;
    }
  }
  return tree;
}

Tree ReleaseTree(const Release& release) {
  return InstalledTree(release.launcher, release.runnerEntries, StampFor(release.manifest));
}

Tree PreviousTree() {
  ReleaseManifest previous;
  previous.protocol = 1;
  previous.launcherVersion = L"1.0.0";
  previous.runnerVersion = L"1.0.0";
  previous.runnerSha256 = std::wstring(64, L'1');
  std::vector<ZipEntry> runner = RunnerEntries("runner 1");
  runner.push_back({"lib/only-in-1.dll", "old"});
  return InstalledTree(LauncherBytes("\nVERSION 1"), runner, StampFor(previous));
}

Tree CurrentTree(const Release& release) {
  Tree tree = ReleaseTree(release);
  // Not part of the release: shows whether the runner was replaced.
  tree[RunnerDirName().string() + "/user-setting.txt"] = "kept unless reinstalled";
  return tree;
}

void WriteTree(const fs::path& dir, const Tree& tree) {
  fs::create_directories(dir);
  for (const auto& [relative, content] : tree) {
    if (content == DirectoryMark) {
      fs::create_directories(dir / relative);
    } else {
      test::WriteBytes(dir / relative, content);
    }
  }
}

std::vector<std::wstring> NamesStartingWith(const fs::path& dir, const std::wstring& prefix) {
  std::vector<std::wstring> names;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    const std::wstring name = it->path().filename().native();
    if (name.starts_with(prefix)) {
      names.push_back(name);
    }
  }
  return names;
}

StagingWatch::StagingWatch() {
  for (const std::wstring& name : NamesStartingWith(TemporaryDirectory(), StagingPrefix)) {
    before_.insert(name);
  }
}

StagingWatch::~StagingWatch() {
  for (const std::wstring& name : Added()) {
    std::error_code ignored;
    fs::remove_all(TemporaryDirectory() / name, ignored);
  }
}

std::vector<std::wstring> StagingWatch::Added() const {
  std::vector<std::wstring> added;
  for (const std::wstring& name : NamesStartingWith(TemporaryDirectory(), StagingPrefix)) {
    if (!before_.contains(name)) {
      added.push_back(name);
    }
  }
  return added;
}

Outcome DrainInOrder(const test::MessageSink& sink) {
  Outcome outcome;
  MSG message;
  while (::PeekMessageW(&message, sink.window(), WM_UPDATE_PROGRESS, WM_UPDATE_FINISHED,
                        PM_REMOVE)) {
    if (message.message == WM_UPDATE_PROGRESS) {
      outcome.progress.push_back(*TakeProgressUpdate(message.lParam));
      outcome.finishedLast = false;
      continue;
    }
    ++outcome.finishedCount;
    outcome.finishedLast = true;
    outcome.success = message.wParam == 1;
    const auto text = TakeFailureMessage(message.lParam);
    outcome.hasMessage = text != nullptr;
    outcome.message = text ? *text : L"";
  }
  return outcome;
}

std::vector<std::wstring> Titles(const std::vector<ProgressUpdate>& progress) {
  std::vector<std::wstring> titles;
  for (const ProgressUpdate& update : progress) {
    if (titles.empty() || titles.back() != update.title) {
      titles.push_back(update.title);
    }
  }
  return titles;
}

std::vector<LaunchRecord> ReadLaunchLog(const fs::path& log) {
  std::vector<LaunchRecord> records;
  std::istringstream lines(test::ReadBytes(log));
  for (std::string line; std::getline(lines, line);) {
    LaunchRecord record;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) {
      if (field.starts_with("cwd=")) {
        record.cwd = field.substr(4);
      } else if (field.starts_with("cmdline=")) {
        record.cmdline = field.substr(8);
      } else if (field.starts_with("token=")) {
        record.token = field.substr(6);
      }
    }
    records.push_back(record);
  }
  return records;
}

bool IsToken(const std::string& text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

std::string LauncherCommand(const fs::path& installDir, const std::string& token) {
  std::string command = "\"" + (installDir / LauncherFileName()).string() + "\"";
  if (!token.empty()) {
    command += " --post-update-token " + token;
  }
  return command;
}

std::vector<DWORD> ProcessesRunningFrom(const fs::path& dir) {
  const std::wstring prefix = Lower(dir.lexically_normal().native()) + L"\\";
  std::vector<DWORD> pids;
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return pids;
  }
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry)) {
    const std::wstring program = ProgramOf(entry.th32ProcessID);
    if (!program.empty() && Lower(fs::path(program).lexically_normal().native()).starts_with(prefix)) {
      pids.push_back(entry.th32ProcessID);
    }
  }
  ::CloseHandle(snapshot);
  return pids;
}

bool WaitForProcessesFrom(const fs::path& dir, DWORD spared, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    bool running = false;
    for (const DWORD pid : ProcessesRunningFrom(dir)) {
      if (pid == spared) {
        continue;
      }
      const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
      if (process == nullptr) {
        continue;
      }
      const ULONGLONG now = ::GetTickCount64();
      const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
      running = running || ::WaitForSingleObject(process, left) != WAIT_OBJECT_0;
      ::CloseHandle(process);
    }
    if (!running || ::GetTickCount64() >= deadline) {
      return !running;
    }
  }
}

StartedProcess::StartedProcess(const fs::path& program, const std::wstring& arguments) {
  std::wstring commandLine = L"\"" + program.native() + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info_)) {
    info_ = PROCESS_INFORMATION{};
  }
}

StartedProcess::~StartedProcess() {
  Kill();
  Release();
}

bool StartedProcess::WaitForExit(DWORD timeoutMs) const {
  return info_.hProcess != nullptr &&
         ::WaitForSingleObject(info_.hProcess, timeoutMs) == WAIT_OBJECT_0;
}

void StartedProcess::Kill() {
  if (info_.hProcess != nullptr && !WaitForExit(0)) {
    ::TerminateProcess(info_.hProcess, 1);
    WaitForExit(10000);
  }
}

bool StartedProcess::Release(DWORD timeoutMs) {
  if (info_.hThread != nullptr) {
    ::CloseHandle(info_.hThread);
  }
  if (info_.hProcess != nullptr) {
    ::CloseHandle(info_.hProcess);
  }
  info_.hThread = nullptr;
  info_.hProcess = nullptr;
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, info_.dwProcessId);
    if (process == nullptr) {
      return true;
    }
    ::CloseHandle(process);
    if (::GetTickCount64() >= deadline) {
      return false;
    }
    ::Sleep(50);
  }
}

}  // namespace release
