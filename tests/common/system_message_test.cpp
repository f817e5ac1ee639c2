#include "common/system_message.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/update_error.h"

namespace fs = std::filesystem;

namespace {

// The C++ library words the system's text in the ANSI code page; the window
// reads UTF-8. French shows the difference wherever the user's language is
// not English: Wine has the system's French texts whatever its own language.
TEST(Utf8Message, TheSystemsTextInUtf8AndOurOwnUnchanged) {
  const LANGID french = MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH);
  const fs::filesystem_error held("rename", fs::path(L"C:\\\u00e9t\u00e9\\Runner"),
                                  fs::path(L"C:\\x"),
                                  std::error_code(ERROR_ACCESS_DENIED, std::system_category()));
  EXPECT_EQ(Utf8Message(held, french),
            "filesystem error: rename: Acc\xC3\xA8s refus\xC3\xA9 [C:\\\xC3\xA9t\xC3\xA9\\Runner] "
            "[C:\\x]");
  EXPECT_EQ(Utf8Message(UpdateError("Could not install a file."), french),
            "Could not install a file.");
}

}  // namespace
