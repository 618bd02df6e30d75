#include "tests/child_process.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#ifdef _WIN32
#include <windows.h>

#include <thread>
#else
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace childtest {

namespace {

std::map<std::string, ChildMain>& Registry() {
    static std::map<std::string, ChildMain> s_registry;
    return s_registry;
}

// A name no other object of this or another test program has.
std::string UniqueName(const char* szKind) {
    static std::atomic<unsigned> s_serial{0};
#ifdef _WIN32
    const unsigned long pid = ::GetCurrentProcessId();
    const char* szPrefix = "Local\\vgchild-";
#else
    const unsigned long pid = static_cast<unsigned long>(::getpid());
    const char* szPrefix = "/vgchild-";
#endif
    return szPrefix + std::to_string(pid) + "-" + szKind + std::to_string(s_serial++);
}

}  // namespace

Registration::Registration(const char* szName, ChildMain fn) { Registry()[szName] = fn; }

Child::Child(Child&& other) noexcept
    : m_pid(other.m_pid),
      m_hProcess(other.m_hProcess),
      m_fKilled(other.m_fKilled),
      m_fDone(other.m_fDone),
      m_exitCode(other.m_exitCode) {
    other.m_hProcess = nullptr;
    other.m_fDone = true;
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

// One argument as the C runtime's command-line parser reads it back.
void AppendQuoted(std::string* cmd, const std::string& arg) {
    if (!cmd->empty()) *cmd += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        *cmd += arg;
        return;
    }
    *cmd += '"';
    size_t cBackslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++cBackslashes;
            continue;
        }
        // Backslashes double only before a quote.
        cmd->append(c == '"' ? 2 * cBackslashes + 1 : cBackslashes, '\\');
        cBackslashes = 0;
        *cmd += c;
    }
    cmd->append(2 * cBackslashes, '\\');
    *cmd += '"';
}

std::string ProgramPath() {
    char sz[MAX_PATH + 1] = {};
    const DWORD cch = ::GetModuleFileNameA(nullptr, sz, MAX_PATH);
    return std::string(sz, cch < MAX_PATH ? cch : MAX_PATH);
}

// Starts this program again as the child running fn.
HANDLE StartChild(ChildMain fn, const Args& args, unsigned limitSeconds, DWORD dwFlags, DWORD* pPid) {
    const std::string program = ProgramPath();
    std::string cmd;
    AppendQuoted(&cmd, program);
    AppendQuoted(&cmd, kChildSwitch);
    AppendQuoted(&cmd, NameOf(fn));
    AppendQuoted(&cmd, std::to_string(limitSeconds));
    for (const std::string& arg : args) AppendQuoted(&cmd, arg);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::fflush(nullptr);
    if (!::CreateProcessA(program.c_str(), &cmd[0], nullptr, nullptr, FALSE, dwFlags, nullptr, nullptr, &si, &pi))
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

Child::~Child() {
    if (!m_fDone) {
        Kill();
        Wait();
    }
    if (m_hProcess) ::CloseHandle(m_hProcess);
}

void Child::Kill() {
    if (m_fDone) return;
    m_fKilled = true;
    ::TerminateProcess(m_hProcess, kKilledExitCode);
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

Signal::Signal() : m_name(UniqueName("signal")), m_fOwner(true) {
    m_handle = ::CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, m_name.c_str());
}

Signal::Signal(const std::string& name) : m_name(name), m_fOwner(false) {
    m_handle = ::OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str());
}

Signal::~Signal() {
    if (m_handle) ::CloseHandle(m_handle);
}

void Signal::Raise() { ::ReleaseSemaphore(m_handle, 1, nullptr); }

bool Signal::Wait(int timeoutMs) {
    return m_handle && ::WaitForSingleObject(m_handle, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

SharedMemory::SharedMemory(size_t cb) : m_name(UniqueName("memory")), m_cb(cb), m_fOwner(true) {
    m_handle = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(cb),
                                    m_name.c_str());
    if (m_handle) m_pv = ::MapViewOfFile(m_handle, FILE_MAP_ALL_ACCESS, 0, 0, cb);
}

SharedMemory::SharedMemory(const std::string& name, size_t cb) : m_name(name), m_cb(cb), m_fOwner(false) {
    m_handle = ::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    if (m_handle) m_pv = ::MapViewOfFile(m_handle, FILE_MAP_ALL_ACCESS, 0, 0, cb);
}

SharedMemory::~SharedMemory() {
    if (m_pv) ::UnmapViewOfFile(m_pv);
    if (m_handle) ::CloseHandle(m_handle);
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
        DWORD dwContinue = DBG_CONTINUE;
        switch (ev.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                if (ev.u.CreateProcessInfo.hFile) ::CloseHandle(ev.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (ev.u.LoadDll.hFile) ::CloseHandle(ev.u.LoadDll.hFile);
                break;
            case OUTPUT_DEBUG_STRING_EVENT: {
                const OUTPUT_DEBUG_STRING_INFO& info = ev.u.DebugString;
                std::string piece(info.nDebugStringLength, '\0');
                SIZE_T cbRead = 0;
                ::ReadProcessMemory(hProcess, info.lpDebugStringData, &piece[0], piece.size(), &cbRead);
                piece.resize(cbRead);
                if (!piece.empty() && piece.back() == '\0') piece.pop_back();
                if (!info.fUnicode) text += piece;
                break;
            }
            case EXCEPTION_DEBUG_EVENT:
                // The loader's first breakpoint is the debugger's; anything
                // else goes back to the child.
                if (ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                    dwContinue = DBG_EXCEPTION_NOT_HANDLED;
                break;
            default:
                break;
        }
        const bool fExited = ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
        if (fExited) *pExitCode = static_cast<int>(ev.u.ExitProcess.dwExitCode);
        ::ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, dwContinue);
        if (fExited) break;
    }
    ::WaitForSingleObject(hProcess, 5000);
    ::CloseHandle(hProcess);
    return text;
}

namespace {

// Shell words: blanks separate them, quotes group and are dropped.
std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool fInWord = false;
    char quote = 0;
    for (char c : text) {
        if (quote) {
            if (c == quote) quote = 0;
            else word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            fInWord = true;
        } else if (c == ' ' || c == '\t') {
            if (fInWord) words.push_back(word);
            word.clear();
            fInWord = false;
        } else {
            word += c;
            fInWord = true;
        }
    }
    if (fInWord) words.push_back(word);
    return words;
}

// This process's environment with the assignments added: an environment block.
std::string EnvironmentWith(const std::vector<std::string>& assignments) {
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=', 1)); };
    std::string block;
    char* pEnv = ::GetEnvironmentStringsA();
    for (const char* p = pEnv; p && *p; p += std::strlen(p) + 1) {
        bool fReplaced = false;
        for (const std::string& a : assignments) fReplaced |= _stricmp(nameOf(a).c_str(), nameOf(p).c_str()) == 0;
        if (!fReplaced) block.append(p).push_back('\0');
    }
    if (pEnv) ::FreeEnvironmentStringsA(pEnv);
    for (const std::string& a : assignments) block.append(a).push_back('\0');
    block.push_back('\0');
    return block;
}

}  // namespace

ProgramResult RunProgram(const std::string& path, const std::string& args, const std::string& env, int timeoutMs) {
    std::string cmd;
    AppendQuoted(&cmd, path);
    for (const std::string& word : Words(args)) AppendQuoted(&cmd, word);
    std::string block = EnvironmentWith(Words(env));

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
    const BOOL fStarted =
        ::CreateProcessA(path.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, &block[0], nullptr, &si, &pi);
    ::CloseHandle(hWrite);
    if (!fStarted) {
        ::CloseHandle(hRead);
        return {-1, ""};
    }
    ::CloseHandle(pi.hThread);

    // Polled, so that a program that never ends cannot hold the test.
    ProgramResult result = {-1, ""};
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        DWORD cbAvailable = 0;
        const BOOL fOpen = ::PeekNamedPipe(hRead, nullptr, 0, nullptr, &cbAvailable, nullptr);
        if (fOpen && cbAvailable > 0) {
            char buf[4096];
            DWORD cbRead = 0;
            if (::ReadFile(hRead, buf, sizeof(buf), &cbRead, nullptr)) result.out.append(buf, cbRead);
            continue;
        }
        if (!fOpen) break;  // the program and its handles are gone
        if (::GetTickCount() - dwStart > static_cast<DWORD>(timeoutMs)) {
            ::TerminateProcess(pi.hProcess, kKilledExitCode);
            break;
        }
        ::Sleep(2);
    }
    ::CloseHandle(hRead);
    DWORD dwCode = kKilledExitCode;
    if (::WaitForSingleObject(pi.hProcess, 5000) == WAIT_OBJECT_0) ::GetExitCodeProcess(pi.hProcess, &dwCode);
    ::CloseHandle(pi.hProcess);
    result.status = dwCode == kKilledExitCode ? -1 : static_cast<int>(dwCode);
    // The C runtime writes text lines ending in CR LF.
    std::string text;
    for (size_t i = 0; i < result.out.size(); ++i)
        if (!(result.out[i] == '\r' && i + 1 < result.out.size() && result.out[i + 1] == '\n')) text += result.out[i];
    result.out = text;
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

Child::~Child() {
    if (!m_fDone) {
        Kill();
        Wait();
    }
}

void Child::Kill() {
    if (m_fDone) return;
    m_fKilled = true;
    ::kill(static_cast<pid_t>(m_pid), SIGKILL);
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

Signal::Signal() : m_name(UniqueName("signal")), m_fOwner(true) {
    sem_t* sem = ::sem_open(m_name.c_str(), O_CREAT | O_EXCL, 0600, 0);
    m_handle = sem == SEM_FAILED ? nullptr : sem;
}

Signal::Signal(const std::string& name) : m_name(name), m_fOwner(false) {
    sem_t* sem = ::sem_open(m_name.c_str(), 0);
    m_handle = sem == SEM_FAILED ? nullptr : sem;
}

Signal::~Signal() {
    if (m_handle) ::sem_close(static_cast<sem_t*>(m_handle));
    if (m_fOwner) ::sem_unlink(m_name.c_str());
}

void Signal::Raise() {
    if (m_handle) ::sem_post(static_cast<sem_t*>(m_handle));
}

bool Signal::Wait(int timeoutMs) {
    if (!m_handle) return false;
    struct timespec deadline;
    ::clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += (timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) deadline.tv_sec += 1, deadline.tv_nsec -= 1000000000L;
    int rc;
    while ((rc = ::sem_timedwait(static_cast<sem_t*>(m_handle), &deadline)) != 0 && errno == EINTR) {
    }
    return rc == 0;
}

SharedMemory::SharedMemory(size_t cb) : m_name(UniqueName("memory")), m_cb(cb), m_fOwner(true) {
    const int fd = ::shm_open(m_name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd < 0) return;
    if (::ftruncate(fd, static_cast<off_t>(cb)) == 0) {
        void* pv = ::mmap(nullptr, cb, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        m_pv = pv == MAP_FAILED ? nullptr : pv;
    }
    ::close(fd);
}

SharedMemory::SharedMemory(const std::string& name, size_t cb) : m_name(name), m_cb(cb), m_fOwner(false) {
    const int fd = ::shm_open(m_name.c_str(), O_RDWR, 0);
    if (fd < 0) return;
    void* pv = ::mmap(nullptr, cb, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    m_pv = pv == MAP_FAILED ? nullptr : pv;
    ::close(fd);
}

SharedMemory::~SharedMemory() {
    if (m_pv) ::munmap(m_pv, m_cb);
    if (m_fOwner) ::shm_unlink(m_name.c_str());
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
