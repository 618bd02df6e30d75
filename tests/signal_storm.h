// Signals at the calling thread while it waits: SIGALRM every 200 ms from a
// helper thread, with a handler that does nothing, installed with or without
// SA_RESTART. The storm stops by itself after 8 s, so that a wait which
// starts over at every signal still ends and fails its test.
#pragma once

#include <memory>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

class SignalStorm {
public:
    explicit SignalStorm(bool fRestart) {
        struct sigaction sa = {};
        sa.sa_handler = [](int) {};
        sa.sa_flags = fRestart ? SA_RESTART : 0;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGALRM, &sa, &m_old);
        m_thread = std::thread([this, target = ::pthread_self()] {
            for (int i = 0; i < 40 && !m_stop; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                ::pthread_kill(target, SIGALRM);
            }
        });
    }
    ~SignalStorm() {
        m_stop = true;
        m_thread.join();
        ::sigaction(SIGALRM, &m_old, nullptr);
    }

private:
    std::atomic<bool> m_stop{false};
    struct sigaction m_old;
    std::thread m_thread;
};
#endif

// Runs body(storm) without signals (storm 0), then under a storm without
// SA_RESTART (1) and with it (2). Windows has no signals: storm 0 alone.
template <typename Body>
void WithSignalStorms(Body body) {
#ifdef _WIN32
    body(0);
#else
    for (int storm = 0; storm < 3; ++storm) {
        std::unique_ptr<SignalStorm> signals(storm ? new SignalStorm(storm == 2) : nullptr);
        body(storm);
    }
#endif
}
