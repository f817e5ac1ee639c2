#include "net/http_get.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "support/test_support.h"

namespace {

const std::string HttpError = "The update server returned an HTTP error.";
const std::string Unreachable = "The update server could not be reached.";

std::string Text(const std::wstring& ascii) { return {ascii.begin(), ascii.end()}; }

std::wstring Base(bool secure) { return secure ? test::HttpsBase() : test::HttpBase(); }

// A path on the download service that answers with a redirect to `location`.
std::wstring Redirect(int status, const std::wstring& location) {
  std::wstring encoded;
  for (const wchar_t c : location) {
    static const wchar_t* const hex = L"0123456789ABCDEF";
    encoded += std::iswalnum(c) ? std::wstring(1, c) : std::wstring{L'%', hex[c >> 4], hex[c & 15]};
  }
  return L"/_fault/redirect=" + std::to_wstring(status) + L",to=" + encoded + L"/";
}

// "no failure" and the body, or the failure's message.
std::string Get(const std::wstring& url) {
  std::string body;
  const std::string failure = test::FailureOf([&] {
    WinHttpHandle session;
    WinHttpHandle connection;
    const WinHttpHandle request = OpenHttpGet(url, session, connection);
    char buffer[4096];
    DWORD read = 0;
    while (::WinHttpReadData(request.get(), buffer, sizeof(buffer), &read) && read > 0) {
      body.append(buffer, read);
    }
  });
  return failure == "no failure" ? body : failure;
}

TEST(ParseDownloadUrl, TakesThePartsAsWritten) {
  struct Case {
    const wchar_t* url;
    const wchar_t* host;
    const wchar_t* path;
    std::uint16_t port;
    bool secure;
  };
  const Case cases[] = {
      {L"https://updates.example.test:8443/api/m.json", L"updates.example.test", L"/api/m.json",
       8443, true},
      {L"https://h/m.json", L"h", L"/m.json", 443, true},
      {L"http://h/m.json", L"h", L"/m.json", 80, false},
      {L"HTTPS://h:80/x", L"h", L"/x", 80, true},
      {L"http://h/a%2Fb?x=1&y=%20z#frag", L"h", L"/a%2Fb?x=1&y=%20z#frag", 80, false},
      {L"https://h", L"h", L"", 443, true},
      {L"https://user:secret@h:444/p", L"h", L"/p", 444, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Text(c.url));
    const ParsedUrl parsed = ParseDownloadUrl(c.url);
    EXPECT_EQ(parsed.host, c.host);
    EXPECT_EQ(parsed.path, c.path);
    EXPECT_EQ(parsed.port, c.port);
    EXPECT_EQ(parsed.secure, c.secure);
  }
  for (const wchar_t* url : {L"ftp://h/file.zip", L"file:///C:/m.json", L"h/m.json", L""}) {
    EXPECT_EQ(Get(url), "Invalid download URL.") << Text(url);
  }
}

TEST(OpenHttpGet, TheFinalStatusDecides) {
  struct Case {
    std::wstring path;
    std::string outcome;
  };
  const Case cases[] = {
      {L"/_gen/10", test::PatternBytes(10)},
      {L"/_fault/status=204/", ""},
      {L"/_fault/status=299/", ""},
      {L"/_fault/status=300/", HttpError},
      {L"/_fault/status=301/", HttpError},  // no Location to follow
      {L"/_fault/status=404/", HttpError},
      {L"/_fault/status=599/", HttpError},
      {L"/_fault/drop=1/_gen/10", Unreachable},
  };
  for (bool secure : {false, true}) {
    for (const Case& c : cases) {
      EXPECT_EQ(Get(Base(secure) + c.path), c.outcome) << Text(c.path) << " " << secure;
    }
  }
  EXPECT_EQ(Get(L"http://127.0.0.1:1/m.json"), Unreachable);
}

// Redirects are followed, except from https to plain http: the manifest
// carries the digests of everything downloaded after it.
TEST(OpenHttpGet, FollowsRedirectsThatKeepTransportSecurity) {
  struct Case {
    bool fromSecure;
    bool toSecure;
    const wchar_t* target;
    std::string outcome;
  };
  const Case cases[] = {
      {false, false, L"/_gen/7", test::PatternBytes(7)},
      {true, true, L"/_gen/7", test::PatternBytes(7)},
      {false, true, L"/_gen/7", test::PatternBytes(7)},
      {true, false, L"/_gen/7", HttpError},
      {true, true, L"/_fault/status=404/", HttpError},
  };
  // 303 and 308 are left out: Wine 8 hands them back as plain statuses.
  for (int status : {301, 302, 307}) {
    for (const Case& c : cases) {
      const std::wstring url = Base(c.fromSecure) + Redirect(status, Base(c.toSecure) + c.target);
      EXPECT_EQ(Get(url), c.outcome) << status << " " << c.fromSecure << "->" << c.toSecure;
    }
  }
}

// No request handle refuses the setting, so a handle of another kind stands
// in for a platform that does not take it.
TEST(RefuseRedirectsToHttp, ASettingThatDoesNotTakeFailsTheRequest) {
  const WinHttpHandle session(::WinHttpOpen(L"test", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  const WinHttpHandle connection(::WinHttpConnect(session.get(), L"127.0.0.1", 9, 0));
  EXPECT_EQ(test::FailureOf([&] { RefuseRedirectsToHttp(connection.get()); }), Unreachable);
}

}  // namespace
