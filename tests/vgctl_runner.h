// Runs the vgctl tool as a child process: its exit status and its output.
#pragma once

#include <string>

#include "tests/child_process.h"

typedef childtest::ProgramResult VgctlResult;

// env: assignments put before the command, e.g. "VGCTL_USER=bob ".
inline VgctlResult RunVgctl(const std::string& args, const std::string& env = "") {
    return childtest::RunProgram(VGCTL_PATH, args, env);
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
