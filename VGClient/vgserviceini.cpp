// The service's own "Enable" switch, read from its INI file.
#include "VGClient/vgcontrol.h"
#include "sharedcode/ini/smartini.h"

bool VgReadServiceEnabled() {
    BYTE fEnabled = 0;
    // Binds to the cached INI path; without a path or a file the default stands.
    CSmartIni ini;
    {
        CSmartIni::CCacheLock lock(&ini);
        const bool fWasNoRefresh = ini.IsNoRefresh();
        ini.SetNoRefresh(true);
        if (HrFailed(ini.HrGetBool("System", "Enable", 0, &fEnabled))) fEnabled = 0;
        ini.SetNoRefresh(fWasNoRefresh);
    }
    return fEnabled != 0;
}
