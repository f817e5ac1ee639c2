#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "common/scoped_handle.h"

// Who signed a program: the subject of its signing certificate, as encoded
// in the certificate.
class Signer {
 public:
  explicit Signer(std::vector<BYTE> subject) : subject_(std::move(subject)) {}

  // Compared as the platform compares certificate names, not as text.
  bool IsSameAs(const Signer& other) const;

 private:
  std::vector<BYTE> subject_;
};

// Opens `path` for reading, shared with readers only: while the handle is
// open nobody can write, delete or rename the file, so what is checked
// through it is what a later reader of the path gets. A link is opened
// itself, not followed (it then carries no signature). Empty when the file
// cannot be opened so.
FileHandle OpenUnchanging(const std::filesystem::path& path);

// The signer of the file open as `file` (named `path`) when the platform
// verifies its Authenticode signature, without user interface and without
// a revocation lookup over the network (a certificate the machine already
// distrusts still fails). None when the file is unsigned, changed after
// signing, or its signature is not trusted. A signature whose certificate
// has expired is valid when it was timestamped, as Windows decides.
std::optional<Signer> VerifiedSigner(const FileHandle& file, const std::filesystem::path& path);

// The same for the file at `path` as it is now, opened with every kind of
// sharing: a program that holds it open, for writing even, does not make a
// signed file look unsigned.
std::optional<Signer> VerifiedSigner(const std::filesystem::path& path);
