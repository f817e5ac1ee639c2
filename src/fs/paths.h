#pragma once

#include <filesystem>
#include <string>

// Fixed names of the installation, staging and backup layouts.
inline constexpr const wchar_t* LauncherExeName = L"VORNLauncher.exe";
inline constexpr const wchar_t* RunnerDirectoryName = L"Runner";
inline constexpr const wchar_t* RunnerExeName = L"run.exe";
inline constexpr const wchar_t* RunnerStampName = L".vorn-runner.json";
inline constexpr const wchar_t* RunnerArchiveName = L"VORNRunner.zip";
inline constexpr const wchar_t* StagingPrefix = L"VORNUpdate-";
inline constexpr const wchar_t* BackupPrefix = L".update-backup-";
inline constexpr const wchar_t* IncomingPrefix = L".update-new-";
inline constexpr const wchar_t* ConfirmationPrefix = L".update-ok-";

std::filesystem::path LauncherFileName();
std::filesystem::path RunnerDirName();
std::filesystem::path RunnerStampFileName();

// True when `path` names `target` or something below it, compared as Windows
// compares names: on full paths, ignoring letter case.
bool IsSameOrWithin(const std::wstring& path, const std::filesystem::path& target);

// The name the file system itself gives the file or directory at `path`,
// whichever name reached it (an 8.3 short name, a junction, a subst drive,
// a second drive letter for the same folder), so that two names of one file
// compare equal. Empty when it cannot be opened.
std::wstring FinalPath(const std::filesystem::path& path);

// The system temporary directory. Throws the standard file-system error for
// `temp_directory_path` when there is none.
std::filesystem::path TemporaryDirectory();
