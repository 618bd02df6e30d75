#include "service/store.h"

#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "VGClient/vgservicerecords.h"
#include "sharedcode/hresult.h"

namespace vgsvc {
namespace {

constexpr HRESULT kHrNewerSchema = static_cast<HRESULT>(0x8007065Au);  // ERROR_PRODUCT_VERSION

// Addresses as 16-byte big-endian blobs, so that blob order is address order.
void PutAddr(const Addr128& a, unsigned char (&b)[16]) {
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<unsigned char>(a.hi >> (56 - 8 * i));
        b[8 + i] = static_cast<unsigned char>(a.lo >> (56 - 8 * i));
    }
}

Addr128 GetAddr(const void* pv, int cb) {
    Addr128 a;
    if (!pv || cb != 16) return a;
    const unsigned char* b = static_cast<const unsigned char*>(pv);
    for (int i = 0; i < 8; ++i) {
        a.hi = a.hi << 8 | b[i];
        a.lo = a.lo << 8 | b[8 + i];
    }
    return a;
}

int64_t ExpiryForIndex(int64_t expires) { return expires == 0 ? kNeverExpires : expires; }

const char* const kSchema[] = {
    // Version 1.
    "CREATE TABLE items("
    " id BLOB PRIMARY KEY, list INTEGER NOT NULL, address TEXT NOT NULL,"
    " first BLOB NOT NULL, last BLOB NOT NULL, prefix INTEGER NOT NULL, v4 INTEGER NOT NULL,"
    " expires INTEGER NOT NULL, added INTEGER NOT NULL, added_by TEXT NOT NULL, comment TEXT NOT NULL,"
    " flags INTEGER NOT NULL);"
    "CREATE INDEX items_by_list ON items(list);"
    "CREATE TABLE frozen("
    " id BLOB PRIMARY KEY, account_key TEXT NOT NULL UNIQUE, account TEXT NOT NULL, address TEXT NOT NULL,"
    " service INTEGER NOT NULL, failures INTEGER NOT NULL, frozen INTEGER NOT NULL);"
    "CREATE TABLE failures("
    " time INTEGER NOT NULL, address TEXT NOT NULL, range_key TEXT, account_key TEXT NOT NULL,"
    " account TEXT NOT NULL, service INTEGER NOT NULL, auth_text TEXT NOT NULL, auth_detail TEXT NOT NULL,"
    " auth_note TEXT NOT NULL);"
    "CREATE INDEX failures_by_range ON failures(range_key, time);"
    "CREATE INDEX failures_by_account ON failures(account_key, time);"
    "CREATE INDEX failures_by_time ON failures(time);"
    // Per counted range: where its count starts, and how often it was blocked.
    "CREATE TABLE ranges(range_key TEXT PRIMARY KEY, count_since INTEGER NOT NULL, offences INTEGER NOT NULL);",
    // Version 2: the administrators of the management pipe, with crypt(3) hashes.
    "CREATE TABLE IF NOT EXISTS admins(name TEXT PRIMARY KEY COLLATE NOCASE, hash TEXT NOT NULL, changed INTEGER NOT NULL);",
    // Version 3: failures expire as a prefix of the table (they are stored in
    // time order), so their time index only cost every report a page.
    "DROP INDEX IF EXISTS failures_by_time;",
};
constexpr int kSchemaSteps = sizeof(kSchema) / sizeof(kSchema[0]);
static_assert(kSchemaSteps == kSchemaVersion, "one schema step per version");

}  // namespace

// A prepared statement, kept by the store per SQL text (the literal's
// address) and reset when its scope ends.
class Store::Statement {
public:
    Statement(Store& store, const char* szSql) {
        sqlite3_stmt*& cached = store.m_statements[szSql];
        m_rc = cached ? SQLITE_OK : sqlite3_prepare_v2(store.m_db, szSql, -1, &cached, nullptr);
        m_stmt = cached;
    }
    ~Statement() {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool Ok() const { return m_rc == SQLITE_OK; }
    Statement& Int(int i, int64_t v) {
        sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Statement& Text(int i, const std::string& s) {
        sqlite3_bind_text(m_stmt, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Null(int i) {
        sqlite3_bind_null(m_stmt, i);
        return *this;
    }
    Statement& Blob(int i, const void* pv, int cb) {
        sqlite3_bind_blob(m_stmt, i, pv, cb, SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Id(int i, const VGITEMID& id) { return Blob(i, &id, sizeof(id)); }
    Statement& Address(int i, const Addr128& a) {
        unsigned char b[16];
        PutAddr(a, b);
        return Blob(i, b, 16);
    }
    // Ready for the next row of bindings.
    void Reset() {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_MISUSE; }
    bool Run() { return Step() == SQLITE_DONE; }
    int64_t ColInt(int i) { return sqlite3_column_int64(m_stmt, i); }
    std::string ColText(int i) {
        const unsigned char* p = sqlite3_column_text(m_stmt, i);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(m_stmt, i)))
                 : std::string();
    }
    Addr128 ColAddr(int i) { return GetAddr(sqlite3_column_blob(m_stmt, i), sqlite3_column_bytes(m_stmt, i)); }
    VGITEMID ColId(int i) {
        VGITEMID id{};
        if (sqlite3_column_bytes(m_stmt, i) == sizeof(id)) std::memcpy(&id, sqlite3_column_blob(m_stmt, i), sizeof(id));
        return id;
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc;
};

// A write transaction under the writers' lock: rolled back unless committed.
namespace {
class Transaction {
public:
    explicit Transaction(sqlite3* db) : m_db(db) { m_ok = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK; }
    ~Transaction() {
        if (m_ok) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    bool Ok() const { return m_ok; }
    bool Commit() {
        if (!m_ok) return false;
        m_ok = false;
        if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }

private:
    sqlite3* m_db;
    bool m_ok;
};
}  // namespace

VGITEMID NewItemId() {
    static std::mutex lock;
    static std::mt19937_64 rng{std::random_device{}()};
    VGITEMID id;
    uint64_t a, b;
    {
        std::lock_guard<std::mutex> g(lock);
        a = rng();
        b = rng();
    }
    std::memcpy(&id, &a, 8);
    std::memcpy(reinterpret_cast<char*>(&id) + 8, &b, 8);
    id.Data3 = static_cast<uint16_t>((id.Data3 & 0x0FFF) | 0x4000);
    id.Data4[0] = static_cast<uint8_t>((id.Data4[0] & 0x3F) | 0x80);
    return id;
}

std::string FormatItemId(const VGITEMID& id) {
    char sz[40];
    std::snprintf(sz, sizeof(sz), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id.Data1, id.Data2, id.Data3,
                  id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6],
                  id.Data4[7]);
    return sz;
}

Store::Store() = default;
Store::~Store() { Close(); }

bool Store::Exec(const char* szSql) { return sqlite3_exec(m_db, szSql, nullptr, nullptr, nullptr) == SQLITE_OK; }

HRESULT Store::Fail(const char* szWhat) {
    m_lastError = std::string(szWhat) + ": " + (m_db ? sqlite3_errmsg(m_db) : "no database");
    return E_FAIL;
}

HRESULT Store::Open(const std::string& dir) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_db) return S_OK;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string path = dir + "/vigilon.db";
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        HRESULT hr = Fail(("open " + path).c_str());
        sqlite3_close(m_db);
        m_db = nullptr;
        return hr;
    }
    sqlite3_busy_timeout(m_db, 5000);
    // The service is the database's only user while it runs: exclusive
    // locking keeps the WAL index in process memory and spares every
    // transaction its file locks.
    // Checkpoints (the only writes that wait for the disk) come every 4000
    // pages of log rather than every 1000, and at each maintenance pass.
    // Small pages: a failure report changes a few pages, each written whole
    // to the log (takes effect in a new database only).
    if (!Exec("PRAGMA page_size=1024") || !Exec("PRAGMA locking_mode=EXCLUSIVE") ||
        !Exec("PRAGMA journal_mode=WAL") ||
        !Exec("PRAGMA synchronous=NORMAL") || !Exec("PRAGMA wal_autocheckpoint=4000")) {
        HRESULT hr = Fail("configure");
        sqlite3_close(m_db);
        m_db = nullptr;
        return hr;
    }
    HRESULT hr = Migrate();
    if (HrSucceeded(hr)) hr = LoadIndex();
    if (HrFailed(hr)) {
        for (auto& kv : m_statements) sqlite3_finalize(kv.second);
        m_statements.clear();
        sqlite3_close(m_db);
        m_db = nullptr;
    }
    return hr;
}

void Store::Close() {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return;
    for (auto& kv : m_statements) sqlite3_finalize(kv.second);
    m_statements.clear();
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

HRESULT Store::Migrate() {
    int version = 0;
    {
        Statement q(*this, "PRAGMA user_version");
        if (!q.Ok() || q.Step() != SQLITE_ROW) return Fail("read schema version");
        version = static_cast<int>(q.ColInt(0));
    }  // reset: a schema change waits for no statement
    if (version > kSchemaVersion) {
        m_lastError = "database schema " + std::to_string(version) + " is newer than this service's";
        return kHrNewerSchema;
    }
    for (; version < kSchemaVersion; ++version) {
        Transaction t(m_db);
        const std::string setVersion = "PRAGMA user_version=" + std::to_string(version + 1);
        if (!t.Ok() || !Exec(kSchema[version]) || !Exec(setVersion.c_str()) || !t.Commit())
            return Fail("upgrade schema");
    }
    return S_OK;
}

HRESULT Store::LoadIndex() {
    for (auto& m : m_entries) m.clear();
    m_frozen.clear();
    Statement q(*this, "SELECT id, list, first, last, expires FROM items");
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
        const int64_t list = q.ColInt(1);
        if (list < 1 || list > kListKinds) continue;
        IndexEntry e{q.ColId(0), q.ColAddr(2), q.ColAddr(3), ExpiryForIndex(q.ColInt(4))};
        m_entries[list][e.id] = e;
    }
    if (rc != SQLITE_DONE) return Fail("load lists");
    Statement f(*this, "SELECT account_key, frozen FROM frozen");
    while ((rc = f.Step()) == SQLITE_ROW) m_frozen[f.ColText(0)] = f.ColInt(1);
    if (rc != SQLITE_DONE) return Fail("load frozen accounts");
    Publish(0x1E, true);
    return S_OK;
}

void Store::Publish(unsigned changed, bool fFrozen) {
    std::shared_ptr<const IndexSnapshot> old = std::atomic_load(&m_snapshot);
    auto next = std::make_shared<IndexSnapshot>();
    for (int list = 1; list <= kListKinds; ++list) {
        if (old && !(changed & (1u << list))) {
            next->lists[list] = old->lists[list];
            continue;
        }
        std::vector<IndexEntry> entries;
        entries.reserve(m_entries[list].size());
        for (const auto& kv : m_entries[list]) entries.push_back(kv.second);
        auto l = std::make_shared<ListSnapshot>(std::move(entries));
        if (old) {
            // Hits carry over to the entries that stay.
            const ItemIdMap<uint32_t> hits = old->HitsById(static_cast<ListKind>(list));
            if (!hits.empty()) {
                const std::vector<IndexEntry>& e = l->index.Entries();
                for (size_t i = 0; i < e.size(); ++i) {
                    auto it = hits.find(e[i].id);
                    if (it != hits.end()) l->hits[i].store(it->second, std::memory_order_relaxed);
                }
            }
        }
        next->lists[list] = std::move(l);
    }
    next->frozen = old && !fFrozen ? old->frozen : std::make_shared<const std::unordered_map<std::string, int64_t>>(m_frozen);
    std::atomic_store(&m_snapshot, std::shared_ptr<const IndexSnapshot>(std::move(next)));
}

std::shared_ptr<const IndexSnapshot> Store::Snapshot() const { return std::atomic_load(&m_snapshot); }

HRESULT Store::AddItem(ListItem& item) {
    std::vector<ListItem> items(1, item);
    const HRESULT hr = AddItems(items);
    item = items[0];
    return hr;
}

HRESULT Store::AddItems(std::vector<ListItem>& items) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("add");
    Transaction t(m_db);
    if (!t.Ok()) return Fail("begin");
    Statement s(*this,
                "INSERT INTO items(id, list, address, first, last, prefix, v4, expires, added, added_by, comment, flags)"
                " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
    if (!s.Ok()) return Fail("add list item");
    unsigned changed = 0;
    for (ListItem& item : items) {
        if (item.list < 1 || item.list > kListKinds) return E_INVALIDARG;
        item.id = NewItemId();
        item.address = FormatRange(item.range);
        s.Reset();
        s.Id(1, item.id).Int(2, item.list).Text(3, item.address).Address(4, item.range.first).Address(5, item.range.last);
        s.Int(6, item.range.prefix).Int(7, item.range.v4).Int(8, item.expires).Int(9, item.added);
        s.Text(10, item.addedBy).Text(11, item.comment).Int(12, item.flags);
        if (!s.Run()) return Fail("add list item");
        changed |= 1u << item.list;
    }
    if (!t.Commit()) return Fail("commit");
    for (const ListItem& item : items)
        m_entries[item.list][item.id] = {item.id, item.range.first, item.range.last, ExpiryForIndex(item.expires)};
    Publish(changed, false);
    return S_OK;
}

HRESULT Store::RemoveItem(ListKind list, const VGITEMID& id) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("remove");
    Statement s(*this, "DELETE FROM items WHERE id = ?1 AND list = ?2");
    s.Id(1, id).Int(2, list);
    if (!s.Ok() || !s.Run()) return Fail("remove list item");
    if (m_entries[list].erase(id) == 0) return S_FALSE;
    Publish(1u << list, false);
    return S_OK;
}

HRESULT Store::RemoveItemByAddress(ListKind list, const AddrRange& range) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("remove");
    Statement s(*this, "DELETE FROM items WHERE list = ?1 AND first = ?2 AND last = ?3");
    s.Int(1, list).Address(2, range.first).Address(3, range.last);
    if (!s.Ok() || !s.Run()) return Fail("remove list item");
    size_t cRemoved = 0;
    for (auto it = m_entries[list].begin(); it != m_entries[list].end();) {
        if (it->second.first == range.first && it->second.last == range.last) {
            it = m_entries[list].erase(it);
            ++cRemoved;
        } else {
            ++it;
        }
    }
    if (cRemoved == 0) return S_FALSE;
    Publish(1u << list, false);
    return S_OK;
}

HRESULT Store::ResetList(ListKind list) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("reset");
    Statement s(*this, "DELETE FROM items WHERE list = ?1");
    s.Int(1, list);
    if (!s.Ok() || !s.Run()) return Fail("reset list");
    if (m_entries[list].empty()) return S_FALSE;
    m_entries[list].clear();
    Publish(1u << list, false);
    return S_OK;
}

size_t Store::ItemCount(ListKind list) const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_entries[list].size();
}

HRESULT Store::EnumerateItems(ListKind list, const std::function<bool(const ListItem&)>& fn) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("enumerate");
    Statement q(*this,
                "SELECT id, address, first, last, prefix, v4, expires, added, added_by, comment, flags"
                " FROM items WHERE list = ?1 ORDER BY rowid");
    q.Int(1, list);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
        ListItem item;
        item.id = q.ColId(0);
        item.list = list;
        item.address = q.ColText(1);
        item.range.first = q.ColAddr(2);
        item.range.last = q.ColAddr(3);
        item.range.prefix = static_cast<unsigned>(q.ColInt(4));
        item.range.v4 = q.ColInt(5) != 0;
        item.expires = q.ColInt(6);
        item.added = q.ColInt(7);
        item.addedBy = q.ColText(8);
        item.comment = q.ColText(9);
        item.flags = static_cast<uint32_t>(q.ColInt(10));
        if (!fn(item)) return S_OK;
    }
    return rc == SQLITE_DONE ? S_OK : Fail("enumerate list");
}

HRESULT Store::FreezeLocked(FrozenAccount& account) {
    const std::string key = FoldAccount(account.account.c_str());
    if (m_frozen.count(key)) return S_FALSE;
    account.id = NewItemId();
    Statement s(*this,
                "INSERT INTO frozen(id, account_key, account, address, service, failures, frozen)"
                " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    s.Id(1, account.id).Text(2, key).Text(3, account.account).Text(4, account.address);
    s.Int(5, account.service).Int(6, account.failures).Int(7, account.frozen);
    if (!s.Ok() || !s.Run()) return Fail("freeze account");
    m_frozen[key] = account.frozen;
    return S_OK;
}

HRESULT Store::Freeze(FrozenAccount& account) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("freeze");
    HRESULT hr = FreezeLocked(account);
    if (hr == S_OK) Publish(0, true);
    return hr;
}

HRESULT Store::Thaw(const VGITEMID& id, std::string* pAccount) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("thaw");
    Statement q(*this, "SELECT account_key, account FROM frozen WHERE id = ?1");
    q.Id(1, id);
    const int rc = q.Step();
    if (rc == SQLITE_DONE) return S_FALSE;
    if (rc != SQLITE_ROW) return Fail("find frozen account");
    const std::string key = q.ColText(0);
    if (pAccount) *pAccount = q.ColText(1);
    Statement d(*this, "DELETE FROM frozen WHERE id = ?1");
    d.Id(1, id);
    if (!d.Ok() || !d.Run()) return Fail("thaw account");
    m_frozen.erase(key);
    Publish(0, true);
    return S_OK;
}

HRESULT Store::ResetFrozen() {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("reset");
    if (!Exec("DELETE FROM frozen")) return Fail("reset frozen accounts");
    m_frozen.clear();
    Publish(0, true);
    return S_OK;
}

HRESULT Store::EnumerateFrozen(const std::function<bool(const FrozenAccount&)>& fn) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("enumerate");
    Statement q(*this, "SELECT id, account, address, service, failures, frozen FROM frozen ORDER BY rowid");
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
        FrozenAccount a;
        a.id = q.ColId(0);
        a.account = q.ColText(1);
        a.address = q.ColText(2);
        a.service = static_cast<uint32_t>(q.ColInt(3));
        a.failures = static_cast<uint32_t>(q.ColInt(4));
        a.frozen = q.ColInt(5);
        if (!fn(a)) return S_OK;
    }
    return rc == SQLITE_DONE ? S_OK : Fail("enumerate frozen accounts");
}

HRESULT Store::EnumerateFailures(const std::function<bool(const AuthFailure&)>& fn) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("enumerate");
    Statement q(*this,
                "SELECT time, address, account, service, auth_text, auth_detail, auth_note FROM failures ORDER BY rowid");
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
        AuthFailure f;
        f.time = q.ColInt(0);
        f.address = q.ColText(1);
        f.account = q.ColText(2);
        f.service = static_cast<uint32_t>(q.ColInt(3));
        f.authText = q.ColText(4);
        f.authDetail = q.ColText(5);
        f.authNote = q.ColText(6);
        if (!fn(f)) return S_OK;
    }
    return rc == SQLITE_DONE ? S_OK : Fail("enumerate failures");
}

HRESULT Store::ResetFailures() {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("reset");
    Transaction t(m_db);
    if (!t.Ok() || !Exec("DELETE FROM failures") || !Exec("DELETE FROM ranges") || !t.Commit())
        return Fail("reset failures");
    return S_OK;
}

HRESULT Store::RecordFailure(const AuthFailure& failure, const AddrRange* pRange, const CountLimits& limits,
                             const std::function<FailureActions(const FailureCounts&)>& policy,
                             FailureActions* pDone) {
    int64_t addressSince = limits.addressSince;
    *pDone = FailureActions();
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("record");
    Transaction t(m_db);
    if (!t.Ok()) return Fail("begin");
    const std::string rangeKey = pRange ? FormatRange(*pRange) : std::string();
    const std::string accountKey = FoldAccount(failure.account.c_str());
    Statement ins(*this,
                  "INSERT INTO failures(time, address, range_key, account_key, account, service, auth_text,"
                  " auth_detail, auth_note) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    ins.Int(1, failure.time).Text(2, failure.address);
    if (pRange) ins.Text(3, rangeKey); else ins.Null(3);
    ins.Text(4, accountKey).Text(5, failure.account).Int(6, failure.service);
    ins.Text(7, failure.authText).Text(8, failure.authDetail).Text(9, failure.authNote);
    if (!ins.Ok() || !ins.Run()) return Fail("record failure");

    FailureCounts counts;
    if (pRange) {
        Statement r(*this, "SELECT count_since, offences FROM ranges WHERE range_key = ?1");
        r.Text(1, rangeKey);
        if (r.Step() == SQLITE_ROW) {
            addressSince = std::max(addressSince, r.ColInt(0));
            counts.offences = static_cast<uint32_t>(r.ColInt(1));
        }
        if (limits.addressLimit) {
            Statement c(*this,
                        "SELECT COUNT(*) FROM (SELECT 1 FROM failures WHERE range_key = ?1 AND time >= ?2 LIMIT ?3)");
            c.Text(1, rangeKey).Int(2, addressSince).Int(3, limits.addressLimit);
            if (c.Step() != SQLITE_ROW) return Fail("count failures");
            counts.addressFailures = static_cast<uint32_t>(c.ColInt(0));
        }
        const int i = Snapshot()->lists[kBlackList]->index.Find(pRange->first, failure.time);
        counts.alreadyBlocked = i >= 0;
    }
    if (!accountKey.empty() && limits.accountLimit) {
        Statement c(*this,
                    "SELECT COUNT(*) FROM (SELECT 1 FROM failures WHERE account_key = ?1 AND time >= ?2 LIMIT ?3)");
        c.Text(1, accountKey).Int(2, limits.accountSince).Int(3, limits.accountLimit);
        if (c.Step() != SQLITE_ROW) return Fail("count failures");
        counts.accountFailures = static_cast<uint32_t>(c.ColInt(0));
        counts.alreadyFrozen = m_frozen.count(accountKey) != 0;
    }

    FailureActions act = policy(counts);
    unsigned changed = 0;
    if (act.block && pRange && !counts.alreadyBlocked) {
        ListItem item;
        item.id = NewItemId();
        item.list = kBlackList;
        item.range = *pRange;
        item.address = rangeKey;
        item.expires = act.blockExpires;
        item.added = failure.time;
        item.addedBy = "vigilond";
        item.comment = "authentication failures";
        item.flags = VG_ITEM_AUTOMATIC;
        Statement s(*this,
                    "INSERT INTO items(id, list, address, first, last, prefix, v4, expires, added, added_by, comment,"
                    " flags) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
        s.Id(1, item.id).Int(2, item.list).Text(3, item.address).Address(4, item.range.first);
        s.Address(5, item.range.last).Int(6, item.range.prefix).Int(7, item.range.v4).Int(8, item.expires);
        s.Int(9, item.added).Text(10, item.addedBy).Text(11, item.comment).Int(12, item.flags);
        // The count starts again after the block; the offence is remembered.
        Statement r(*this,
                    "INSERT INTO ranges(range_key, count_since, offences) VALUES(?1, ?2, 1)"
                    " ON CONFLICT(range_key) DO UPDATE SET count_since = ?2, offences = offences + 1");
        r.Text(1, rangeKey).Int(2, failure.time + 1);
        if (!s.Ok() || !s.Run() || !r.Ok() || !r.Run()) return Fail("block address");
        m_entries[kBlackList][item.id] = {item.id, item.range.first, item.range.last, ExpiryForIndex(item.expires)};
        changed |= 1u << kBlackList;
        pDone->block = true;
        pDone->blockExpires = act.blockExpires;
    }
    bool fFrozen = false;
    if (act.freeze && !accountKey.empty() && !counts.alreadyFrozen) {
        FrozenAccount a;
        a.account = failure.account;
        a.address = failure.address;
        a.service = failure.service;
        a.failures = counts.accountFailures;
        a.frozen = failure.time;
        HRESULT hr = FreezeLocked(a);
        if (HrFailed(hr)) return hr;
        fFrozen = pDone->freeze = hr == S_OK;
    }
    if (!t.Commit()) {
        // Nothing of this report stands: the copies follow the database.
        if (pDone->block) LoadIndex();
        else if (fFrozen) m_frozen.erase(accountKey);
        *pDone = FailureActions();
        return Fail("commit failure");
    }
    if (changed || fFrozen) Publish(changed, fFrozen);
    return S_OK;
}

HRESULT Store::ClearAddressCount(const AddrRange& range, int64_t now) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("clear");
    Statement r(*this,
                "INSERT INTO ranges(range_key, count_since, offences) VALUES(?1, ?2, 0)"
                " ON CONFLICT(range_key) DO UPDATE SET count_since = ?2");
    r.Text(1, FormatRange(range)).Int(2, now + 1);
    if (!r.Ok() || !r.Run()) return Fail("clear count");
    return S_OK;
}

HRESULT Store::Expire(int64_t now, int64_t failuresBefore, int64_t thawBefore,
                      const std::function<void(const ListItem*, const FrozenAccount*)>& fn) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("expire");
    Transaction t(m_db);
    if (!t.Ok()) return Fail("begin");
    std::vector<ListItem> expired;
    {
        Statement q(*this, "SELECT id, list, address, expires, flags FROM items WHERE expires != 0 AND expires <= ?1");
        q.Int(1, now);
        while (q.Step() == SQLITE_ROW) {
            ListItem item;
            item.id = q.ColId(0);
            item.list = static_cast<ListKind>(q.ColInt(1));
            item.address = q.ColText(2);
            item.expires = q.ColInt(3);
            item.flags = static_cast<uint32_t>(q.ColInt(4));
            expired.push_back(item);
        }
    }
    std::vector<FrozenAccount> thawed;
    if (thawBefore > 0) {
        Statement q(*this, "SELECT id, account, account_key FROM frozen WHERE frozen <= ?1");
        q.Int(1, thawBefore);
        while (q.Step() == SQLITE_ROW) {
            FrozenAccount a;
            a.id = q.ColId(0);
            a.account = q.ColText(1);
            a.address = q.ColText(2);  // the folded key, to drop it from the copy
            thawed.push_back(a);
        }
    }
    Statement d1(*this, "DELETE FROM items WHERE expires != 0 AND expires <= ?1");
    d1.Int(1, now);
    // Failures are stored in time order: the old ones are a prefix of the
    // table, found without an index of their own.
    Statement d2(*this,
                 "DELETE FROM failures WHERE rowid < "
                 "(SELECT coalesce((SELECT rowid FROM failures WHERE time >= ?1 ORDER BY rowid LIMIT 1),"
                 " (SELECT max(rowid) + 1 FROM failures), 0))");
    d2.Int(1, failuresBefore);
    Statement d3(*this, "DELETE FROM frozen WHERE frozen <= ?1");
    d3.Int(1, thawBefore > 0 ? thawBefore : INT64_MIN);
    if (!d1.Run() || !d2.Run() || !d3.Run() || !t.Commit()) return Fail("expire");
    unsigned changed = 0;
    for (const ListItem& item : expired) {
        m_entries[item.list].erase(item.id);
        changed |= 1u << item.list;
        if (fn) fn(&item, nullptr);
    }
    for (FrozenAccount& a : thawed) {
        m_frozen.erase(a.address);
        a.address.clear();
        if (fn) fn(nullptr, &a);
    }
    if (changed || !thawed.empty()) Publish(changed, !thawed.empty());
    sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return S_OK;
}

HRESULT Store::FindItem(ListKind list, const AddrRange& range, VGITEMID* pId) const {
    std::lock_guard<std::mutex> g(m_lock);
    for (const auto& kv : m_entries[list]) {
        if (kv.second.first == range.first && kv.second.last == range.last) {
            if (pId) *pId = kv.first;
            return S_OK;
        }
    }
    return S_FALSE;
}

HRESULT Store::SetAdmin(const std::string& name, const std::string& hash, int64_t now) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("set administrator");
    Statement s(*this, "INSERT OR REPLACE INTO admins(name, hash, changed) VALUES(?1, ?2, ?3)");
    s.Text(1, name).Text(2, hash).Int(3, now);
    return s.Ok() && s.Run() ? S_OK : Fail("set administrator");
}

HRESULT Store::AdminHash(const std::string& name, std::string* pHash) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_db) return Fail("read administrator");
    Statement q(*this, "SELECT hash FROM admins WHERE name = ?1");
    q.Text(1, name);
    const int rc = q.Step();
    if (rc == SQLITE_DONE) return S_FALSE;
    if (rc != SQLITE_ROW) return Fail("read administrator");
    *pHash = q.ColText(0);
    return S_OK;
}

}  // namespace vgsvc
