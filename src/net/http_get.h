#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

#include "common/scoped_handle.h"

// The parts of a download URL that WinHTTP needs, taken exactly as written:
// nothing is decoded or escaped.
struct ParsedUrl {
  std::wstring host;
  std::wstring path;  // URL path plus query and fragment
  std::uint16_t port;
  bool secure;
};

// Throws `UpdateError` "Invalid download URL." for anything the platform does
// not accept as an http or https URL.
ParsedUrl ParseDownloadUrl(const std::wstring& url);

struct WinHttpHandleTraits {
  using Handle = HINTERNET;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle handle) noexcept { ::WinHttpCloseHandle(handle); }
};
using WinHttpHandle = ScopedHandle<WinHttpHandleTraits>;

// The manifest carries the digests of everything downloaded after it, so a
// redirect from https to plain http would let anyone on the network
// substitute both; every other redirect stays allowed. Throws `UpdateError`
// "The update server could not be reached." when the platform does not take
// the setting: the request must not go out with its default policy.
void RefuseRedirectsToHttp(HINTERNET request);

// Sends one GET for `url` and waits for the response headers. Redirects are
// followed except from https to http. Returns the request, ready for reading
// the body, only for a 2xx status; `session` and `connection` receive the
// handles the request depends on and must outlive it. Throws `UpdateError`.
WinHttpHandle OpenHttpGet(const std::wstring& url, WinHttpHandle& session,
                          WinHttpHandle& connection);
