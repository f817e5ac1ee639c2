#include "net/download.h"

#include <windows.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "common/chunk_size.h"
#include "common/scoped_handle.h"
#include "common/update_error.h"
#include "fs/file_ops.h"
#include "net/http_get.h"

namespace {

constexpr const char* SizeMismatchMessage =
    "The downloaded file size does not match the release manifest.";

// Owns a file being downloaded. Unless the download is kept, the file is
// closed and deleted, so a failure never leaves a partial file behind.
class PartialFile {
 public:
  PartialFile(FileHandle file, std::filesystem::path target)
      : file_(std::move(file)), target_(std::move(target)) {}
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  ~PartialFile() {
    if (!kept_) {
      file_.reset();
      RemoveFileQuietly(target_);
    }
  }

  HANDLE handle() const noexcept { return file_.get(); }
  void Close() noexcept { file_.reset(); }
  void Keep() noexcept { kept_ = true; }

 private:
  FileHandle file_;
  std::filesystem::path target_;
  bool kept_ = false;
};

// Reads the next piece of the body into `buffer`. A failed read counts as the
// end of the body, like a read of 0 bytes: a body cut short is caught by the
// caller's size checks.
DWORD ReadBodyPiece(const WinHttpHandle& request, char* buffer, DWORD size) {
  DWORD read = 0;
  return ::WinHttpReadData(request.get(), buffer, size, &read) ? read : 0;
}

}  // namespace

std::string FetchManifestText(const std::wstring& url) {
  WinHttpHandle session;
  WinHttpHandle connection;
  const WinHttpHandle request = OpenHttpGet(url, session, connection);

  std::string text;
  std::array<char, ManifestReadChunk> buffer{};
  while (const DWORD read =
             ReadBodyPiece(request, buffer.data(), static_cast<DWORD>(buffer.size()))) {
    text.append(buffer.data(), read);
    if (text.size() > ManifestSizeLimit) {
      throw UpdateError("Update manifest is too large.");
    }
  }
  if (text.empty()) {
    throw UpdateError("Update manifest is empty.");
  }
  return text;
}

void DownloadToFile(const std::wstring& url, const std::filesystem::path& target,
                    std::uint64_t expectedSize, std::wstring_view title, ProgressSink& progress) {
  WinHttpHandle session;
  WinHttpHandle connection;
  const WinHttpHandle request = OpenHttpGet(url, session, connection);

  EnsureDirectory(target.parent_path());
  FileHandle created(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!created) {
    throw UpdateError("Could not create a downloaded file.");
  }
  PartialFile file(std::move(created), target);

  std::vector<char> buffer(ChunkSize);
  std::uint64_t received = 0;
  while (const DWORD read =
             ReadBodyPiece(request, buffer.data(), static_cast<DWORD>(buffer.size()))) {
    DWORD written = 0;
    if (!::WriteFile(file.handle(), buffer.data(), read, &written, nullptr) || written != read) {
      throw UpdateError("Could not write a downloaded file.");
    }
    received += read;
    // A server that sends more than announced is not trusted to ever stop.
    if (expectedSize != 0 && received > expectedSize) {
      throw UpdateError(SizeMismatchMessage);
    }
    progress.Progress(title, std::to_wstring(received / 1024) + L" KB", received,
                      expectedSize != 0 ? expectedSize : received);
  }

  file.Close();
  if (expectedSize != 0 && received != expectedSize) {
    throw UpdateError(SizeMismatchMessage);
  }
  file.Keep();
}
