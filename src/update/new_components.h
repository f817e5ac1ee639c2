#pragma once

#include "common/progress_sink.h"
#include "common/scoped_handle.h"
#include "manifest/release_manifest.h"
#include "update/held_file_waits.h"
#include "update/run_paths.h"

// The staged programs whose signer was checked, each held open, shared with
// readers only, from its check until its copy; empty where nothing was
// checked.
struct CheckedFiles {
  FileHandle launcher;
  FileHandle runExe;
};

// Copies the staged components into the incoming directory beside the
// installed ones, with the progress of an install, so that every new file is
// on the disk before any rename makes it visible: the launcher, then the
// runner, checked for run.exe, with its stamp written last. Each is then
// renamed once into the ready directory, which proves it can be moved and
// waits while something (security software scanning the new files) holds
// it. Nothing installed changes. Each of `checked` is let go once copied.
void PrepareNewComponents(const ReleaseManifest& manifest, const InstallPlan& plan,
                          const RunPaths& paths, CheckedFiles checked, HeldFileWaits& waits,
                          ProgressSink& progress);
