// The named-setting exports: one forwarder per row of vgsettings.inc and
// direction, passing its section and key to the typed accessor.
#include "VGClient/VAVarive32.h"

// The forwarders' own parameters, named as the public header's declarations
// name them, in the order the accessors take them.
#define VG_SETTING_SET_ARGS_BYTE bValue
#define VG_SETTING_SET_ARGS_BOOL fValue
#define VG_SETTING_SET_ARGS_WORD wValue
#define VG_SETTING_SET_ARGS_DWORD dwValue
#define VG_SETTING_SET_ARGS_SZ szValue
#define VG_SETTING_GET_ARGS_BYTE pbValue
#define VG_SETTING_GET_ARGS_BOOL pfValue
#define VG_SETTING_GET_ARGS_WORD pwValue
#define VG_SETTING_GET_ARGS_DWORD pdwValue
#define VG_SETTING_GET_ARGS_SZ szValue, cchValue

#define VG_SETTING_GETTER_(section, key, type, getter)                                               \
    VGHRESULT VGAPI getter(VGSESSIONID idSession, VG_SETTING_GET_PARAMS_##type, VGDWORD dwReserved) { \
        return HrVGConfigGet##type(idSession, section, key, VG_SETTING_GET_ARGS_##type, dwReserved);  \
    }
#define VG_SETTING_SETTER_(section, key, type, setter)                                               \
    VGHRESULT VGAPI setter(VGSESSIONID idSession, VG_SETTING_SET_PARAMS_##type, VGDWORD dwReserved) { \
        return HrVGConfigSet##type(idSession, section, key, VG_SETTING_SET_ARGS_##type, dwReserved);  \
    }

#define VG_SETTING(section, key, type, getter, setter) \
    VG_SETTING_GETTER_(section, key, type, getter)     \
    VG_SETTING_SETTER_(section, key, type, setter)
#define VG_SETTING_GETONLY(section, key, type, getter) VG_SETTING_GETTER_(section, key, type, getter)
#include "VGClient/vgsettings.inc"
#undef VG_SETTING
#undef VG_SETTING_GETONLY
