// vigilond as a child process of a test: started on the test's pipe folder
// and registry file (VgTestEnv's), with its state under the test's folder
// and its log in a file there.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class VigilondProcess {
public:
    explicit VigilondProcess(const std::string& dir) : m_dir(dir) {}
    ~VigilondProcess() { Kill(); }

    const std::string StateDir() const { return m_dir + "/state"; }
    const std::string IniPath() const { return m_dir + "/state/vigilon.ini"; }
    const std::string LogPath() const { return m_dir + "/vigilond.log"; }

    // Starts it and waits until both pipes listen; false after 10 s.
    bool Start(const std::vector<std::string>& extra = {}) {
        const char* szPipes = ::getenv("VIGILON_PIPE_DIR");
        const std::string pipes = szPipes ? szPipes : "";
        ::unlink((pipes + "/W.A.R.D.E.N.").c_str());
        ::unlink((pipes + "/Quartermast").c_str());
        m_pid = ::fork();
        if (m_pid == 0) {
            FILE* log = ::freopen(LogPath().c_str(), "a", stderr);
            (void)log;
            std::vector<std::string> args = {VIGILOND_PATH, "--state-dir", StateDir()};
            args.insert(args.end(), extra.begin(), extra.end());
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        for (int i = 0; i < 1000; ++i) {
            struct stat st;
            if (::stat((pipes + "/W.A.R.D.E.N.").c_str(), &st) == 0 && ::stat((pipes + "/Quartermast").c_str(), &st) == 0)
                return true;
            int status;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Sends a signal and waits up to timeoutMs for the exit; the exit code,
    // or -1 when it did not exit normally in time.
    int Stop(int sig = SIGTERM, int timeoutMs = 5000) {
        if (m_pid <= 0) return -1;
        ::kill(m_pid, sig);
        int status = 0;
        for (int waited = 0; ::waitpid(m_pid, &status, WNOHANG) == 0; waited += 5) {
            if (waited >= timeoutMs) {
                Kill();
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void Kill() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

    void Signal(int sig) { ::kill(m_pid, sig); }
    pid_t Pid() const { return m_pid; }

    std::string Log() const {
        std::ifstream f(LogPath());
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

private:
    std::string m_dir;
    pid_t m_pid = -1;
};
