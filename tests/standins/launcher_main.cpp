// Stand-in for VORNLauncher.exe. Its behaviour comes from the environment
// variable VORN_LAUNCHER_STANDIN, else launcher-standin.txt beside it, so
// tests can steer it without touching the command line the updater uses.
#include "standin_common.h"

#include <windows.h>

#include <exception>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitConfirmFailed = 5;
constexpr int kExitUsage = 64;
constexpr int kExitBadConfig = 90;
constexpr DWORD kWrongTokenLinger = 2000;
constexpr std::size_t kTokenLength = 32;

enum class Mode { Confirm, Exit, Hang, WrongToken };

struct Config {
    Mode mode = Mode::Confirm;
    DWORD value = 0;
    std::wstring logPath;
};

std::optional<DWORD> ParseNumber(std::wstring_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    unsigned long long number = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        number = number * 10 + static_cast<unsigned>(c - L'0');
    }
    if (number > MAXDWORD) return std::nullopt;
    return static_cast<DWORD>(number);
}

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring_view TrimEnd(std::wstring_view text) {
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    return text;
}

// Tokens: confirm:MS exit:CODE hang:MS wrongtoken:MS log:PATH, separated by
// whitespace; the last mode token wins. "log=" takes the rest of the text so
// a log path may contain spaces.
std::optional<Config> ParseConfig(std::wstring_view text) {
    Config config;
    for (;;) {
        while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
        if (text.empty()) return config;
        if (text.starts_with(L"log=")) {
            config.logPath = TrimEnd(text.substr(4));
            return config.logPath.empty() ? std::nullopt : std::optional(config);
        }
        std::size_t length = 0;
        while (length < text.size() && !IsSpace(text[length])) ++length;
        const std::wstring_view token = text.substr(0, length);
        text.remove_prefix(length);

        const std::size_t colon = token.find(L':');
        if (colon == std::wstring_view::npos) return std::nullopt;
        const std::wstring_view key = token.substr(0, colon);
        const std::wstring_view value = token.substr(colon + 1);
        if (key == L"log") {
            if (value.empty()) return std::nullopt;
            config.logPath = value;
            continue;
        }
        const auto number = ParseNumber(value);
        if (!number) return std::nullopt;
        config.value = *number;
        if (key == L"confirm") {
            config.mode = Mode::Confirm;
        } else if (key == L"exit") {
            config.mode = Mode::Exit;
        } else if (key == L"hang") {
            config.mode = Mode::Hang;
        } else if (key == L"wrongtoken") {
            config.mode = Mode::WrongToken;
        } else {
            return std::nullopt;
        }
    }
}

std::optional<Config> LoadConfig() {
    if (const auto fromEnvironment = standin::EnvironmentVariable(L"VORN_LAUNCHER_STANDIN")) {
        return ParseConfig(*fromEnvironment);
    }
    std::ifstream file(standin::ExecutableDirectory() / L"launcher-standin.txt", std::ios::binary);
    if (!file) return ParseConfig(L"confirm:0");
    std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    try {
        return ParseConfig(standin::FromUtf8(text));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool IsToken(std::wstring_view token) {
    if (token.size() != kTokenLength) return false;
    for (const wchar_t c : token) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'))) return false;
    }
    return true;
}

// Each digit v becomes 15 - v, which always differs from v.
std::wstring DifferentToken(std::wstring_view token) {
    constexpr std::wstring_view digits = L"0123456789ABCDEF";
    std::wstring result;
    for (const wchar_t c : token) result += digits[15 - digits.find(c)];
    return result;
}

bool Confirm(std::wstring_view token) {
    const std::wstring name = L".update-ok-" + std::wstring(token);
    const standin::FileHandle file(CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid();
}

std::wstring CurrentDirectory() {
    std::wstring buffer(GetCurrentDirectoryW(0, nullptr), L'\0');
    buffer.resize(GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data()));
    return buffer;
}

void LogStart(const Config& config, std::wstring_view token) {
    if (config.logPath.empty()) return;
    standin::AppendLine(config.logPath, L"cwd=" + CurrentDirectory() + L"\tcmdline=" + GetCommandLineW() +
                                            L"\ttoken=" + std::wstring(token));
}

int RunUpdateCheck(const Config& config, std::wstring_view token) {
    if (!IsToken(token)) return kExitUsage;
    switch (config.mode) {
    case Mode::Confirm:
        Sleep(config.value);
        return Confirm(token) ? kExitOk : kExitConfirmFailed;
    case Mode::Exit:
        return static_cast<int>(config.value);
    case Mode::Hang:
        Sleep(config.value);
        return kExitOk;
    case Mode::WrongToken:
        Sleep(config.value);
        if (!Confirm(DifferentToken(token))) return kExitConfirmFailed;
        Sleep(kWrongTokenLinger);
        return kExitOk;
    }
    return kExitBadConfig;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const auto config = LoadConfig();
    if (!config) return kExitBadConfig;
    const auto args = standin::CommandLineArguments();
    const bool withTwo = args.size() == 3;
    const std::wstring token = withTwo && args[1] == L"--post-update-token" ? args[2] : L"";
    LogStart(*config, token);

    if (args.size() == 1) return kExitOk;  // a plain restart
    if (withTwo && args[1] == L"--post-update-token") return RunUpdateCheck(*config, token);
    if (withTwo && args[1] == L"--standin-sleep") {
        const auto milliseconds = ParseNumber(args[2]);
        if (!milliseconds) return kExitUsage;
        Sleep(*milliseconds);
        return kExitOk;
    }
    return kExitUsage;
}
