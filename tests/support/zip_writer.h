// Writes small ZIP archives for tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct ZipEntry {
    std::string name;  // UTF-8, '/' separators, trailing '/' for a directory
    std::string data;
};

// Writes every entry in order, stored or raw-deflated (directories are always
// stored and empty), with the UTF-8 name flag set. Throws std::runtime_error
// when the file cannot be written.
void WriteZip(const std::filesystem::path& zipPath, const std::vector<ZipEntry>& entries, bool deflate);
