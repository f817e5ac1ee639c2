// Without Windows headers: the native build of the parser tests uses it too.
#pragma once

#include <exception>
#include <string>

namespace test {

// The message of whatever `action` throws, or "no failure".
template <typename Action>
std::string FailureOf(const Action& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no failure";
}

}  // namespace test
