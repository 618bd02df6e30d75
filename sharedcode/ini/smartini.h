// CSmartIni: the INI settings engine. One object is bound to one settings
// file and keeps its whole content in memory: a cache of (section, key,
// value) entries sorted case-insensitively, and per section the note lines
// (';' comments) met in the file. Every value operation first reloads the
// cache when the file changed on disk, and every change is written back at
// once (or gathered in transaction mode and written by one save).
//
// Threads share an object through its cache lock; processes share a file
// through a named mutex derived from the file's path (the file mutex) and
// byte-range locks on the file. A change holds the file mutex from the
// moment it looks at the file until its save is on disk, so two processes
// that change one file never lose each other's changes. An exclusive open
// also takes the file's lock file ("<path>.lck"), which one owner holds at a
// time.
//
// Locks, outermost first: the cache lock, the file mutex, the byte-range
// lock, the file-time lock, the lock of one array or of the journal.
//
// Text format: bytes in the ANSI code page, one entry per line, "[section]"
// headers, "key=value" lines, ';' notes. No quoting, escaping, inline
// comments or continuation lines. Written files list sections and keys in
// entry order, each section after an empty line, its notes under its header,
// lines ended by CR LF. What the format cannot hold is stored but does not
// come back at the next load: entries of the section "", keys that begin
// with a blank, '[' or ';', contain '=' or end in a space, and line breaks in
// any name or value.
#pragma once

#include <atomic>
#include <new>

#include "sharedcode/critsec.h"
#include "sharedcode/errorobject.h"
#include "sharedcode/hresult.h"
#include "sharedcode/ini/lockedqueue.h"
#include "sharedcode/ipc.h"
#include "sharedcode/moduleheap.h"
#include "sharedcode/platform/file.h"
#include "sharedcode/tsz.h"
#include "sharedcode/wintypes.h"

// Success codes of the value operations (bit 31 clear).
constexpr HRESULT INI_S_UNCHANGED = static_cast<HRESULT>(0x4135D001u);    // the same value was stored already
constexpr HRESULT INI_S_NOTPRESENT = static_cast<HRESULT>(0x4135D002u);   // the key to delete was not there
constexpr HRESULT INI_S_DEFAULTUSED = static_cast<HRESULT>(0x00070491u);  // not found: the default was returned

// Failures of the engine besides the system's own codes.
constexpr HRESULT INI_E_NOTFOUND = static_cast<HRESULT>(0x80070491u);     // no such entry
constexpr HRESULT INI_E_NOTBOUND = static_cast<HRESULT>(0x800700A1u);     // no file bound, or detached
constexpr HRESULT INI_E_BADSAVEPATH = static_cast<HRESULT>(0x8007007Bu);  // no path, or "\.ini" in it
constexpr HRESULT INI_E_LOCKED = static_cast<HRESULT>(0x80070020u);       // the lock file has another owner
constexpr HRESULT INI_E_ISDIRECTORY = static_cast<HRESULT>(0x80070570u);  // the path names a directory
constexpr HRESULT INI_E_OFFLINE = static_cast<HRESULT>(0x800710FEu);      // the file is offline
constexpr HRESULT INI_E_NODEFAULTUNBOUND = static_cast<HRESULT>(0x800701E7u);

// Journal operations.
constexpr DWORD INIOP_SET = 1;
constexpr DWORD INIOP_DELETE = 2;

// The note lines of one section: owned copies, in the order first met, each
// distinct. A plain record from the module heap.
struct tagINISECTION {
    char szName[256];  // at most 255 characters; "" for notes before any header
    CLockedPtrArray<char> notes;
};

class CSmartIni : public virtual CErrorObject {
public:
    // Records of the cache and the journal, from the module heap.
    struct tagINIKVPAIR {
        tagINIKVPAIR() = default;
        tagINIKVPAIR(const char* szKeyText, const char* szValueText) : szKey(szKeyText), szValue(szValueText) {}
        virtual ~tagINIKVPAIR() = default;
        TSz<char> szKey;
        TSz<char> szValue;
    };
    struct tagINICACHEENTRY : tagINIKVPAIR {
        tagINICACHEENTRY() = default;
        tagINICACHEENTRY(const char* szSectionText, const char* szKeyText, const char* szValueText)
            : tagINIKVPAIR(szKeyText, szValueText), szSection(szSectionText) {}
        TSz<char> szSection;
    };
    struct tagINITRANSACTION : tagINICACHEENTRY {
        using tagINICACHEENTRY::tagINICACHEENTRY;
        DWORD dwOperation = 0;  // INIOP_SET or INIOP_DELETE
    };

    // Copies and destroys records in the module heap, for the arrays and the
    // journal that own them.
    template <typename T>
    struct RecordTraits {
        static T* Copy(const T* p);
        static void Destroy(T* p);
    };
    struct SectionTraits {
        static void Destroy(tagINISECTION* p);
    };

    // The entry cache: the entries in entry order, at most one for each
    // (section, key) compared case-insensitively, and the note lines of each
    // section. It reads and writes the INI text. It takes no lock of its own
    // beyond its arrays': its owner's cache lock guards it.
    class CEntryCache {
    public:
        CEntryCache() = default;
        ~CEntryCache();
        CEntryCache(const CEntryCache&) = delete;
        CEntryCache& operator=(const CEntryCache&) = delete;

        // Adds the entries and notes of a zero-terminated file image of
        // cbText bytes, which is modified in place. True when the text held
        // entries of one (section, key) more than once: one of them is kept.
        bool Parse(char* pText, DWORD cbText);
        // Appends the INI text of the whole content. Throws a long holding
        // 0x80030008 when out cannot grow; out is then as it was.
        void BuildText(TSz<char>& out) const;
        // Copies the value: 0, or 0x8007007A when cut; a null buffer or size
        // 0 only tests for presence. 0x80070491 when there is no such entry.
        HRESULT Lookup(const char* szSection, const char* szKey, char* pszBuffer, DWORD cchBuffer) const;
        // Inserts or replaces the entry; true when the cache changed.
        bool Store(const char* szSection, const char* szKey, const char* szValue);
        // True when the entry was there and is gone.
        bool Remove(const char* szSection, const char* szKey);
        // Records a note line under the section named exactly szSection
        // (null: ""), once.
        void AddNote(const char* szSection, const char* szLine);
        // The notes of the section named exactly szName (null: ""), or null.
        tagINISECTION* FindNotes(const char* szName) const;
        void Clear();

        DWORD Count() const { return m_arrCache.Count(); }
        const tagINICACHEENTRY* Entry(DWORD i) const { return m_arrCache.At(i); }

        static int CompareNames(const char* psz1, const char* psz2);

    private:
        // Where (section, key) is or would go.
        struct tagSLOT {
            DWORD iSlot;         // the entry, or the slot a new one takes
            bool fFound;
            bool fSectionFound;  // the section has entries already
            DWORD iSection;      // its place in the section index, or where it would go
        };
        tagSLOT FindSlot(const char* szSection, const char* szKey) const;
        // The lookup index: rebuilt from the cache, or kept in step with one
        // insertion or removal. When it cannot get memory it is dropped, and
        // lookups search the cache itself until the next rebuild.
        void RebuildIndex();
        void DropIndex();
        void IndexInserted(const tagSLOT& slot);
        void IndexRemoved(const tagSLOT& slot);

        CLockedPtrArray<tagINISECTION, SectionTraits> m_arrSections;
        CLockedPtrArray<tagINICACHEENTRY, RecordTraits<tagINICACHEENTRY>> m_arrCache;
        tagINICACHEENTRY m_entryScratch;  // Store's copy source; its buffers are reused

        // The lookup index (process heap), valid while m_fIndexValid: the
        // first slot of every section of the cache, and per slot the first
        // eight bytes of its key, A-Z folded, as one big-endian number, so
        // that most steps of a search compare numbers in one array instead
        // of following pointers.
        bool m_fIndexValid = true;  // an empty index of the empty cache
        DWORD* m_piSectionStart = nullptr;
        DWORD m_cSections = 0;
        DWORD m_cSectionCapacity = 0;
        uint64_t* m_pqwKeyPrefix = nullptr;
        DWORD m_cPrefixCapacity = 0;
    };

    // Hooks run after every successful reload or save; the result is ignored.
    typedef DWORD(VGAPI* PFNINIHOOK)(void* pvContext);

    // The module's copy of the service's settings file path (261 bytes,
    // empty until the service-control code fills it under the configuration
    // lock). Every new object binds to it.
    static constexpr DWORD kcchModuleIniPath = 261;
    static char* ModuleIniPath();

    // Holds an object's cache lock for its scope; a null object holds nothing.
    // Within one process this makes several operations one unit.
    class CCacheLock {
    public:
        explicit CCacheLock(CSmartIni* pIni);
        virtual ~CCacheLock();
        CCacheLock(const CCacheLock&) = delete;
        CCacheLock& operator=(const CCacheLock&) = delete;

    private:
        CSmartIni* m_pIni;
    };

    // Binds to ModuleIniPath() (no creation, not exclusive) and keeps the
    // outcome as the last result: 0x800700A0 while that path is empty.
    CSmartIni();
    // Deletes the file when DeleteOnClose is set, empties the cache and gives
    // up the lock file. Changes not yet saved are lost.
    ~CSmartIni() override;

    CSmartIni(const CSmartIni&) = delete;
    CSmartIni& operator=(const CSmartIni&) = delete;

    // Minimum seconds between two disk reads; 0 = none. The accessors read
    // and write the field without a lock.
    virtual WORD& ReloadIntervalRef();
    virtual WORD SetReloadInterval(WORD wSeconds);
    virtual WORD GetReloadInterval();
    virtual const WORD& ReloadIntervalRef() const;
    virtual WORD IncrementReloadInterval();
    virtual WORD DecrementReloadInterval();

    // Flags: each setter returns the new state; no lock is taken.
    virtual bool IsDirty();
    virtual bool SetDirty(bool f);
    virtual bool IsInTransaction();
    virtual bool SetInTransaction(bool f);
    virtual bool IsReadOnly();
    virtual bool SetReadOnly(bool f);
    virtual bool IsNoRefresh();
    virtual bool SetNoRefresh(bool f);
    virtual bool IsDeleteOnClose();
    virtual bool SetDeleteOnClose(bool f);
    virtual bool IsDetached();
    virtual bool SetDetached(bool f);

    // Stores value under section and key and saves (in transaction mode:
    // journals instead). A null value deletes the key. INI_S_UNCHANGED when
    // the value was stored already (nothing written). A null section or key
    // returns the last result, an empty one 0x800700A0. A detached object
    // gives 0x800700A1 and leaves the file alone; so does an unbound one,
    // outside transaction mode.
    virtual HRESULT HrSetString(const char* szSection, const char* szKey, const char* szValue);
    // Copies the value into buffer (size characters with the terminator): 0;
    // cut to fit: 0x8007007A. Missing: the default is copied and the result
    // is INI_S_DEFAULTUSED, or without a default 0x80070491. A null buffer or
    // size 0 only tests for presence. A default but no buffer: 0x80004003.
    // Unbound object without a default: 0x800701E7.
    virtual HRESULT HrGetString(const char* szSection, const char* szKey, const char* szDefault, char* pszBuffer,
                                DWORD cchBuffer);
    // Binds to a file: "\\?\" or "\\?\UNC\" long forms, drive or UNC paths
    // (0x80070057 for anything else). create makes the directories and an
    // empty file; exclusive takes the lock file (0x80070020 when another
    // holds it; the object stays bound without it). 0x80070570 for a
    // directory. A missing file is no error: the first save creates it.
    virtual HRESULT HrOpen(const wchar_t* wszPath, bool fCreate, bool fExclusive);
    // The same for a narrow path, which may also be relative or (on POSIX)
    // absolute; null returns the last result, "" gives 0x800700A0.
    virtual HRESULT HrOpen(const char* szPath, bool fCreate, bool fExclusive);
    // Detaches: abandons the transaction and empties the cache. The path and
    // the lock file stay until the next HrOpen.
    virtual void Close();
    // Writes the cache to the file when Dirty is set (or when forced),
    // through to the disk, under the file mutex, once the exclusive
    // byte-range lock could be taken: a new file takes the file's place, or,
    // where that is refused, the text is written in place beside a recovery
    // copy. A folder that takes no new file: its error, nothing written.
    // Detached: 0x800700A1, nothing written. ReadOnly: 0, nothing written.
    // No path, or one with "\.ini" in it: 0x8007007B. A string heap that
    // cannot hold the text: 0x80030008, the cache kept as it is.
    virtual HRESULT HrSave(bool fForce);

    // Removes a key and saves (in transaction mode: journals instead).
    // INI_S_NOTPRESENT when it was not there (nothing written).
    HRESULT HrDeleteKey(const char* szSection, const char* szKey);
    // Reads a yes/no value: '1', 't', 'y' (any case) true; '0', 'f', 'n'
    // false; anything else leaves *pfResult at the default. A missing key
    // gives the default and INI_S_DEFAULTUSED; values of 8 characters or more
    // 0x8007007A with the default.
    HRESULT HrGetBool(const char* szSection, const char* szKey, BYTE fDefault, BYTE* pfResult);

    // Appends a journal record (transaction mode); always 0.
    HRESULT JournalAppend(DWORD dwOperation, const char* szSection, const char* szKey, const char* szValue);
    // Leaves transaction mode and drops the journal; reloads the file unless
    // detached, which discards every change not yet saved. Releases one hold
    // of the file mutex when the caller took one across the transaction.
    HRESULT AbandonTransaction();

    // Binding and disk synchronisation.
    HRESULT HrOpenFile(bool fCreate, bool fExclusive);
    HRESULT HrBindFileMutex();
    // Rereads the file into the cache (up to 100 attempts 50 ms apart). A
    // missing file leaves the cache as it is and gives 0.
    HRESULT HrReload();
    // The whole file as a zero-terminated module-heap block; no block (and 0)
    // while the reload interval has not passed.
    HRESULT HrReadFile(char** ppImage, DWORD* pcbImage);
    // Reloads when the file's last-write time differs from the one recorded.
    HRESULT HrRefreshIfChanged(bool* pfReloaded);

    // The cache, under the cache lock; the changing ones keep Dirty in step.
    // ParseText clears Dirty and sets it again when the text held one
    // (section, key) more than once.
    void ParseText(char* pText, DWORD cbText);
    // Appends the INI text of the whole cache. Throws a long holding
    // 0x80030008 when out cannot grow.
    HRESULT HrBuildText(TSz<char>& out);
    HRESULT CacheLookup(const char* szSection, const char* szKey, char* pszBuffer, DWORD cchBuffer);
    HRESULT CacheStore(const char* szSection, const char* szKey, const char* szValue);
    HRESULT CacheRemove(const char* szSection, const char* szKey);
    void AddSectionNote(const char* szSection, const char* szLine);
    tagINISECTION* FindSectionNotes(const char* szName);
    // Empties the cache and forgets the recorded last-write time.
    HRESULT ClearCache();

    // Entry order: sections, then keys, with A-Z folded to a-z and bytes
    // compared unsigned.
    static int CompareNames(const char* psz1, const char* psz2) { return CEntryCache::CompareNames(psz1, psz2); }

    // Hooks (this library installs none).
    void SetOnReload(PFNINIHOOK pfn, void* pvContext);
    void SetOnSave(PFNINIHOOK pfn, void* pvContext);

private:
    friend class CSmartIniTestPeer;  // the tests' view of the state below

    // Flag bits of m_dwIniFlags.
    static constexpr DWORD kfDirty = 1u << 0;           // the cache differs from the file
    static constexpr DWORD kfInTransaction = 1u << 1;   // no refresh; changes are journalled, not saved
    static constexpr DWORD kfReadOnly = 1u << 2;        // HrSave does nothing
    static constexpr DWORD kfDetached = 1u << 29;       // after Close: nothing is read or written
    static constexpr DWORD kfDeleteOnClose = 1u << 30;  // the file goes with the object or its next HrOpen
    static constexpr DWORD kfNoRefresh = 1u << 31;      // HrRefreshIfChanged does nothing

    bool TestIniFlag(DWORD f) const { return (m_dwIniFlags.load() & f) != 0; }
    bool SetIniFlag(DWORD f, bool fSet);
    plat::FileTime LastWriteTime();
    void SetLastWriteTime(const plat::FileTime& ft);
    void UnbindForOpen();
    void DeleteBoundFile();
    HRESULT FinishBinding();
    HRESULT RefreshCore(bool* pfReloaded, bool fForChange);
    HRESULT ReloadCore(bool fForChange);
    HRESULT ReadFileCore(char** ppImage, DWORD* pcbImage, bool fForChange);
    HRESULT RefreshStep(bool fForChange);
    HRESULT HrCheckChange(const char* szSection, const char* szKey);
    HRESULT OpenLockedForSave(plat::ScopedFile& file);
    HRESULT WriteText(const TSz<char>& text);

    void* m_pvOnReloadContext = nullptr;
    void* m_pvOnSaveContext = nullptr;
    PFNINIHOOK m_pfnOnReload = nullptr;
    PFNINIHOOK m_pfnOnSave = nullptr;
    std::atomic<DWORD> m_dwIniFlags{0};
    std::atomic<DWORD> m_dwLastReadTick{0};  // 0 = nothing read yet
    plat::FileTime m_ftLastWrite = {};        // as last loaded or saved; zero = none
    CriticalSection m_csFileTime;             // guards m_ftLastWrite
    CriticalSection m_csCache;                // the cache lock: guards the object
    CRVN::IPC::CNamedMutex m_mtxFile;
    TSz<char> m_szPlainPath;       // cleaned, without a long-path prefix
    TSz<wchar_t> m_wszPath;        // long form; empty = not bound
    TSz<wchar_t> m_wszDirectory;   // m_wszPath before its last backslash
    TSz<wchar_t> m_wszLockPath;    // m_wszPath + ".lck"
    TSz<wchar_t> m_wszTempPath;    // m_wszPath + ".tmp": a save's text while it is written
    TSz<wchar_t> m_wszNewPath;     // m_wszPath + ".new": a save's whole text while it writes in place
    CLockedQueue<tagINITRANSACTION, RecordTraits<tagINITRANSACTION>> m_qJournal;
    CEntryCache m_cache;           // the entries and the section notes
    plat::ScopedFile m_hLockFile;  // the lock file while this object owns it
    WORD m_wReloadInterval = 0;
};

template <typename T>
T* CSmartIni::RecordTraits<T>::Copy(const T* p) {
    void* pv = CModuleHeap::Malloc(sizeof(T));
    return pv ? new (pv) T(p->szSection.Get(), p->szKey.Get(), p->szValue.Get()) : nullptr;
}

template <typename T>
void CSmartIni::RecordTraits<T>::Destroy(T* p) {
    if (!p) return;
    p->~T();
    CModuleHeap::Free(p);
}
