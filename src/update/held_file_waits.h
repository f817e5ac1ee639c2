#pragma once

#include <windows.h>

#include <filesystem>
#include <string_view>

#include "common/deadline.h"
#include "common/progress_sink.h"

// The titles of the steps that move each new component into place.
inline constexpr const wchar_t* InstallingLauncher = L"Installing launcher";
inline constexpr const wchar_t* InstallingRunner = L"Installing runner";

// What the window says while a rename waits for a held file.
inline constexpr const wchar_t* NewFilesHeld =
    L"Waiting for security software to release the new files...";
inline constexpr const wchar_t* InstalledFilesHeld =
    L"Waiting for other programs to release the installed files...";

// The renames of one install or one restore, each waiting while something
// holds a file in what it moves. Renames after which every component is still
// whole in its place share one long limit, which only their waits use up,
// never the copies between them; a rename that leaves a component missing
// while it waits gets only a short one.
class HeldFileWaits {
 public:
  // `progress` (null: none) is told what a long wait waits for.
  HeldFileWaits(DWORD wholeLimit, DWORD missingPatience, ProgressSink* progress)
      : wholeAllowance_(wholeLimit), missingPatience_(missingPatience), progress_(progress) {}

  // A rename during which every component stays whole in its place. May wait
  // for what the earlier waits left of the long limit; the window shows
  // `title` and `detail` once the wait begins. Throws the standard file-system error for `rename`.
  void MoveWhileWhole(const std::filesystem::path& from, const std::filesystem::path& to,
                      std::wstring_view title, std::wstring_view detail);

  // The same, waiting quietly.
  void MoveWhileWhole(const std::filesystem::path& from, const std::filesystem::path& to) {
    MoveWhileWhole(from, to, {}, {});
  }

  // A rename while which a component is missing from its place.
  void MoveWhileMissing(const std::filesystem::path& from, const std::filesystem::path& to);

 private:
  WaitAllowance wholeAllowance_;
  DWORD missingPatience_;
  ProgressSink* progress_;
};
