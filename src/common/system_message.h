#pragma once

#include <windows.h>

#include <exception>
#include <string>

// The system's own description of a Windows error code, in UTF-8 and in the
// user's language (or `language`), worded as the C++ library words it: no
// final ".\r\n". Empty when the system has none.
std::string SystemMessage(DWORD code, LANGID language = 0);

// The exception's message in UTF-8. The C++ library words the system's part
// of a system error in the ANSI code page, which reads as garbage wherever it
// is not ASCII; that part is replaced with `SystemMessage`.
std::string Utf8Message(const std::exception& error, LANGID language = 0);
