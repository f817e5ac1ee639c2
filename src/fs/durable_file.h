#pragma once

#include <cstddef>
#include <filesystem>

#include "common/scoped_handle.h"

// A file written into the installation. Its content must be on the disk
// before the rename that makes it visible: the file system journals names and
// renames, not contents, so after a power cut a renamed file could otherwise
// come back full of zeros. It is flushed through the handle that wrote it; a
// second open could be refused while security software scans the new file.
class DurableFile {
 public:
  // Creates `path`, or truncates the file there, for writing.
  explicit DurableFile(const std::filesystem::path& path);

  [[nodiscard]] bool IsOpen() const { return file_.valid(); }

  // False when not all of `data` could be written (a full disk, say).
  [[nodiscard]] bool Write(const char* data, std::size_t size);

  // Hands the file's data to the disk without waiting for the disk to empty
  // its own cache, which is much cheaper for many small files. Where the
  // platform cannot do that (before Windows 8) it does `FlushToDisk`.
  [[nodiscard]] bool FlushToDevice();

  // Hands the file's data to the disk and has the disk write out its cache,
  // so that whatever was handed to the same disk before is durable too.
  [[nodiscard]] bool FlushToDisk();

 private:
  FileHandle file_;
};
