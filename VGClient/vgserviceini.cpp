// The service's own "Enable" switch, read from its INI file.
#include "VGClient/vgcontrol.h"

bool VgReadServiceEnabled(const char* szIniPath) {
    (void)szIniPath;
    return false;
}
