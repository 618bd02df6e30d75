// System-wide named mutexes and the access list given to every named object.
//
// CNamedMutex serialises threads and processes on one name. Beside the mutex
// each creator maps a shared 8-byte owner record, named after the mutex with
// ";!" appended, into which every acquisition writes the acquirer's process
// and thread ids; the record is never cleared. Names without a "Global\"
// prefix get one in the narrow Create; backslashes after the namespace prefix
// become '/', because the object namespace reserves them.
#pragma once

#include <atomic>

#include "sharedcode/critsec.h"
#include "sharedcode/platform/namedobj.h"
#include "sharedcode/wintypes.h"

namespace CRVN {
namespace IPC {

// Security attributes whose access list allows each added well-known SID
// generic-all access.
class CSecurityAttributes {
public:
    // One allow entry: SID storage and what goes into it.
    struct tagSIDENTRY {
        alignas(4) BYTE abSid[32];  // room for a SID with one sub-authority
        DWORD dwAccessMask;         // generic all
        DWORD dwSubAuthority;       // 0
        plat::SidIdentifierAuthority authority;
    };

    static constexpr DWORD kMaxWellKnown = 5;
    static constexpr size_t kcbAcl = 4096;

    CSecurityAttributes();
    virtual ~CSecurityAttributes();

    CSecurityAttributes(const CSecurityAttributes&) = delete;
    CSecurityAttributes& operator=(const CSecurityAttributes&) = delete;

    // Adds the authority of that index (0 null, 1 world, 2 local, 3 creator,
    // 4 non-unique, 5 resource manager), sub-authority 0. 0x80070057 above 5.
    HRESULT AddWellKnown(DWORD dwIndex);

    // Builds the descriptor: one allow entry per added SID, in order, as its
    // discretionary list; then fills the attributes record.
    HRESULT Build();

    // For the create calls; valid after a successful Build.
    const plat::SecurityAttributesStorage* Get() const { return &m_sa; }
    DWORD EntryCount() const { return m_entries.Count(); }

private:
    plat::SecurityDescriptorStorage m_sd;
    plat::SecurityAttributesStorage m_sa;
    CLockedPtrArray<tagSIDENTRY> m_entries;
    alignas(4) BYTE m_abAcl[kcbAcl];
};

class CNamedMutex {
public:
    static constexpr size_t kcchName = 261;
    static constexpr size_t kcchOwnerName = 264;

    CNamedMutex();
    // Closes: releases every hold of this object, then the owner record.
    virtual ~CNamedMutex();

    CNamedMutex(const CNamedMutex&) = delete;
    CNamedMutex& operator=(const CNamedMutex&) = delete;

    // Converts the ANSI name, puts "Global\" in front unless it starts with
    // it, and creates with the wide name.
    bool Create(const char* szName);
    // Closes any mutex held, then creates or opens the owner record and the
    // mutex. On failure the HRESULT is left in LastResult().
    bool Create(const wchar_t* wszName);

    // Waits without limit; an abandoned mutex counts as acquired. Records the
    // acquirer in the owner record.
    bool Lock();
    // Releases once; failures of the release are not reported.
    void Unlock();
    // Releases every outstanding hold, then closes the mutex and the owner
    // record.
    void Close();

    bool IsCreated() const { return m_hMutex != nullptr; }
    const wchar_t* Name() const { return m_wszName; }
    LONG HoldCount() const { return m_cHolds.load(); }
    HRESULT LastResult() const { return m_hrLast; }
    // The owner record's fields; 0 while no record is mapped.
    DWORD OwnerProcessId() const;
    DWORD OwnerThreadId() const;

private:
    // Takes one hold off the count, not below 0.
    void DropHold();
    void ReleaseOwnerRecord();
    std::atomic<DWORD>* OwnerField(int i) const;

    plat::HANDLE m_hMutex;
    wchar_t m_wszName[kcchName + 1];
    std::atomic<LONG> m_cHolds;
    plat::HANDLE m_hOwnerMapping;
    void* m_pvOwnerView;  // u32 process id, u32 thread id
    HRESULT m_hrLast;
};

// Holds a CNamedMutex from construction to destruction.
class CNamedMutexLock {
public:
    explicit CNamedMutexLock(CNamedMutex& mutex);
    virtual bool IsLocked() { return (m_dwFlags & kfLocked) != 0; }
    virtual bool SetLocked(bool fLocked);
    virtual ~CNamedMutexLock();

    CNamedMutexLock(const CNamedMutexLock&) = delete;
    CNamedMutexLock& operator=(const CNamedMutexLock&) = delete;

private:
    static constexpr DWORD kfLocked = 1;
    DWORD m_dwFlags;
    CNamedMutex& m_mutex;
};

}  // namespace IPC
}  // namespace CRVN
