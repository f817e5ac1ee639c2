// Minimal ZIP extraction (stored and deflated entries) for the stand-ins.
#pragma once

#include <filesystem>

namespace standin {

// Extracts the whole archive into targetDir (created if missing), overwriting
// existing files. Every entry is validated before anything is written, so an
// archive with an entry escaping targetDir writes nothing. Throws
// std::runtime_error describing the first problem.
void ExtractZip(const std::filesystem::path& zip, const std::filesystem::path& targetDir);

}  // namespace standin
