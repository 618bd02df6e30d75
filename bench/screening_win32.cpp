// The screening call on Windows against a raw CallNamedPipeA carrying the
// same request to the same in-process named-pipe service: the library's cost
// (registry read, request record, transport) over the bare transaction.
//
// Google Benchmark is not cross-built here, so this program times the two
// itself: in each repetition the two calls alternate, each timed on its own,
// so that both meet the same load; the ratio of a repetition is the library's
// total over the raw total, and the median over the repetitions is reported.
//
//   bench_screening_win32 [--short]
//
// --short runs a few hundred pairs, only to show that it works.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgtransport.h"
#include "ratio.h"
#include "sharedcode/platform/pipeserver.h"

namespace {

constexpr char kPipePath[] = "\\\\.\\pipe\\" VG_SCREENING_PIPE;
constexpr char kAddress[] = "192.168.100.200";
constexpr double kLimit = 1.25;

// Answers every request with a 16-byte reply, on two threads.
class Responder {
public:
    Responder() {
        m_hListener = plat::CreatePipeListener(kPipePath, plat::kPipeAccessOwner, 16);
        if (!m_hListener) return;
        for (int i = 0; i < 2; ++i) m_threads.emplace_back([this] { Serve(); });
    }
    ~Responder() {
        if (!m_hListener) return;
        plat::CancelPipeListener(m_hListener);
        for (std::thread& t : m_threads) t.join();
        plat::ClosePipeListener(m_hListener);
    }
    bool Listening() const { return m_hListener != nullptr; }

private:
    void Serve() {
        static const unsigned char reply[16] = {};
        unsigned char request[4096];
        for (;;) {
            plat::HPIPECONN hConn = plat::AcceptPipeClient(m_hListener, plat::kPipeWaitForever);
            if (!hConn) {
                if (::GetLastError() == ERROR_OPERATION_ABORTED) return;
                continue;
            }
            DWORD cbRead = 0;
            if (plat::ReadPipeMessage(hConn, request, sizeof(request), &cbRead, 5000))
                plat::WritePipeMessage(hConn, reply, sizeof(reply), 5000);
            plat::ClosePipeConnection(hConn);
        }
    }

    plat::HPIPELISTENER m_hListener = nullptr;
    std::vector<std::thread> m_threads;
};

// The request the library sends for HrVGIsBlackListed, made by hand.
struct RawQuery {
    RawQuery() {
        std::memset(&query, 0, sizeof(query));
        query.hdr.cbSize = sizeof(VGIPQUERY);
        query.hdr.dwCommand = VGCMD_ISBLACKLISTED;
        std::strncpy(query.szIPAddress, kAddress, sizeof(query.szIPAddress) - 1);
    }
    bool Exchange() {
        unsigned char reply[16];
        DWORD cbRead = 0;
        return ::CallNamedPipeA(kPipePath, &query, sizeof(query), reply, sizeof(reply), &cbRead, VG_PIPE_WAIT_MS) &&
               cbRead == sizeof(reply);
    }
    VGIPQUERY query;
};

bool ScreeningCall() {
    VGDWORD dwResult = 0;
    return HrVGIsBlackListed(&dwResult, kAddress, 0) == 0;
}

// The configuration key as a server reads it: present, fail-over off.
class ConfigurationKey {
public:
    ConfigurationKey() {
        HKEY hKey = nullptr;
        if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, VG_CONFIGURATION_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                              nullptr) != ERROR_SUCCESS)
            return;
        const DWORD dwZero = 0;
        ::RegSetValueExA(hKey, "FailoverMode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwZero), sizeof(dwZero));
        ::RegCloseKey(hKey);
    }
    ~ConfigurationKey() { ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, VG_CONFIGURATION_KEY); }
};

}  // namespace

int main(int argc, char** argv) {
    const bool fShort = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    const int cRepetitions = fShort ? 3 : 9;
    const int cPairs = fShort ? 200 : 3000;

    ConfigurationKey key;
    Responder responder;
    RawQuery raw;
    if (!responder.Listening() || !ScreeningCall() || !raw.Exchange()) {
        std::printf("the in-process service does not answer (error %lu)\n",
                    static_cast<unsigned long>(::GetLastError()));
        PrintRatio("screening_call_vs_raw_wine", kNotMeasured, kLimit);
        return 1;
    }
    for (int i = 0; i < 200; ++i) ScreeningCall() && raw.Exchange();  // warm up

    typedef std::chrono::steady_clock Clock;
    std::vector<double> ratios;
    for (int r = 0; r < cRepetitions; ++r) {
        Clock::duration tRaw{}, tCall{};
        bool fRawFirst = (r & 1) != 0;
        for (int i = 0; i < cPairs; ++i, fRawFirst = !fRawFirst) {
            for (int k = 0; k < 2; ++k) {
                const bool fRaw = fRawFirst == (k == 0);
                const Clock::time_point t0 = Clock::now();
                const bool ok = fRaw ? raw.Exchange() : ScreeningCall();
                (fRaw ? tRaw : tCall) += Clock::now() - t0;
                if (!ok) {
                    std::printf("%s failed (error %lu)\n", fRaw ? "CallNamedPipeA" : "HrVGIsBlackListed",
                                static_cast<unsigned long>(::GetLastError()));
                    PrintRatio("screening_call_vs_raw_wine", kNotMeasured, kLimit);
                    return 1;
                }
            }
        }
        const double usRaw = std::chrono::duration<double, std::micro>(tRaw).count() / cPairs;
        const double usCall = std::chrono::duration<double, std::micro>(tCall).count() / cPairs;
        std::printf("repetition %d: screening call %.1f us, raw CallNamedPipeA %.1f us\n", r + 1, usCall, usRaw);
        ratios.push_back(usCall / usRaw);
    }
    std::sort(ratios.begin(), ratios.end());
    PrintRatio("screening_call_vs_raw_wine", ratios[ratios.size() / 2], kLimit);
    return 0;
}
