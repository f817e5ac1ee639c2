#pragma once

#include <filesystem>

#include "fs/paths.h"

// The places one update run works in, and the files in them. The new
// components are copied into the incoming directory, beside the installed
// ones on the same volume, so that each takes its place by one rename. Each
// is then renamed once into the ready directory inside it, which proves it
// can be moved before anything installed is.
struct RunPaths {
  std::filesystem::path installDir;
  std::filesystem::path stagingDir;
  std::filesystem::path backupDir;
  std::filesystem::path incomingDir;

  std::filesystem::path StagedLauncher() const { return stagingDir / LauncherFileName(); }
  std::filesystem::path StagedArchive() const { return stagingDir / RunnerArchiveName; }
  std::filesystem::path StagedRunner() const { return stagingDir / RunnerDirName(); }
  std::filesystem::path InstalledLauncher() const { return installDir / LauncherFileName(); }
  std::filesystem::path InstalledRunner() const { return installDir / RunnerDirName(); }
  std::filesystem::path BackupLauncher() const { return backupDir / LauncherFileName(); }
  std::filesystem::path BackupRunner() const { return backupDir / RunnerDirName(); }
  std::filesystem::path IncomingLauncher() const { return incomingDir / LauncherFileName(); }
  std::filesystem::path IncomingRunner() const { return incomingDir / RunnerDirName(); }
  // A short name: a runner path must fit the same MAX_PATH budget here as
  // in the backup directory.
  std::filesystem::path ReadyDir() const { return incomingDir / L"ok"; }
  std::filesystem::path ReadyLauncher() const { return ReadyDir() / LauncherFileName(); }
  std::filesystem::path ReadyRunner() const { return ReadyDir() / RunnerDirName(); }
};

// Which components this run replaces.
struct InstallPlan {
  bool updateLauncher = false;
  bool updateRunner = false;
};
