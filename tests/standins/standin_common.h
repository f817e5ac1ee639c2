// Small Windows helpers shared by the stand-in programs.
#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() {
        if (valid()) CloseHandle(handle_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

std::string ToUtf8(std::wstring_view text);

// Throws std::runtime_error on malformed UTF-8.
std::wstring FromUtf8(std::string_view text);

// The platform's own splitting of GetCommandLineW(); element 0 is the program.
std::vector<std::wstring> CommandLineArguments();

std::filesystem::path ExecutableDirectory();

// Empty optional when the variable is not set at all.
std::optional<std::wstring> EnvironmentVariable(const wchar_t* name);

// A test asks for a failure with a non-empty variable or a marker file
// beside the executable.
bool FailureRequested(const wchar_t* variable, const wchar_t* markerFile);

// Appends line + '\n' as UTF-8 with one write, so concurrent writers never
// interleave within a line. Returns false when the file cannot be written.
bool AppendLine(const std::filesystem::path& file, std::wstring_view line);

// Logs GetCommandLineW() to the file named by the variable, if it is set.
void LogCommandLine(const wchar_t* variable);

}  // namespace standin
