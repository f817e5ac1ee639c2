#include "common/system_message.h"

#include <string_view>
#include <system_error>

#include "common/text_conversion.h"

namespace {

struct LocalMemory {
  wchar_t* text = nullptr;
  LocalMemory() = default;
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  ~LocalMemory() { ::LocalFree(text); }
};

}  // namespace

std::string SystemMessage(DWORD code, LANGID language) {
  LocalMemory buffer;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, language, reinterpret_cast<wchar_t*>(&buffer.text), 0, nullptr);
  std::wstring_view text(buffer.text, buffer.text != nullptr ? length : 0);
  if (text.ends_with(L".\r\n")) {
    text.remove_suffix(3);
  }
  return WideToUtf8(text);
}

std::string Utf8Message(const std::exception& error, LANGID language) {
  std::string message = error.what();
  const auto* systemError = dynamic_cast<const std::system_error*>(&error);
  if (systemError == nullptr || systemError->code().category() != std::system_category()) {
    return message;
  }
  const std::string ansi = systemError->code().message();
  const std::string utf8 = SystemMessage(static_cast<DWORD>(systemError->code().value()), language);
  if (const std::size_t at = message.find(ansi); !ansi.empty() && !utf8.empty() &&
                                                 at != std::string::npos) {
    message.replace(at, ansi.size(), utf8);
  }
  return message;
}
