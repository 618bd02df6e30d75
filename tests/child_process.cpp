#include "tests/child_process.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "sharedcode/platform/namedobj.h"
#include "sharedcode/platform/process.h"
#include "tests/test_env.h"

#ifdef _WIN32
#include <windows.h>

#include <optional>
#include <sstream>
#else
#include <signal.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sharedcode/platform/namedobj_posix.h"
#endif

namespace childtest {

namespace {

std::map<std::string, ChildMain>& Registry() {
    static std::map<std::string, ChildMain> s_registry;
    return s_registry;
}

// POSIX keeps a named object after its last handle: its creator removes it.
void RemoveName(const std::string& name) {
#ifndef _WIN32
    std::string posixName;
    if (plat::namedobj_posix::PosixName(Wide(name).c_str(), posixName)) ::shm_unlink(posixName.c_str());
#else
    (void)name;
#endif
}

// A name no other object of this or another test program has; one that a
// crashed run left behind goes first.
std::string NewName(const char* szKind) {
    static std::atomic<unsigned> s_serial{0};
    const std::string name =
        "vgchild-" + std::to_string(plat::GetCurrentProcessId()) + "-" + szKind + std::to_string(s_serial++);
    RemoveName(name);
    return name;
}

}  // namespace

Registration::Registration(const char* szName, ChildMain fn) { Registry()[szName] = fn; }

Child::~Child() {
    if (!m_fDone) {
        Kill();
        Wait();
    }
#ifdef _WIN32
    if (m_hProcess) ::CloseHandle(m_hProcess);
#endif
}

SharedMemory::SharedMemory(size_t cb) : SharedMemory(NewName("memory"), cb) { m_fOwner = true; }

SharedMemory::SharedMemory(const std::string& name, size_t cb) : m_name(name) {
    plat::HANDLE h = plat::CreateFileMappingW(nullptr, static_cast<DWORD>(cb), Wide(name).c_str());
    m_handle = h;
    if (h) m_pv = plat::MapViewOfFile(h, static_cast<DWORD>(cb));
}

SharedMemory::~SharedMemory() {
    if (m_pv) plat::UnmapViewOfFile(m_pv);
    if (m_handle) plat::CloseHandle(static_cast<plat::HANDLE>(m_handle));
    if (m_fOwner) RemoveName(m_name);
}

// The count lives in the shared memory, so it must not need a lock.
static_assert(std::atomic<int>::is_always_lock_free, "a count shared between processes");

void Signal::Raise() {
    if (auto* pCount = static_cast<std::atomic<int>*>(m_count.Get())) ++*pCount;
}

bool Signal::Wait(int timeoutMs) {
    auto* pCount = static_cast<std::atomic<int>*>(m_count.Get());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pCount) {
        int n = pCount->load();
        if (n > 0 && pCount->compare_exchange_weak(n, n - 1)) return true;
        if (n > 0) continue;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

#ifdef _WIN32

namespace {

constexpr UINT kKilledExitCode = 0xDEADu;
constexpr char kChildSwitch[] = "--vg-child";

std::string NameOf(ChildMain fn) {
    for (const auto& entry : Registry())
        if (entry.second == fn) return entry.first;
    std::fprintf(stderr, "child function not registered with VG_CHILD\n");
    std::abort();
}

// One argument as the C runtime's parser reads it back. The tests' arguments,
// names and paths, hold no quote and do not end in a backslash.
void AppendQuoted(std::string* cmd, const std::string& arg) { *cmd += (cmd->empty() ? "\"" : " \"") + arg + '"'; }

// Starts this program again as the child running fn.
HANDLE StartChild(ChildMain fn, const Args& args, unsigned limitSeconds, DWORD dwFlags, DWORD* pPid) {
    char szProgram[MAX_PATH + 1] = {};
    ::GetModuleFileNameA(nullptr, szProgram, MAX_PATH);
    Args words = {szProgram, kChildSwitch, NameOf(fn), std::to_string(limitSeconds)};
    words.insert(words.end(), args.begin(), args.end());
    std::string cmd;
    for (const std::string& word : words) AppendQuoted(&cmd, word);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::fflush(nullptr);
    if (!::CreateProcessA(szProgram, &cmd[0], nullptr, nullptr, FALSE, dwFlags, nullptr, nullptr, &si, &pi))
        return nullptr;
    ::CloseHandle(pi.hThread);
    *pPid = pi.dwProcessId;
    return pi.hProcess;
}

}  // namespace

void RunChildIfAsked(int argc, char** argv) {
    if (argc < 4 || std::string(argv[1]) != kChildSwitch) return;
    const auto it = Registry().find(argv[2]);
    if (it == Registry().end()) std::_Exit(126);
    const unsigned limitSeconds = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
    std::thread([limitSeconds] {
        ::Sleep(limitSeconds * 1000);
        std::_Exit(124);
    }).detach();
    const int rc = it->second(Args(argv + 4, argv + argc));
    std::fflush(nullptr);
    std::_Exit(rc);
}

Child::Child(ChildMain fn, const Args& args, unsigned limitSeconds) {
    m_hProcess = StartChild(fn, args, limitSeconds, 0, &m_pid);
    m_fDone = m_hProcess == nullptr;
}

void Child::Kill() {
    if (m_fDone) return;
    m_fKilled = true;
    ::TerminateProcess(m_hProcess, kKilledExitCode);
}

bool Child::Exited() {
    if (!m_fDone && ::WaitForSingleObject(m_hProcess, 0) == WAIT_OBJECT_0) Wait(0);
    return m_fDone;
}

int Child::Wait(int timeoutMs) {
    if (m_fDone) return m_exitCode;
    if (::WaitForSingleObject(m_hProcess, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
        Kill();
        ::WaitForSingleObject(m_hProcess, INFINITE);
    }
    DWORD dwCode = 0;
    m_fDone = true;
    m_exitCode = !m_fKilled && ::GetExitCodeProcess(m_hProcess, &dwCode) ? static_cast<int>(dwCode) : -1;
    return m_exitCode;
}

std::string DebuggerOutput(ChildMain fn, const Args& args, bool fTraced, int* pExitCode) {
    *pExitCode = -1;
    if (!fTraced) {
        Child child(fn, args);
        *pExitCode = child.Wait();
        return "";
    }
    DWORD pid = 0;
    HANDLE hProcess = StartChild(fn, args, 60, DEBUG_ONLY_THIS_PROCESS, &pid);
    if (!hProcess) {
        *pExitCode = kTracingRefused;
        return "";
    }
    std::string text;
    const DWORD dwDeadline = ::GetTickCount() + 20000;
    for (;;) {
        DEBUG_EVENT ev = {};
        const DWORD dwNow = ::GetTickCount();
        if (static_cast<int>(dwDeadline - dwNow) <= 0 ||
            !::WaitForDebugEvent(&ev, dwDeadline - dwNow)) {
            ::TerminateProcess(hProcess, kKilledExitCode);
            ::DebugActiveProcessStop(pid);
            break;
        }
        const DWORD dwCode = ev.dwDebugEventCode;
        if (dwCode == CREATE_PROCESS_DEBUG_EVENT && ev.u.CreateProcessInfo.hFile)
            ::CloseHandle(ev.u.CreateProcessInfo.hFile);
        if (dwCode == LOAD_DLL_DEBUG_EVENT && ev.u.LoadDll.hFile) ::CloseHandle(ev.u.LoadDll.hFile);
        if (dwCode == OUTPUT_DEBUG_STRING_EVENT && !ev.u.DebugString.fUnicode) {
            std::string piece(ev.u.DebugString.nDebugStringLength, '\0');
            ::ReadProcessMemory(hProcess, ev.u.DebugString.lpDebugStringData, &piece[0], piece.size(), nullptr);
            text += piece.c_str();
        }
        // The loader's first breakpoint is the debugger's; any other exception
        // goes back to the child.
        const DWORD dwContinue =
            dwCode == EXCEPTION_DEBUG_EVENT && ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT
                ? DBG_EXCEPTION_NOT_HANDLED
                : DBG_CONTINUE;
        const bool fExited = ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
        if (fExited) *pExitCode = static_cast<int>(ev.u.ExitProcess.dwExitCode);
        ::ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, dwContinue);
        if (fExited) break;
    }
    ::WaitForSingleObject(hProcess, 5000);
    ::CloseHandle(hProcess);
    return text;
}

ProgramResult RunProgram(const std::string& path, const std::string& args, const std::string& env, int timeoutMs) {
    // The shell's quotes become the C runtime's.
    std::string cmd = args;
    for (char& c : cmd) c = c == '\'' ? '"' : c;
    cmd = "\"" + path + "\" " + cmd;
    // The assignments are this process's while the program starts, then undone.
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    std::istringstream assignments(env);
    for (std::string a; assignments >> a;) {
        const std::string name = a.substr(0, a.find('='));
        char szOld[4096];
        const DWORD cch = ::GetEnvironmentVariableA(name.c_str(), szOld, sizeof(szOld));
        saved.emplace_back(name, cch ? std::optional<std::string>(szOld) : std::nullopt);
        ::SetEnvironmentVariableA(name.c_str(), a.c_str() + name.size() + 1);
    }

    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hRead = nullptr, hWrite = nullptr;
    if (!::CreatePipe(&hRead, &hWrite, &sa, 0)) return {-1, ""};
    ::SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = si.hStdError = hWrite;
    PROCESS_INFORMATION pi = {};
    const BOOL fStarted = ::CreateProcessA(path.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    for (auto it = saved.rbegin(); it != saved.rend(); ++it)
        ::SetEnvironmentVariableA(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
    ::CloseHandle(hWrite);
    ProgramResult result = {-1, ""};
    if (fStarted) {
        // A program that overruns is ended, which ends the reads.
        std::thread watchdog([&] {
            if (::WaitForSingleObject(pi.hProcess, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
                ::TerminateProcess(pi.hProcess, kKilledExitCode);
        });
        char buf[4096];
        for (DWORD cb = 0; ::ReadFile(hRead, buf, sizeof(buf), &cb, nullptr);)
            for (DWORD i = 0; i < cb; ++i)
                if (buf[i] != '\r') result.out += buf[i];  // the C runtime's lines end in CR LF
        watchdog.join();
        DWORD dwCode = kKilledExitCode;
        ::GetExitCodeProcess(pi.hProcess, &dwCode);
        result.status = dwCode == kKilledExitCode ? -1 : static_cast<int>(dwCode);
        ::CloseHandle(pi.hProcess);
        ::CloseHandle(pi.hThread);
    }
    ::CloseHandle(hRead);
    return result;
}

#else

void RunChildIfAsked(int, char**) {}  // POSIX children are forks

Child::Child(ChildMain fn, const Args& args, unsigned limitSeconds) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(limitSeconds);
        ::_exit(fn(args));
    }
    m_pid = static_cast<DWORD>(pid);
    m_fDone = pid < 0;
}

void Child::Kill() {
    if (m_fDone) return;
    m_fKilled = true;
    ::kill(static_cast<pid_t>(m_pid), SIGKILL);
}

bool Child::Exited() {
    int status = 0;
    if (!m_fDone && ::waitpid(static_cast<pid_t>(m_pid), &status, WNOHANG) > 0) {
        m_fDone = true;
        m_exitCode = !m_fKilled && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return m_fDone;
}

int Child::Wait(int timeoutMs) {
    if (m_fDone) return m_exitCode;
    const pid_t pid = static_cast<pid_t>(m_pid);
    int status = 0;
    for (int waited = 0; ::waitpid(pid, &status, WNOHANG) == 0; waited += 5) {
        if (waited >= timeoutMs) {
            Kill();
            ::waitpid(pid, &status, 0);
            break;
        }
        ::usleep(5000);
    }
    m_fDone = true;
    m_exitCode = !m_fKilled && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m_exitCode;
}

std::string DebuggerOutput(ChildMain fn, const Args& args, bool fTraced, int* pExitCode) {
    *pExitCode = -1;
    int fds[2];
    if (::pipe(fds) != 0) return "";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(60);
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::close(fds[1]);
        // Not permitted, or traced already.
        if (fTraced && ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(kTracingRefused);
        ::_exit(fn(args));  // no exit-time leak check: it cannot run under a tracer
    }
    ::close(fds[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) > 0;) text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) == pid && WIFSTOPPED(status))
        ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(WSTOPSIG(status))));
    if (WIFEXITED(status)) *pExitCode = WEXITSTATUS(status);
    return text;
}

ProgramResult RunProgram(const std::string& path, const std::string& args, const std::string& env, int timeoutMs) {
    // The shell reads the words; timeout(1) bounds the run.
    const std::string cmd = env + "timeout -s KILL " + std::to_string((timeoutMs + 999) / 1000) + " " + path + " " +
                            args + " 2>&1";
    FILE* f = ::popen(cmd.c_str(), "r");
    if (!f) return {-1, ""};
    ProgramResult result = {-1, ""};
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) result.out.append(buf, n);
    const int st = ::pclose(f);
    // 128 + SIGKILL: timeout's status for a program it killed.
    result.status = WIFEXITED(st) && WEXITSTATUS(st) != 128 + 9 ? WEXITSTATUS(st) : -1;
    return result;
}

#endif

}  // namespace childtest
