// vigilond: the screening service. Runs in the foreground until SIGTERM or
// SIGINT; SIGHUP re-reads the settings.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "service/firststart.h"
#include "service/log.h"
#include "service/mgmt.h"
#include "service/server.h"
#include "service/service.h"
#include "sharedcode/platform/daemon.h"
#include "sharedcode/hresult.h"
#include "sharedcode/ipc.h"
#include "sharedcode/platform/namedevent.h"

namespace {

const char kUsage[] =
    "usage: vigilond [options]\n"
    "\n"
    "The screening service: answers the screening pipe \\\\.\\pipe\\W.A.R.D.E.N. and the\n"
    "management pipe \\\\.\\pipe\\Quartermast, in the foreground, logging to standard error.\n"
    "What is missing at start is made: the state folder, the database, the registry\n"
    "file, the settings file and PNASRes.dll.\n"
    "\n"
    "  --pipe-dir DIR    folder of the pipes' sockets (VIGILON_PIPE_DIR, /run/vigilon)\n"
    "  --state-dir DIR   database and PNASRes.dll (VIGILON_STATE_DIR, /var/lib/vigilon)\n"
    "  --registry FILE   registry file (VIGILON_REGISTRY, /etc/vigilon/registry.reg)\n"
    "  --ini FILE        settings file (the registry's IniPath, else STATE_DIR/vigilon.ini)\n"
    "  --workers N       workers of the screening pipe (one per CPU, at least 2); the\n"
    "                    management pipe has 2\n"
    "  --wake-event NAME the wake-up event to wait on (Global\\W.A.R.D.E.N.), so that\n"
    "                    services side by side (tests) do not take each other's\n"
    "                    wake-ups; the library sets only the default one\n"
    "  --add-admin NAME  store an administrator of the management pipe: reads the\n"
    "                    password from the terminal (or a line of standard input),\n"
    "                    keeps its crypt(3) hash in the database, and exits (run it\n"
    "                    while the service is stopped: it holds its database alone)\n"
    "  --help            this text\n"
    "\n"
    "SIGTERM and SIGINT stop the service, SIGHUP re-reads the settings, and so does\n"
    "setting the wake-up event.\n";

constexpr char kWakeEvent[] = "Global\\W.A.R.D.E.N.";

const char* EnvOr(const char* szName, const char* szDefault) {
    const char* sz = std::getenv(szName);
    return sz && *sz ? sz : szDefault;
}

// One screening worker per CPU: a request is a few microseconds of work, and
// a worker more than there are CPUs only adds a thread switch to each request
// (an idle worker is woken where a busy one would have taken the next client).
unsigned DefaultWorkers() {
    const unsigned cpus = std::thread::hardware_concurrency();
    return cpus < 2 ? 2 : cpus > 64 ? 64 : cpus;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vgsvc;
    std::string pipeDir = EnvOr("VIGILON_PIPE_DIR", "/run/vigilon");
    Paths paths;
    paths.stateDir = EnvOr("VIGILON_STATE_DIR", "/var/lib/vigilon");
    paths.registry = EnvOr("VIGILON_REGISTRY", "/etc/vigilon/registry.reg");
    std::string wakeEvent = kWakeEvent;
    unsigned workers = DefaultWorkers();
    std::string addAdmin;
    bool fAddAdmin = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vigilond: %s needs a value\n%s", arg.c_str(), kUsage);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--pipe-dir") {
            pipeDir = value();
        } else if (arg == "--state-dir") {
            paths.stateDir = value();
        } else if (arg == "--registry") {
            paths.registry = value();
        } else if (arg == "--ini") {
            paths.iniPath = value();
        } else if (arg == "--add-admin") {
            addAdmin = value();
            fAddAdmin = true;
        } else if (arg == "--wake-event") {
            wakeEvent = value();
            if (wakeEvent.empty()) {
                std::fprintf(stderr, "vigilond: --wake-event needs a name\n%s", kUsage);
                return 2;
            }
        } else if (arg == "--workers") {
            workers = static_cast<unsigned>(std::strtoul(value().c_str(), nullptr, 10));
            if (workers < 1 || workers > 64) workers = DefaultWorkers();
        } else {
            std::fprintf(stderr, "vigilond: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (fAddAdmin) return AddAdministrator(paths.stateDir, addAdmin);
    // The platform layer and the library read these, as they do in clients.
    plat::SetEnvironmentVariableA("VIGILON_PIPE_DIR", pipeDir.c_str());
    plat::SetEnvironmentVariableA("VIGILON_REGISTRY", paths.registry.c_str());
    if (!plat::HoldServiceSignals()) {
        std::fprintf(stderr, "vigilond: cannot take the stop signals\n");
        return 1;
    }

    Log::Event(kInfo, msg::kServiceStarting);
    std::string error;
    if (!PrepareFirstStart(paths, &error)) {
        Log::Text(kError, error);
        return 1;
    }
    Service service;
    if (HrFailed(service.Open(paths.stateDir, paths.iniPath))) return 1;
    Log::Event(kInfo, msg::kConfiguration, paths.iniPath);
    service.LogStartup();

    Server server(service, workers, 2);
    if (HrFailed(server.Start())) {
        Log::Text(kError, "cannot listen on the pipes in " + pipeDir);
        return 1;
    }

    // The wake-up event and the settings file are watched beside the
    // signals; maintenance runs every IOInterval seconds.
    std::atomic<bool> fStop{false};
    std::thread monitor([&] {
        // Administration tools of other users set it: everyone may (within
        // the umask, which the unit narrows to the group).
        CRVN::IPC::CSecurityAttributes sa;
        const bool fAttributes = HrSucceeded(sa.AddWellKnown(1)) && HrSucceeded(sa.Build());
        plat::HEVENT hEvent = plat::CreateEventA(fAttributes ? sa.Get() : nullptr, wakeEvent.c_str());
        int64_t nextMaintenance = 0;
        while (!fStop.load()) {
            const bool fWoken = hEvent && plat::WaitForEvent(hEvent, 500) == plat::kWaitObject0;
            if (!hEvent) std::this_thread::sleep_for(std::chrono::milliseconds(500));
            if (fStop.load()) break;
            service.ReloadSettings(fWoken);
            const int64_t now = service.Now();
            if (now >= nextMaintenance) {
                service.Maintain();
                nextMaintenance = now + std::max<uint32_t>(1, service.GetSettings().Current()->ioIntervalSeconds);
            }
        }
        if (hEvent) plat::CloseEvent(hEvent);
        plat::UnlinkEventA(wakeEvent.c_str());
    });

    for (;;) {
        const plat::ServiceSignal sig = plat::WaitServiceSignal(1000);
        if (sig == plat::kServiceSignalStop) break;
        if (sig == plat::kServiceSignalReload) service.ReloadSettings(true);
    }
    Log::Event(kInfo, msg::kServiceStopping);
    fStop = true;
    server.Stop();
    monitor.join();
    Log::Event(kInfo, msg::kSavingDatabases);
    service.Close();
    return 0;
}
