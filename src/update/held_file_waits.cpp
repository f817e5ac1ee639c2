#include "update/held_file_waits.h"

#include "fs/file_ops.h"

void HeldFileWaits::MoveWhileWhole(const std::filesystem::path& from,
                                   const std::filesystem::path& to, std::wstring_view title,
                                   std::wstring_view detail) {
  MovePathPatiently(from, to, wholeAllowance_, [&] {
    if (progress_ != nullptr && !title.empty()) {
      progress_->Progress(title, detail, 1, 1);
    }
  });
}

void HeldFileWaits::MoveWhileMissing(const std::filesystem::path& from,
                                     const std::filesystem::path& to) {
  WaitAllowance patience(missingPatience_);
  MovePathPatiently(from, to, patience);
}
