#pragma once

#include <string>

#include "cli/update_options.h"

// Splits `commandLine` by the platform's rules and scans it into options.
// Throws `UpdateError` when it cannot be split or is incomplete.
UpdateOptions ParseCommandLineText(const std::wstring& commandLine);
