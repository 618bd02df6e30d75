// The service's state in SQLite (WAL mode) under the state folder: the four
// address lists, the frozen accounts, the authentication-failure history and
// the repeat-offence record. Every change is one transaction; the database
// is durable against the process being killed (WAL with synchronous=NORMAL
// loses nothing committed unless the machine itself goes down).
//
// The store also owns the screening index: after every change of a list or
// of the frozen accounts it builds a new snapshot from its in-memory copy of
// the entries and publishes it. Screening reads only snapshots.
//
// All methods are safe from any thread; writers are serialised by one lock.
// Results are HRESULTs; SQLite failures map to 0x80004005 with the text
// logged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "service/listindex.h"
#include "service/netaddr.h"
#include "sharedcode/wintypes.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vgsvc {

constexpr int kSchemaVersion = 3;

struct ListItem {
    VGITEMID id{};
    ListKind list = kWhiteList;
    AddrRange range;
    std::string address;  // canonical text of the range
    int64_t expires = 0;  // 0: never
    int64_t added = 0;
    std::string addedBy;
    std::string comment;
    uint32_t flags = 0;   // VG_ITEM_*
};

struct FrozenAccount {
    VGITEMID id{};
    std::string account;  // as the failure reported it
    std::string address;
    uint32_t service = 0;
    uint32_t failures = 0;
    int64_t frozen = 0;
};

struct AuthFailure {
    int64_t time = 0;
    std::string address;  // as reported
    std::string account;
    uint32_t service = 0;
    std::string authText;
    std::string authDetail;
    std::string authNote;
};

class Store {
public:
    Store();
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens (creating when missing) <dir>/vigilon.db and brings its schema to
    // the current version; loads the index. A database from a newer version
    // is refused with 0x8007065A (ERROR_PRODUCT_VERSION).
    HRESULT Open(const std::string& dir);
    void Close();
    const std::string& LastError() const { return m_lastError; }

    std::shared_ptr<const IndexSnapshot> Snapshot() const;

    // Lists. Add assigns a new item id (returned in item.id) and stores the
    // range in canonical form. Remove and Reset answer S_FALSE when nothing
    // was there.
    HRESULT AddItem(ListItem& item);
    // Many items of one or more lists in one transaction (an import).
    HRESULT AddItems(std::vector<ListItem>& items);
    HRESULT RemoveItem(ListKind list, const VGITEMID& id);
    HRESULT RemoveItemByAddress(ListKind list, const AddrRange& range);
    HRESULT ResetList(ListKind list);
    // Calls fn for each item (in order of addition) until it returns false.
    HRESULT EnumerateItems(ListKind list, const std::function<bool(const ListItem&)>& fn);
    size_t ItemCount(ListKind list) const;

    // Frozen accounts. Freeze answers S_FALSE when the account was frozen
    // already; Thaw S_FALSE when no account has the id.
    HRESULT Freeze(FrozenAccount& account);
    HRESULT Thaw(const VGITEMID& id, std::string* pAccount);
    HRESULT ResetFrozen();
    HRESULT EnumerateFrozen(const std::function<bool(const FrozenAccount&)>& fn);

    // Authentication-failure history.
    HRESULT EnumerateFailures(const std::function<bool(const AuthFailure&)>& fn);
    HRESULT ResetFailures();

    // One failure report, decided and stored in one transaction: the policy
    // callback sees the counts and says what to do (see decisions.h).
    struct FailureCounts {
        uint32_t addressFailures = 0;  // since the window start or the last clear, up to the limit
        uint32_t accountFailures = 0;
        uint32_t offences = 0;         // blocks of this address range before
        bool alreadyBlocked = false;
        bool alreadyFrozen = false;
    };
    struct FailureActions {
        bool block = false;
        int64_t blockExpires = 0;      // 0: never
        bool freeze = false;
    };
    // The earliest times that count, and how far to count (a threshold:
    // counting stops there; 0 counts nothing).
    struct CountLimits {
        int64_t addressSince = 0;
        int64_t accountSince = 0;
        uint32_t addressLimit = 0;
        uint32_t accountLimit = 0;
    };
    // pRange: the range the address is counted under (null: not counted).
    HRESULT RecordFailure(const AuthFailure& failure, const AddrRange* pRange, const CountLimits& limits,
                          const std::function<FailureActions(const FailureCounts&)>& policy,
                          FailureActions* pDone);
    // A success: the range's count starts again from now.
    HRESULT ClearAddressCount(const AddrRange& range, int64_t now);

    // The item of a list with exactly this range: S_OK and its id, or S_FALSE.
    HRESULT FindItem(ListKind list, const AddrRange& range, VGITEMID* pId) const;

    // Administrators of the management pipe: a name (compared without regard
    // to case) and its password hash. AdminHash answers S_FALSE for an
    // unknown name.
    HRESULT SetAdmin(const std::string& name, const std::string& hash, int64_t now);
    HRESULT AdminHash(const std::string& name, std::string* pHash);

    // Maintenance: removes list entries expired at `now`, failure records
    // older than `failuresBefore`, and thaws accounts frozen before
    // `thawBefore` (0: none). fn is told of each entry and account removed.
    HRESULT Expire(int64_t now, int64_t failuresBefore, int64_t thawBefore,
                   const std::function<void(const ListItem*, const FrozenAccount*)>& fn);

private:
    class Statement;
    bool Exec(const char* szSql);
    HRESULT Fail(const char* szWhat);
    HRESULT Migrate();
    HRESULT LoadIndex();
    // Publishes a snapshot with new copies of the lists in `changed` (a bit
    // per ListKind) and, when asked, of the frozen accounts.
    void Publish(unsigned changed, bool fFrozen);
    HRESULT FreezeLocked(FrozenAccount& account);

    sqlite3* m_db = nullptr;
    std::unordered_map<const char*, sqlite3_stmt*> m_statements;
    mutable std::mutex m_lock;  // writers, and the master copies below
    std::string m_lastError;
    // Master copies the snapshots are built from.
    ItemIdMap<IndexEntry> m_entries[kListKinds + 1];
    std::unordered_map<std::string, int64_t> m_frozen;
    std::shared_ptr<const IndexSnapshot> m_snapshot;  // std::atomic_load / atomic_store
};

// A new random item id in the layout of a version-4 GUID.
VGITEMID NewItemId();
std::string FormatItemId(const VGITEMID& id);

}  // namespace vgsvc
