// Win32 side of platform/registry.h.
//
// The library reads the same few keys on every call, and each opening, query
// and closing is a trip to the kernel (under Wine, to its server). A key of
// HKEY_LOCAL_MACHINE opened for reading is therefore watched: its values are
// read once into a snapshot, change notices (RegNotifyChangeKeyValue) are
// armed on one event, and later openings are served from the snapshot for
// as long as the event has not fired: one wait of no time instead of five
// trips. The notices are signalled by the change itself before the writer's
// call returns, so every read still sees the registry as it is now: the
// key's own for a value set or deleted, its parent's for the key deleted
// (which Wine does not report on the key itself). A missing key is watched
// through its nearest existing ancestor, whose notice fires when the key's
// path begins to appear. A false alarm (Windows before 8 also fires a notice
// when the arming thread ends) only costs a fresh read. Anything else goes to
// the system as it stands.
#include <windows.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "sharedcode/platform/registry.h"

#ifndef REG_NOTIFY_THREAD_AGNOSTIC
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000L
#endif

namespace {
// Outside namespace plat, where HKEY is the system's type.
::HKEY NativeLocalMachine() { return HKEY_LOCAL_MACHINE; }
}  // namespace

namespace plat {

namespace {

struct Value {
    std::string name;
    DWORD dwType;
    std::vector<BYTE> data;
};
typedef std::vector<Value> Snapshot;

// One watched key: its handle and its nearest existing ancestor's, both
// with a notice armed on one event, and its values; or, while the key is
// missing, only the ancestor's notice, which fires when the key's path
// begins to appear.
struct Watch {
    std::string subKey;
    ::HKEY h = nullptr;
    ::HKEY hAncestor = nullptr;
    ::HANDLE hChanged = nullptr;  // auto-reset: a wait that sees it consumes it
    std::shared_ptr<const Snapshot> values;
    bool fMissing = false;
};

constexpr size_t kMaxWatches = 8;

// Guards the watches; a slim lock needs no construction or destruction, so
// callers late at exit find it as it was.
SRWLOCK g_watchLock = SRWLOCK_INIT;

class WatchLock {
public:
    WatchLock() { ::AcquireSRWLockExclusive(&g_watchLock); }
    ~WatchLock() { ::ReleaseSRWLockExclusive(&g_watchLock); }
    WatchLock(const WatchLock&) = delete;
    WatchLock& operator=(const WatchLock&) = delete;
};

std::vector<Watch>& Watches() {
    static std::vector<Watch>* s_watches = new std::vector<Watch>;
    return *s_watches;
}

bool SameName(const std::string& a, const char* b) { return ::lstrcmpiA(a.c_str(), b ? b : "") == 0; }

// Reads every value of h; false when the system refuses.
bool ReadValues(::HKEY h, Snapshot* pValues) {
    DWORD cValues = 0, cchMaxName = 0, cbMaxData = 0;
    if (::RegQueryInfoKeyA(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &cValues, &cchMaxName,
                           &cbMaxData, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    std::vector<char> name(cchMaxName + 1);
    std::vector<BYTE> data(cbMaxData + 1);
    for (DWORD i = 0; i < cValues; ++i) {
        DWORD cchName = static_cast<DWORD>(name.size()), cbData = static_cast<DWORD>(data.size()), dwType = 0;
        if (::RegEnumValueA(h, i, name.data(), &cchName, nullptr, &dwType, data.data(), &cbData) != ERROR_SUCCESS)
            return false;  // changed while being read: the notice has fired, the next opening reads again
        pValues->push_back(Value{std::string(name.data(), cchName), dwType,
                                 std::vector<BYTE>(data.begin(), data.begin() + cbData)});
    }
    return true;
}

// Arms the notice of h for the filter; Windows 8 and later keep it when the
// arming thread ends.
LONG ArmNotice(::HKEY h, DWORD dwFilter, ::HANDLE hChanged) {
    const LONG err = ::RegNotifyChangeKeyValue(h, FALSE, dwFilter | REG_NOTIFY_THREAD_AGNOSTIC, hChanged, TRUE);
    return err == ERROR_SUCCESS ? err : ::RegNotifyChangeKeyValue(h, FALSE, dwFilter, hChanged, TRUE);
}

// Arms the notices of the watch w again and reads the key's values: its
// nearest existing ancestor's notice for names (the key deleted or, while
// missing, its path created), then the key's own for names and values.
LONG Refresh(Watch& w) {
    for (::HKEY* ph : {&w.h, &w.hAncestor}) {
        if (*ph) ::RegCloseKey(*ph);
        *ph = nullptr;
    }
    w.values.reset();
    w.fMissing = false;
    // Closing a key signals its pending notice, so the new notices get an
    // event of their own.
    if (w.hChanged) ::CloseHandle(w.hChanged);
    w.hChanged = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!w.hChanged) return static_cast<LONG>(::GetLastError());
    std::string ancestor = w.subKey;
    bool fParent = true;
    for (;;) {
        const size_t slash = ancestor.rfind('\\');
        ancestor.resize(slash == std::string::npos ? 0 : slash);
        const LONG err = ::RegOpenKeyExA(NativeLocalMachine(), ancestor.c_str(), 0, KEY_NOTIFY, &w.hAncestor);
        if (err == ERROR_SUCCESS) break;
        w.hAncestor = nullptr;
        if (err != ERROR_FILE_NOT_FOUND || ancestor.empty()) return err;
        fParent = false;
    }
    LONG err = ArmNotice(w.hAncestor, REG_NOTIFY_CHANGE_NAME, w.hChanged);
    if (err != ERROR_SUCCESS) return err;
    err = ::RegOpenKeyExA(NativeLocalMachine(), w.subKey.c_str(), 0, KEY_READ, &w.h);
    if (err != ERROR_SUCCESS) {
        w.h = nullptr;
        w.fMissing = err == ERROR_FILE_NOT_FOUND;
        return err;
    }
    // Made since the ancestor was looked for: its deletion would not show
    // there. Read through the system this time; the ancestor's notice has
    // fired, so the next opening watches the new parent.
    if (!fParent) return ERROR_RETRY;
    err = ArmNotice(w.h, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, w.hChanged);
    if (err != ERROR_SUCCESS) return err;
    std::shared_ptr<Snapshot> values(new (std::nothrow) Snapshot);
    if (!values || !ReadValues(w.h, values.get())) return ERROR_NOT_ENOUGH_MEMORY;
    w.values = std::move(values);
    return ERROR_SUCCESS;
}

}  // namespace

// A handle given out: the system's key, or a watched key's values.
struct RegKey {
    ::HKEY h;
    std::shared_ptr<const Snapshot> values;
};

HKEY HkeyLocalMachine() {
    static RegKey s_root{NativeLocalMachine(), nullptr};
    return &s_root;
}

LONG RegOpenKeyExA(HKEY hkRoot, const char* szSubKey, DWORD ulOptions, DWORD samDesired, HKEY* phkResult) {
    *phkResult = nullptr;
    RegKey* pKey = new (std::nothrow) RegKey{nullptr, nullptr};
    if (!pKey) return ERROR_NOT_ENOUGH_MEMORY;
    if (hkRoot == HkeyLocalMachine() && szSubKey && ulOptions == 0 && samDesired == kKeyRead) {
        try {
            WatchLock lock;
            std::vector<Watch>& watches = Watches();
            Watch* pWatch = nullptr;
            for (Watch& w : watches)
                if (SameName(w.subKey, szSubKey)) pWatch = &w;
            if (!pWatch && watches.size() < kMaxWatches) {
                watches.push_back(Watch{szSubKey, nullptr, nullptr, nullptr, nullptr, false});
                pWatch = &watches.back();
            }
            if (pWatch) {
                if (!(pWatch->values || pWatch->fMissing) ||
                    ::WaitForSingleObject(pWatch->hChanged, 0) != WAIT_TIMEOUT)
                    Refresh(*pWatch);
                if (pWatch->values) {
                    pKey->values = pWatch->values;
                    *phkResult = pKey;
                    return ERROR_SUCCESS;
                }
                if (pWatch->fMissing) {
                    delete pKey;
                    return ERROR_FILE_NOT_FOUND;
                }
                // A key that cannot be watched is read through the system.
            }
        } catch (...) {
            // Out of memory: the system's own reading below.
        }
    }
    const LONG err = ::RegOpenKeyExA(hkRoot->h, szSubKey, ulOptions, samDesired, &pKey->h);
    if (err != ERROR_SUCCESS) {
        delete pKey;
        return err;
    }
    *phkResult = pKey;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, const char* szName, DWORD* pdwReserved, DWORD* pdwType, BYTE* pbData,
                      DWORD* pcbData) {
    if (!hKey) return ERROR_INVALID_HANDLE;
    if (!hKey->values) return ::RegQueryValueExA(hKey->h, szName, pdwReserved, pdwType, pbData, pcbData);
    if (pbData && !pcbData) return ERROR_INVALID_PARAMETER;
    for (const Value& v : *hKey->values) {
        if (!SameName(v.name, szName)) continue;
        if (pdwType) *pdwType = v.dwType;
        const DWORD cb = static_cast<DWORD>(v.data.size());
        if (pbData && *pcbData < cb) {
            *pcbData = cb;
            return ERROR_MORE_DATA;
        }
        if (pbData && cb) std::memcpy(pbData, v.data.data(), cb);
        if (pcbData) *pcbData = cb;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY hKey) {
    if (!hKey) return ERROR_INVALID_HANDLE;
    if (hKey == HkeyLocalMachine()) return ERROR_SUCCESS;
    const LONG err = hKey->h ? ::RegCloseKey(hKey->h) : ERROR_SUCCESS;
    delete hKey;
    return err;
}

}  // namespace plat
