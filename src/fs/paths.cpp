#include "fs/paths.h"

std::filesystem::path LauncherFileName() { return LauncherExeName; }
std::filesystem::path RunnerDirName() { return RunnerDirectoryName; }
std::filesystem::path RunnerStampFileName() { return RunnerStampName; }

std::filesystem::path TemporaryDirectory() { return std::filesystem::temp_directory_path(); }
