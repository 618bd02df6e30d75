// An in-process stand-in for the screening service, for the benchmarks: a
// private pipe folder and registry file, a listener on one pipe, and threads
// that read each request frame and hand the connection to Answer.
#pragma once

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/vgwire.h"

inline bool ReadAll(int fd, void* pv, size_t cb) {
    char* p = static_cast<char*>(pv);
    while (cb) {
        ssize_t n = ::recv(fd, p, cb, 0);
        if (n <= 0) return false;
        p += n;
        cb -= static_cast<size_t>(n);
    }
    return true;
}

inline bool WriteAll(int fd, const void* pv, size_t cb) {
    const char* p = static_cast<const char*>(pv);
    while (cb) {
        ssize_t n = ::send(fd, p, cb, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        cb -= static_cast<size_t>(n);
    }
    return true;
}

// A list query done by hand, the reference of the screening benchmarks:
// connect, one frame out, one 16-byte reply frame in, close.
class RawQuery {
public:
    RawQuery(const sockaddr_un& addr, const char* szIPAddress) : m_addr(addr) {
        memset(m_request, 0, sizeof(m_request));
        m_request[0] = sizeof(VGIPQUERY);
        VGIPQUERY* q = reinterpret_cast<VGIPQUERY*>(m_request + 4);
        q->hdr.cbSize = sizeof(VGIPQUERY);
        q->hdr.dwCommand = VGCMD_ISBLACKLISTED;
        strncpy(q->szIPAddress, szIPAddress, sizeof(q->szIPAddress) - 1);
    }
    bool Exchange() {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&m_addr), sizeof(m_addr)) == 0 &&
                  ::send(fd, m_request, sizeof(m_request), MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(m_request)) &&
                  ReadAll(fd, m_reply, sizeof(m_reply));
        ::close(fd);
        return ok;
    }

private:
    sockaddr_un m_addr;
    unsigned char m_request[4 + sizeof(VGIPQUERY)];
    unsigned char m_reply[4 + 16];
};

class BenchService {
public:
    virtual ~BenchService() { Stop(); }
    const sockaddr_un& Address() const { return m_addr; }

protected:
    // Listens on $VIGILON_PIPE_DIR/szPipe in a new folder, with a registry
    // file the library reads on every call.
    BenchService(const char* szPipe, int backlog) {
        char tmpl[] = "/tmp/vgbench.XXXXXX";
        m_dir = ::mkdtemp(tmpl);
        ::setenv("VIGILON_PIPE_DIR", m_dir.c_str(), 1);
        m_registry = m_dir + "/registry.reg";
        std::ofstream(m_registry) << "Windows Registry Editor Version 5.00\r\n\r\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanetic\\Postern\\Vigilon\\Configuration]\r\n"
                                     "\"FailoverMode\"=dword:00000000\r\n";
        ::setenv("VIGILON_REGISTRY", m_registry.c_str(), 1);
        m_path = m_dir + "/" + szPipe;
        memset(&m_addr, 0, sizeof(m_addr));
        m_addr.sun_family = AF_UNIX;
        strcpy(m_addr.sun_path, m_path.c_str());
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&m_addr), sizeof(m_addr));
        ::listen(m_listen, backlog);
    }

    // Starts the serving threads; called by the derived constructor once
    // Answer can run.
    void Start(int cThreads) {
        for (int i = 0; i < cThreads; ++i) m_threads.emplace_back([this] { Serve(); });
    }

    // Writes the answer to a request that has been read whole.
    virtual void Answer(int fd) = 0;

    void Stop() {
        if (m_listen < 0) return;
        m_stop = true;
        ::shutdown(m_listen, SHUT_RDWR);
        for (auto& t : m_threads) t.join();
        ::close(m_listen);
        m_listen = -1;
        ::unlink(m_path.c_str());
        ::unlink(m_registry.c_str());
        ::rmdir(m_dir.c_str());
    }

private:
    void Serve() {
        while (!m_stop) {
            int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0) continue;
            uint32_t cb = 0;
            unsigned char req[4096];
            if (ReadAll(fd, &cb, 4) && cb <= sizeof(req) && ReadAll(fd, req, cb)) Answer(fd);
            ::close(fd);
        }
    }

    std::string m_dir, m_path, m_registry;
    sockaddr_un m_addr;
    int m_listen = -1;
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};
