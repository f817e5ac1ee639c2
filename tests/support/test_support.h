#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/progress.h"

namespace test {

// A message-only window that stands in for the progress window: while it
// lives it is `mainWindow`, and `Drain` takes back the posted payloads as the
// real window would.
class MessageSink {
 public:
  MessageSink();
  ~MessageSink();
  MessageSink(const MessageSink&) = delete;
  MessageSink& operator=(const MessageSink&) = delete;

  HWND window() const { return window_; }

  // Takes every queued message; returns the progress updates in order and
  // appends outcomes to `finished`.
  std::vector<ProgressUpdate> Drain();

  struct Finished {
    bool success;
    std::unique_ptr<std::wstring> message;
  };
  std::vector<Finished> finished;

 private:
  HWND window_ = nullptr;
  HWND previousMainWindow_ = nullptr;
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

// The message of whatever `action` throws, or "no failure".
std::string FailureOf(const std::function<void()>& action);

// Environment of the test run (set by scripts/test); empty when absent.
std::wstring EnvironmentValue(const wchar_t* name);

// Sets an environment variable (inherited by child programs) for a scope.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const std::wstring& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::wstring name_;
  std::wstring previous_;
  bool hadPrevious_;
};

// A stand-in program built for the tests (tar.exe, powershell.exe,
// VORNLauncher.exe).
std::filesystem::path StandinPath(const wchar_t* fileName);

// Base URLs of the local download service, and its served directory.
std::wstring HttpBase();   // http://127.0.0.1:PORT
std::wstring HttpsBase();  // https://localhost:PORT
std::filesystem::path ServedDirectory();

// Fetches a URL of the download service with WinHTTP, outside the code under
// test (for reading its request log).
std::string FetchText(const std::wstring& url);

}  // namespace test
