// Stand-in for the system tar.exe: understands only "-xf <zip> -C <dir>".
#include "standin_common.h"
#include "zip_extract.h"

#include <cstdio>
#include <exception>
#include <filesystem>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitRequestedFailure = 2;

}  // namespace

int wmain() {
    standin::LogCommandLine(L"VORN_STANDIN_TAR_LOG");
    if (standin::FailureRequested(L"VORN_STANDIN_TAR_FAIL", L"tar.fail")) {
        std::fputs("tar: failing on request\n", stderr);
        return kExitRequestedFailure;
    }
    const auto args = standin::CommandLineArguments();
    if (args.size() != 5 || args[1] != L"-xf" || args[3] != L"-C") {
        std::fputs("usage: tar -xf <archive> -C <directory>\n", stderr);
        return kExitError;
    }
    const std::filesystem::path archive = args[2];
    const std::filesystem::path target = args[4];
    // Like the real tar, -C needs an existing directory.
    std::error_code error;
    if (!std::filesystem::is_directory(target, error)) {
        std::fprintf(stderr, "tar: could not chdir to '%s'\n", standin::ToUtf8(target.wstring()).c_str());
        return kExitError;
    }
    try {
        standin::ExtractZip(archive, target);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tar: %s\n", e.what());
        return kExitError;
    }
    return kExitOk;
}
