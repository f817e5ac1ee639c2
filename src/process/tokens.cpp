#include "process/tokens.h"

#include <windows.h>
#include <objbase.h>

std::wstring NewGuidToken() {
  GUID guid{};
  ::CoCreateGuid(&guid);
  wchar_t braced[64] = {};
  ::StringFromGUID2(guid, braced, 64);
  std::wstring token;
  for (const wchar_t* c = braced; *c != L'\0'; ++c) {
    if (*c != L'{' && *c != L'}' && *c != L'-') {
      token.push_back(*c);
    }
  }
  return token;
}
