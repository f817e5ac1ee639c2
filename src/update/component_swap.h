#pragma once

#include <functional>
#include <vector>

#include "update/held_file_waits.h"
#include "update/run_paths.h"

// Puts the new components, waiting in the ready directory, in place of the
// installed ones, and remembers each completed step with its undo, so that a
// failure, during the swap or after it, undoes exactly what was done.
class ComponentSwap {
 public:
  explicit ComponentSwap(const RunPaths& paths) : paths_(paths) {}
  ComponentSwap(const ComponentSwap&) = delete;
  ComponentSwap& operator=(const ComponentSwap&) = delete;

  // The runner first: a program outside the installation may still work in
  // its installed tree, and the long wait for it then comes before anything
  // has changed. Waits only while every component is whole in its place.
  void Commit(const InstallPlan& plan, HeldFileWaits& waits);

  // Undoes the completed steps, latest first, trying each even after one
  // failed, and waiting by the same rule. Once everything is back it removes
  // the incoming directory and, unless a component could not be moved aside,
  // restarts the launcher without a token. Throws the first failure.
  void Restore(HeldFileWaits& waits);

 private:
  void SwapRunner(HeldFileWaits& waits);
  void SwapLauncher(HeldFileWaits& waits);

  const RunPaths& paths_;
  std::vector<std::function<void(HeldFileWaits&)>> undo_;
  bool movingAsideFailed_ = false;
};
