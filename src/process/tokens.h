#pragma once

#include <string>

// 32 upper-case hex digits from a fresh GUID; a new value on every call.
std::wstring NewGuidToken();
