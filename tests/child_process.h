// Child processes for the cross-process suites: run a registered function in
// a child (POSIX: a fork; Windows: the test program started again), wait for
// it with a time limit, and signal or share memory between the processes.
// A child gets its arguments as text, so the same test body serves both.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "sharedcode/wintypes.h"

namespace childtest {

typedef std::vector<std::string> Args;
typedef int (*ChildMain)(const Args& args);

// Makes fn known to the program under its name, so that a restarted program
// can find it. VG_CHILD defines and registers one.
struct Registration {
    Registration(const char* szName, ChildMain fn);
};

#define VG_CHILD(fn)                                                        \
    int fn(const ::childtest::Args& args);                                  \
    const ::childtest::Registration fn##Registration(#fn, fn);              \
    int fn([[maybe_unused]] const ::childtest::Args& args)

// In a program started as a child, runs the child's function and ends the
// process with its result; otherwise returns. Call first thing in main.
void RunChildIfAsked(int argc, char** argv);

// One child process, killed and reaped by the destructor if still running.
// It does not move: a group of children lives in a std::deque.
class Child {
public:
    // Runs fn(args) in a new process that ends itself after limitSeconds
    // whatever happens.
    Child(ChildMain fn, const Args& args = {}, unsigned limitSeconds = 60);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    DWORD Pid() const { return m_pid; }
    // Waits at most timeoutMs, killing a child that overruns. Returns its exit
    // code, or -1 when it was killed or did not exit normally.
    int Wait(int timeoutMs = 20000);
    // Whether the child has ended, without waiting; Wait then answers at once.
    bool Exited();
    // Ends the child at once, as a crash would.
    void Kill();

private:
    DWORD m_pid = 0;
    void* m_hProcess = nullptr;  // Windows
    bool m_fKilled = false;
    bool m_fDone = false;
    int m_exitCode = -1;
};

// Zeroed memory shared between processes; a child opens it by name.
class SharedMemory {
public:
    explicit SharedMemory(size_t cb);
    SharedMemory(const std::string& name, size_t cb);
    ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    const std::string& Name() const { return m_name; }
    void* Get() const { return m_pv; }

private:
    std::string m_name;
    void* m_pv = nullptr;
    void* m_handle = nullptr;
    bool m_fOwner = false;
};

// A one-way signal between processes, counted like a semaphore: each Raise
// lets one Wait through. The creator names it; a child opens it by name.
class Signal {
public:
    Signal() : m_count(sizeof(int)) {}
    explicit Signal(const std::string& name) : m_count(name, sizeof(int)) {}
    const std::string& Name() const { return m_count.Name(); }
    void Raise();
    // False after timeoutMs without a signal.
    bool Wait(int timeoutMs = 20000);

private:
    SharedMemory m_count;
};

// Runs fn(args) in a child, with a debugger attached from its start when
// fTraced (POSIX: a ptrace tracer), and returns what it handed the debugger
// (POSIX: wrote to stderr). *pExitCode receives its exit code, or
// kTracingRefused when the system does not let the test trace a child.
constexpr int kTracingRefused = 125;
std::string DebuggerOutput(ChildMain fn, const Args& args, bool fTraced, int* pExitCode);

// Runs a program to its end (at most timeoutMs, then it is killed) and
// collects what it writes to stdout and stderr. args are shell words ('…' and
// "…" group), env assignments "NAME=value " added to the environment.
struct ProgramResult {
    int status;       // the exit status; -1 when it did not exit normally
    std::string out;  // stdout and stderr, lines ending in '\n'
};
ProgramResult RunProgram(const std::string& path, const std::string& args, const std::string& env = "",
                         int timeoutMs = 60000);

}  // namespace childtest
