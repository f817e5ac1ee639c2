// Stand-in for Windows PowerShell: understands only the one Expand-Archive
// command line the updater uses.
#include "standin_common.h"
#include "zip_extract.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitRequestedFailure = 2;

// PowerShell treats the typographic single quotes as quote characters too,
// so an unescaped one inside a path ends the string just like '.
bool IsSingleQuote(wchar_t c) {
    return c == L'\'' || c == L'\u2018' || c == L'\u2019' || c == L'\u201A' || c == L'\u201B';
}

class CommandParser {
public:
    explicit CommandParser(std::wstring_view text) : rest_(text) {}

    bool Literal(std::wstring_view expected) {
        if (!rest_.starts_with(expected)) return false;
        rest_.remove_prefix(expected.size());
        return true;
    }

    // A single-quoted string in which a doubled quote stands for one quote.
    std::optional<std::wstring> Quoted() {
        if (rest_.empty() || !IsSingleQuote(rest_.front())) return std::nullopt;
        std::wstring value;
        for (std::size_t i = 1; i < rest_.size(); ++i) {
            if (!IsSingleQuote(rest_[i])) {
                value += rest_[i];
            } else if (i + 1 < rest_.size() && IsSingleQuote(rest_[i + 1])) {
                value += rest_[i];
                ++i;
            } else {
                rest_.remove_prefix(i + 1);
                return value;
            }
        }
        return std::nullopt;
    }

    bool AtEnd() const { return rest_.empty(); }

private:
    std::wstring_view rest_;
};

struct ExpandArchive {
    std::wstring archive;
    std::wstring destination;
};

std::optional<ExpandArchive> ParseCommand(std::wstring_view command) {
    CommandParser parser(command);
    if (!parser.Literal(L"Expand-Archive -LiteralPath ")) return std::nullopt;
    auto archive = parser.Quoted();
    if (!archive || !parser.Literal(L" -DestinationPath ")) return std::nullopt;
    auto destination = parser.Quoted();
    if (!destination || !parser.Literal(L" -Force") || !parser.AtEnd()) return std::nullopt;
    return ExpandArchive{std::move(*archive), std::move(*destination)};
}

}  // namespace

int wmain() {
    standin::LogCommandLine(L"VORN_STANDIN_POWERSHELL_LOG");
    if (standin::FailureRequested(L"VORN_STANDIN_POWERSHELL_FAIL", L"powershell.fail")) {
        std::fputs("powershell: failing on request\n", stderr);
        return kExitRequestedFailure;
    }
    const auto args = standin::CommandLineArguments();
    const bool expectedSwitches = args.size() == 7 && args[1] == L"-NoProfile" && args[2] == L"-NonInteractive" &&
                                  args[3] == L"-ExecutionPolicy" && args[4] == L"Bypass" && args[5] == L"-Command";
    const auto command = expectedSwitches ? ParseCommand(args[6]) : std::nullopt;
    if (!command) {
        std::fputs("powershell: unsupported command line\n", stderr);
        return kExitError;
    }
    try {
        standin::ExtractZip(command->archive, command->destination);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Expand-Archive: %s\n", e.what());
        return kExitError;
    }
    return kExitOk;
}
