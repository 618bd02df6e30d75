// Runs the vgctl tool as a child process: its exit status and its output.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <string>

struct VgctlResult {
    int status;       // the exit status; -1 when it did not exit normally
    std::string out;  // stdout and stderr
};

// env: assignments put before the command, e.g. "VGCTL_USER=bob ".
inline VgctlResult RunVgctl(const std::string& args, const std::string& env = "") {
    const std::string cmd = env + std::string(VGCTL_PATH) + " " + args + " 2>&1";
    FILE* f = ::popen(cmd.c_str(), "r");
    if (!f) return {-1, ""};
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.append(buf, n);
    const int st = ::pclose(f);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
