#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace nettest {

inline std::wstring Widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }
inline std::string Narrow(const std::wstring& ascii) {
  std::string text;
  for (wchar_t c : ascii) {
    text.push_back(static_cast<char>(c));
  }
  return text;
}

// The running test's name reduced to letters and digits, plus the process id,
// so that paths seen by the shared download service never collide, not even
// across runs against the same service.
inline std::wstring UniqueTag() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::wstring tag = L"n" + std::to_wstring(::GetCurrentProcessId());
  for (const char* text : {info->test_suite_name(), info->name()}) {
    tag.push_back(L'-');
    for (const char* c = text; *c != '\0'; ++c) {
      if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9')) {
        tag.push_back(static_cast<wchar_t>(*c));
      }
    }
  }
  return tag;
}

// Percent-encodes everything except unreserved characters and, unless told
// otherwise, '/'.
inline std::wstring PercentEncode(const std::wstring& text, bool keepSlash = true) {
  static const wchar_t* const hex = L"0123456789ABCDEF";
  std::wstring encoded;
  for (wchar_t c : text) {
    const bool plain = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                       (c >= L'0' && c <= L'9') || c == L'-' || c == L'_' || c == L'.' ||
                       c == L'~' || (keepSlash && c == L'/');
    if (plain) {
      encoded.push_back(c);
    } else {
      encoded += L'%';
      encoded += hex[(c >> 4) & 0xF];
      encoded += hex[c & 0xF];
    }
  }
  return encoded;
}

inline std::wstring Base(bool secure) { return secure ? test::HttpsBase() : test::HttpBase(); }

// Puts a file into the served directory under `tag` and returns its path on
// the service, e.g. "/tag/name".
inline std::wstring Serve(const std::wstring& tag, const std::wstring& name,
                          const std::string& bytes) {
  test::WriteBytes(test::ServedDirectory() / tag / name, bytes);
  return L"/" + tag + L"/" + name;
}

// A path on the service that answers with a redirect to `location`.
inline std::wstring RedirectPath(int status, const std::wstring& location) {
  return L"/_fault/redirect=" + std::to_wstring(status) +
         L",to=" + PercentEncode(location, false) + L"/";
}

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string userAgent;
  int status = 0;
  std::uint64_t bytes = 0;
};

// The service's log of requests whose raw path starts with `prefix`.
inline std::vector<RecordedRequest> RequestsStartingWith(const std::wstring& prefix) {
  const std::string json =
      test::FetchText(test::HttpBase() + L"/_requests?prefix=" + PercentEncode(prefix, false));
  EXPECT_EQ(json.front(), '[') << json;
  static const std::regex record(
      R"re(\{"method": "([^"]*)", "path": "((?:[^"\\]|\\.)*)", "user_agent": (?:null|"((?:[^"\\]|\\.)*)"), "status": (null|\d+), "bytes": (\d+)\})re");
  std::vector<RecordedRequest> requests;
  for (std::sregex_iterator it(json.begin(), json.end(), record), end; it != end; ++it) {
    const std::smatch& m = *it;
    requests.push_back({m[1], m[2], m[3], m[4] == "null" ? 0 : std::stoi(m[4]),
                        std::stoull(m[5])});
  }
  std::size_t objects = 0;
  for (std::size_t at = json.find("{\"method\""); at != std::string::npos;
       at = json.find("{\"method\"", at + 1)) {
    ++objects;
  }
  EXPECT_EQ(requests.size(), objects) << json;
  return requests;
}

}  // namespace nettest
