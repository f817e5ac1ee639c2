#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/progress_sink.h"
#include "common/scoped_handle.h"
#include "support/failure_of.h"

namespace test {

// Keeps every progress step of the code under test, in order. The outcome
// is reported by whole runs only, which the program-level suite watches.
class RecordingSink final : public ProgressSink {
 public:
  struct Step {
    std::wstring title;
    std::wstring detail;
    std::uint64_t done;
    std::uint64_t total;
  };
  std::vector<Step> steps;

  void Progress(std::wstring_view title, std::wstring_view detail, std::uint64_t done,
                std::uint64_t total) override {
    steps.push_back({std::wstring(title), std::wstring(detail), done, total});
  }
  void Succeeded() override {}
  void Failed(std::optional<std::string_view>) override {}
};

// A fresh directory under the temporary directory, removed afterwards.
class TempDir {
 public:
  explicit TempDir(const std::wstring& hint = L"t");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& child) const { return path_ / child; }

 private:
  std::filesystem::path path_;
};

// Makes `link` a symbolic link to the directory `target`. Wine makes none
// through the platform call, so it is made from the Linux side, where Wine
// shows it as a directory with the reparse-point attribute, as Windows shows
// a junction. Returns once the link is visible.
void MakeDirectoryLink(const std::filesystem::path& link, const std::filesystem::path& target);

void WriteBytes(const std::filesystem::path& path, const std::string& bytes);
std::string ReadBytes(const std::filesystem::path& path);

// `count` deterministic bytes (byte i is i % 251), as the download service's
// /_gen/<count> serves them.
std::string PatternBytes(std::size_t count);

// Sets an environment variable (inherited by child programs) for a scope.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const std::wstring& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::wstring name_;
  std::optional<std::wstring> previous_;
};

// A stand-in program built for the tests (tar.exe, powershell.exe,
// VORNLauncher.exe).
std::filesystem::path StandinPath(const wchar_t* fileName);

// Starts `program`, a copy of the launcher stand-in, in `workingDir`, and
// returns once it runs there: it holds the directory, which no rename can
// then move, until it is terminated.
ProcessHandles StartHolder(const std::filesystem::path& program,
                           const std::filesystem::path& workingDir);

// Base URLs of the local download service, set up by scripts/test.
std::wstring HttpBase();   // http://127.0.0.1:PORT
std::wstring HttpsBase();  // https://localhost:PORT

}  // namespace test
