// vigilond as a child process of a test: started on the test's pipe folder
// and registry file (VgTestEnv's), with its state under the test's folder
// and its log in a file there.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/child_process.h"
#include "tests/test_env.h"

// The whole of a file; empty when it cannot be read.
inline std::string ReadText(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Polls until pred holds, for at most timeoutMs; whether it held.
inline bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 3000) {
    for (int waited = 0; !pred(); waited += 10) {
        if (waited >= timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The child's side: args are the log file, then vigilond's arguments.
inline int ExecVigilond(const childtest::Args& args) {
    if (!::freopen(args[0].c_str(), "a", stderr)) return 126;
    std::vector<char*> argv{const_cast<char*>(VIGILOND_PATH)};
    for (size_t i = 1; i < args.size(); ++i) argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    return 127;
}

class VigilondProcess {
public:
    explicit VigilondProcess(const std::string& dir) : m_dir(dir) {}

    const std::string StateDir() const { return m_dir + "/state"; }
    const std::string IniPath() const { return m_dir + "/state/vigilon.ini"; }
    const std::string LogPath() const { return m_dir + "/vigilond.log"; }

    // Starts it and waits until both pipes listen; false after 10 s, or at
    // once when it exits first.
    bool Start(const std::vector<std::string>& extra = {}) {
        const std::string pipes = ::getenv("VIGILON_PIPE_DIR");
        const std::string screening = pipes + "/W.A.R.D.E.N.", management = pipes + "/Quartermast";
        ::unlink(screening.c_str());
        ::unlink(management.c_str());
        childtest::Args args = {LogPath(), "--state-dir", StateDir()};
        args.insert(args.end(), extra.begin(), extra.end());
        m_child.reset(new childtest::Child(ExecVigilond, args, 300));
        struct stat st;
        const auto listening = [&] {
            return ::stat(screening.c_str(), &st) == 0 && ::stat(management.c_str(), &st) == 0;
        };
        return WaitFor([&] { return listening() || m_child->Exited(); }, 10000) && !m_child->Exited();
    }

    // Sends a signal and waits up to timeoutMs for the exit; the exit code,
    // or -1 when it did not exit normally in time.
    int Stop(int sig = SIGTERM, int timeoutMs = 5000) {
        if (!m_child) return -1;
        Signal(sig);
        const int code = m_child->Wait(timeoutMs);
        m_child.reset();
        return code;
    }

    // Ends it at once, as kill -9 does.
    void Kill() { m_child.reset(); }
    void Signal(int sig) { ::kill(static_cast<pid_t>(m_child->Pid()), sig); }

    std::string Log() const { return ReadText(LogPath()); }

private:
    std::string m_dir;
    std::unique_ptr<childtest::Child> m_child;  // killed and reaped with it
};

// A test with a vigilond of its own, not yet started.
class VigilondTest : public VgTestEnv {
protected:
    void SetUp() override {
        VgTestEnv::SetUp();
        m_process.reset(new VigilondProcess(m_dir));
    }
    void TearDown() override {
        m_process.reset();
        VgTestEnv::TearDown();
    }
    // Starts it, with these lines as a new settings file (keys not named
    // keep their defaults).
    void StartWith(const std::string& ini = "", const std::vector<std::string>& extra = {}) {
        if (!ini.empty()) {
            ::mkdir(m_process->StateDir().c_str(), 0700);
            std::ofstream(m_process->IniPath()) << ini;
        }
        ASSERT_TRUE(m_process->Start(extra));
    }
    std::unique_ptr<VigilondProcess> m_process;
};
