#pragma once

#include <filesystem>

#include "common/progress_sink.h"
#include "manifest/release_manifest.h"

// True when the installed launcher's SHA-256 equals the manifest's, ignoring
// letter case. Hashing reports progress as "Checking installed launcher".
bool IsLauncherCurrent(const std::filesystem::path& launcherPath, const ReleaseManifest& manifest,
                       ProgressSink& progress);

// True when the runner directory holds run.exe and a stamp file containing
// both the manifest's runner version and digest. Never fails.
bool IsRunnerCurrent(const std::filesystem::path& runnerDir, const ReleaseManifest& manifest);

// Records the installed runner's version and digest in its stamp file. A
// stamp that cannot be written is not an error.
void WriteRunnerStamp(const std::filesystem::path& runnerDir, const ReleaseManifest& manifest);
