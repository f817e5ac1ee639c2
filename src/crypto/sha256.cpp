#include "crypto/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <vector>

#include "common/chunk_size.h"
#include "common/progress_sink.h"
#include "common/scoped_handle.h"
#include "common/update_error.h"

namespace {

struct AlgorithmTraits {
  using Handle = BCRYPT_ALG_HANDLE;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle handle) noexcept { ::BCryptCloseAlgorithmProvider(handle, 0); }
};
using AlgorithmHandle = ScopedHandle<AlgorithmTraits>;

struct HashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle handle) noexcept { ::BCryptDestroyHash(handle); }
};
using HashHandle = ScopedHandle<HashTraits>;

bool Failed(NTSTATUS status) { return status < 0; }

DWORD ReadDwordProperty(BCRYPT_ALG_HANDLE algorithm, const wchar_t* name) {
  DWORD value = 0;
  ULONG written = 0;
  ::BCryptGetProperty(algorithm, name, reinterpret_cast<PUCHAR>(&value), sizeof(value), &written,
                      0);
  return value;
}

std::wstring HexText(const std::vector<UCHAR>& bytes) {
  static constexpr wchar_t Digits[] = L"0123456789abcdef";
  std::wstring text;
  text.reserve(bytes.size() * 2);
  for (const UCHAR byte : bytes) {
    text.push_back(Digits[byte >> 4]);
    text.push_back(Digits[byte & 0x0F]);
  }
  return text;
}

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; }

}  // namespace

std::wstring FileSha256Hex(const std::filesystem::path& path, std::wstring_view title,
                          ProgressSink& progress) {
  AlgorithmHandle algorithm;
  if (Failed(::BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr,
                                           0))) {
    throw UpdateError("SHA-256 is unavailable.");
  }

  std::vector<UCHAR> hashObject(ReadDwordProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH));
  std::vector<UCHAR> digest(ReadDwordProperty(algorithm.get(), BCRYPT_HASH_LENGTH));

  HashHandle hash;
  if (Failed(::BCryptCreateHash(algorithm.get(), hash.put(), hashObject.data(),
                                static_cast<ULONG>(hashObject.size()), nullptr, 0, 0))) {
    throw UpdateError("Could not initialize SHA-256.");
  }

  FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) {
    throw UpdateError("Could not read a downloaded file.");
  }

  LARGE_INTEGER size{};
  const std::uint64_t total =
      ::GetFileSizeEx(file.get(), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
  const std::wstring detail = path.filename().native();

  std::vector<UCHAR> buffer(ChunkSize);
  std::uint64_t hashed = 0;
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                    nullptr) ||
        read == 0) {
      break;
    }
    if (Failed(::BCryptHashData(hash.get(), buffer.data(), read, 0))) {
      throw UpdateError("SHA-256 verification failed.");
    }
    hashed += read;
    progress.Progress(title, detail, hashed, total);
  }

  file.reset();
  ::BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
  hash.reset();
  return HexText(digest);
}

bool DigestTextsEqual(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) {
      return false;
    }
  }
  return true;
}

void VerifyFileSha256(const std::filesystem::path& path, std::wstring_view expected,
                      std::wstring_view title, ProgressSink& progress) {
  if (!DigestTextsEqual(FileSha256Hex(path, title, progress), expected)) {
    throw UpdateError("The downloaded file failed SHA-256 verification. Nothing was installed.");
  }
}
