#include "net/http_get.h"

#include "common/update_error.h"

namespace {

constexpr const wchar_t* UserAgent = L"VORNUpdate/2.0";

// Name resolution and connecting either work quickly or not at all; sending
// a GET is small. Waiting for a response stays generous because a busy
// server may take long before the first byte.
constexpr int ResolveTimeoutMs = 10000;
constexpr int ConnectTimeoutMs = 10000;
constexpr int SendTimeoutMs = 30000;
constexpr int ReceiveTimeoutMs = 300000;

constexpr const char* HttpErrorMessage = "The update server returned an HTTP error.";
constexpr const char* UnreachableMessage = "The update server could not be reached.";

// A refused redirect means the server answered, just not acceptably; any
// other failure means no usable answer arrived at all. Wine's WinHTTP fails
// the same way on a redirect status without a Location header, where Windows
// hands the 3xx back; either way the answer is the server's fault.
[[noreturn]] void ThrowTransferFailure(DWORD error) {
  if (error == ERROR_WINHTTP_REDIRECT_FAILED || error == ERROR_WINHTTP_HEADER_NOT_FOUND) {
    throw UpdateError(HttpErrorMessage);
  }
  throw UpdateError(UnreachableMessage);
}

std::wstring Component(const wchar_t* text, DWORD length) {
  return length != 0 ? std::wstring(text, length) : std::wstring();
}

}  // namespace

void RefuseRedirectsToHttp(HINTERNET request) {
  DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
  if (!::WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy))) {
    throw UpdateError(UnreachableMessage);
  }
}

ParsedUrl ParseDownloadUrl(const std::wstring& url) {
  URL_COMPONENTS components{};
  components.dwStructSize = sizeof(components);
  // -1 with a null pointer asks for a pointer into `url` instead of a copy.
  components.dwHostNameLength = static_cast<DWORD>(-1);
  components.dwUrlPathLength = static_cast<DWORD>(-1);
  components.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &components)) {
    throw UpdateError("Invalid download URL.");
  }
  ParsedUrl parsed{};
  parsed.host = Component(components.lpszHostName, components.dwHostNameLength);
  parsed.path = Component(components.lpszUrlPath, components.dwUrlPathLength) +
                Component(components.lpszExtraInfo, components.dwExtraInfoLength);
  parsed.port = components.nPort;
  parsed.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
  return parsed;
}

WinHttpHandle OpenHttpGet(const std::wstring& url, WinHttpHandle& session,
                          WinHttpHandle& connection) {
  const ParsedUrl parsed = ParseDownloadUrl(url);

  session.reset(::WinHttpOpen(UserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) {
    throw UpdateError("Could not initialize HTTP.");
  }
  ::WinHttpSetTimeouts(session.get(), ResolveTimeoutMs, ConnectTimeoutMs, SendTimeoutMs,
                       ReceiveTimeoutMs);

  connection.reset(::WinHttpConnect(session.get(), parsed.host.c_str(), parsed.port, 0));
  if (!connection) {
    throw UpdateError("Could not connect to the update server.");
  }

  WinHttpHandle request(::WinHttpOpenRequest(connection.get(), L"GET", parsed.path.c_str(),
                                             nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             parsed.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) {
    throw UpdateError("Could not create the download request.");
  }

  RefuseRedirectsToHttp(request.get());
  if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    ThrowTransferFailure(::GetLastError());
  }
  if (!::WinHttpReceiveResponse(request.get(), nullptr)) {
    ThrowTransferFailure(::GetLastError());
  }

  DWORD status = 0;
  DWORD statusLength = sizeof(status);
  ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusLength,
                        WINHTTP_NO_HEADER_INDEX);
  if (status < 200 || status > 299) {
    throw UpdateError(HttpErrorMessage);
  }
  return request;
}
