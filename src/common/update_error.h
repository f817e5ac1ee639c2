#pragma once

#include <stdexcept>

// The program's own failure. Its message is one fixed English sentence that
// the window shows to the user unchanged.
class UpdateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
