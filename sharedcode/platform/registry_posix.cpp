// POSIX side of platform/registry.h: a registry export file read as the
// registry.
#include "sharedcode/platform/registry.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "sharedcode/platform/robust_posix.h"
#include "sharedcode/platform/text.h"

namespace plat {

namespace {

constexpr const char* kDefaultRegistryPath = "/etc/vigilon/registry.reg";
constexpr size_t kMaxRegistryFile = 64u << 20;

struct RegValue {
    std::string name;  // folded to lower case
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct RegKeyData {
    std::vector<RegValue> values;
};

// One parse of the file, shared by the keys opened from it.
struct Snapshot {
    std::string path;
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    LONG openError = ERROR_SUCCESS;  // ERROR_BADDB for a malformed file
    std::unordered_map<std::string, RegKeyData> keys;  // full path, lower case
};

}  // namespace

struct RegKey {
    std::shared_ptr<const Snapshot> snapshot;
    const std::string* path;  // lower case; the map's key, or the root's name
    const RegKeyData* data = nullptr;
};

namespace {

const std::string g_hklmName = "hkey_local_machine";
RegKey g_hklm{nullptr, &g_hklmName, nullptr};

void FoldLower(std::string& s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

// A folded (lower-case) name against a caller's name of any case. A stored
// name may hold zero bytes (a quoted name can); it then matches nothing.
bool EqualsFolded(const std::string& folded, const char* sz) {
    size_t i = 0;
    for (; i < folded.size(); ++i) {
        char c = sz[i];
        if (c == 0) return false;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != folded[i]) return false;
    }
    return sz[i] == 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// UTF-16LE (regedit's default) to UTF-8, by the rules of text.h.
std::string Utf16ToUtf8(const std::string& in) {
    std::u16string units;
    for (size_t i = 2; i + 1 < in.size(); i += 2)
        units += static_cast<char16_t>(static_cast<unsigned char>(in[i]) | (static_cast<unsigned char>(in[i + 1]) << 8));
    std::string out;
    for (size_t i = 0; i < units.size();) {
        char ab[4];
        out.append(ab, static_cast<size_t>(EncodeUtf8(NextUtf16(units.data(), units.size(), &i), ab)));
    }
    return out;
}

// Reads a quoted string with \\ and \" escapes starting at s[pos] == '"'.
bool ParseQuoted(const std::string& s, size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    ++pos;
    out.clear();
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == '"') return true;
        if (c == '\\' && pos < s.size()) c = s[pos++];
        out += c;
    }
    return false;
}

bool ParseHexBytes(const std::string& s, size_t pos, std::vector<BYTE>& out) {
    out.clear();
    while (pos < s.size()) {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
        if (pos >= s.size()) break;
        int hi = HexDigit(s[pos]);
        int lo = pos + 1 < s.size() ? HexDigit(s[pos + 1]) : -1;
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<BYTE>(hi << 4 | lo));
        pos += 2;
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
        if (pos < s.size()) {
            if (s[pos] != ',') return false;
            ++pos;
        }
    }
    return true;
}

// The value part after '=': "text", dword:n, hex:.., hex(t):.. or - (delete).
bool ParseValueData(const std::string& s, size_t pos, RegValue& v, bool& erase) {
    erase = false;
    if (pos < s.size() && s[pos] == '"') {
        std::string text;
        if (!ParseQuoted(s, pos, text)) return false;
        if (s.find_first_not_of(" \t", pos) != std::string::npos) return false;
        v.type = kRegSz;
        v.data.assign(text.begin(), text.end());
        v.data.push_back(0);
        return true;
    }
    if (s.compare(pos, std::string::npos, "-") == 0) {
        erase = true;
        return true;
    }
    if (s.compare(pos, 6, "dword:") == 0) {
        pos += 6;
        size_t end = s.find_last_not_of(" \t");
        if (end == std::string::npos || end < pos || end - pos + 1 > 8) return false;
        uint32_t n = 0;
        for (size_t i = pos; i <= end; ++i) {
            int d = HexDigit(s[i]);
            if (d < 0) return false;
            n = n << 4 | static_cast<uint32_t>(d);
        }
        v.type = kRegDword;
        v.data = {static_cast<BYTE>(n), static_cast<BYTE>(n >> 8), static_cast<BYTE>(n >> 16),
                  static_cast<BYTE>(n >> 24)};
        return true;
    }
    if (s.compare(pos, 4, "hex:") == 0) {
        v.type = kRegBinary;
        return ParseHexBytes(s, pos + 4, v.data);
    }
    if (s.compare(pos, 4, "hex(") == 0) {
        size_t close = s.find("):", pos);
        if (close == std::string::npos || close == pos + 4 || close - pos - 4 > 8) return false;
        uint32_t t = 0;
        for (size_t i = pos + 4; i < close; ++i) {
            int d = HexDigit(s[i]);
            if (d < 0) return false;
            t = t << 4 | static_cast<uint32_t>(d);
        }
        v.type = t;
        return ParseHexBytes(s, close + 2, v.data);
    }
    return false;
}

// Parses the whole text; false for anything that is not a registry export.
bool ParseRegText(std::string text, std::unordered_map<std::string, RegKeyData>& keys) {
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE)
        text = Utf16ToUtf8(text);
    else if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);

    // Split into logical lines: CR LF or LF ends, a trailing backslash joins
    // the next line (long hex values).
    std::vector<std::string> lines;
    std::string cur;
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!cur.empty()) {
            size_t first = line.find_first_not_of(" \t");
            line = first == std::string::npos ? std::string() : line.substr(first);
        }
        cur += line;
        if (!cur.empty() && cur.back() == '\\' && cur[0] != '[' && cur[0] != ';') {
            cur.pop_back();
        } else {
            lines.push_back(cur);
            cur.clear();
        }
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    if (!cur.empty()) lines.push_back(cur);

    size_t i = 0;
    while (i < lines.size() && lines[i].find_first_not_of(" \t") == std::string::npos) ++i;
    if (i == lines.size()) return false;
    std::string header = lines[i].substr(0, lines[i].find_last_not_of(" \t") + 1);
    if (header != "REGEDIT4" && header != "Windows Registry Editor Version 5.00") return false;

    RegKeyData* key = nullptr;
    for (++i; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        size_t p = line.find_first_not_of(" \t");
        if (p == std::string::npos || line[p] == ';') continue;
        if (line[p] == '[') {
            size_t close = line.rfind(']');
            if (close == std::string::npos || close <= p + 1) return false;
            std::string name = line.substr(p + 1, close - p - 1);
            bool remove = name[0] == '-';
            if (remove) name.erase(0, 1);
            while (!name.empty() && name.back() == '\\') name.pop_back();
            if (name.empty()) return false;
            FoldLower(name);
            if (remove) {
                for (auto it = keys.begin(); it != keys.end();) {
                    bool under = it->first == name ||
                                 (it->first.size() > name.size() && it->first.compare(0, name.size(), name) == 0 &&
                                  it->first[name.size()] == '\\');
                    it = under ? keys.erase(it) : std::next(it);
                }
                key = nullptr;
                continue;
            }
            // Every key along the path exists, as on Windows.
            for (size_t b = name.find('\\'); b != std::string::npos; b = name.find('\\', b + 1))
                keys.emplace(name.substr(0, b), RegKeyData{});
            key = &keys[name];
            continue;
        }
        RegValue v;
        size_t pos = p;
        if (line[pos] == '@') {
            ++pos;
        } else if (!ParseQuoted(line, pos, v.name)) {
            return false;
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        if (pos >= line.size() || line[pos] != '=') return false;
        ++pos;
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        bool erase = false;
        if (!key || !ParseValueData(line, pos, v, erase)) return false;
        FoldLower(v.name);
        std::vector<RegValue>& values = key->values;
        auto it = values.begin();
        while (it != values.end() && it->name != v.name) ++it;
        if (erase) {
            if (it != values.end()) values.erase(it);
        } else if (it != values.end()) {
            *it = std::move(v);
        } else {
            values.push_back(std::move(v));
        }
    }
    return true;
}

std::shared_ptr<const Snapshot> Load(const std::string& path, const struct stat* st) {
    auto snap = std::make_shared<Snapshot>();
    snap->path = path;
    if (!st) return snap;  // no file: an empty registry
    snap->exists = true;
    snap->dev = st->st_dev;
    snap->ino = st->st_ino;
    snap->size = st->st_size;
    snap->mtimeNs = static_cast<int64_t>(st->st_mtim.tv_sec) * 1000000000 + st->st_mtim.tv_nsec;
    if (static_cast<uint64_t>(st->st_size) > kMaxRegistryFile) {
        snap->openError = ERROR_BADDB;
        return snap;
    }
    int fd = RobustOpen(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        snap->openError = errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_BADDB;
        return snap;
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = RobustRead(fd, buf, sizeof(buf));
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxRegistryFile) break;
    }
    ::close(fd);
    if (!ParseRegText(std::move(text), snap->keys)) {
        snap->keys.clear();
        snap->openError = ERROR_BADDB;
    }
    return snap;
}

// Watches the registry file's folder, so that the check before each read is
// one read of an inotify descriptor rather than a stat of the path. Any
// event for the file's name (written, replaced, removed, attributes) or a
// lost event makes the next read parse the file again; the event is queued
// before the writer's call returns, so an edit is seen by the next read.
// Without a watch (no inotify, a folder that does not exist yet, a file
// behind a symbolic link) every read compares the file's identity and time
// instead.
class FolderWatch {
public:
    // Watches the folder of path; false when that is not possible.
    bool Arm(const std::string& path) {
        Disarm();
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        m_name = slash == std::string::npos ? path : path.substr(slash + 1);
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return false;
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd < 0) return false;
        constexpr uint32_t kEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE |
                                     IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_ONLYDIR;
        if (::inotify_add_watch(m_fd, dir.c_str(), kEvents) < 0) {
            Disarm();
            return false;
        }
        return true;
    }
    bool Armed() const { return m_fd >= 0; }
    void Disarm() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    // After fork the descriptor is shared with the parent, which would take
    // the child's events: the child starts over.
    void Forget() { m_fd = -1; }

    // Takes the pending events; true when one of them may have changed the
    // file. A watch that ended (its folder removed or moved) disarms itself
    // and counts as a change.
    bool Changed() {
        alignas(struct inotify_event) char buf[4096];
        bool changed = false;
        for (;;) {
            const ssize_t n = ::read(m_fd, buf, sizeof(buf));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) {
                // The descriptor is no longer the watch (closed behind the
                // layer's back): start over without touching it.
                Forget();
                return true;
            }
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + at);
                if (ev->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                    changed = true;
                    if (!(ev->mask & IN_Q_OVERFLOW)) m_fEnded = true;
                } else if (ev->len && strcmp(ev->name, m_name.c_str()) == 0) {
                    changed = true;
                }
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
            }
        }
        if (m_fEnded) {
            m_fEnded = false;
            Disarm();
            changed = true;
        }
        return changed;
    }

private:
    int m_fd = -1;
    bool m_fEnded = false;
    std::string m_name;
};

std::mutex g_cacheLock;
std::shared_ptr<const Snapshot> g_cache;
FolderWatch g_watch;

bool SameFile(const Snapshot& c, bool exists, const struct stat& st) {
    return c.exists == exists &&
           (!exists || (c.dev == st.st_dev && c.ino == st.st_ino && c.size == st.st_size &&
                        c.mtimeNs == static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec));
}

const char* RegistryPath() {
    const char* env = ::getenv("VIGILON_REGISTRY");
    return env && *env ? env : kDefaultRegistryPath;
}

// The registry as the file is now: the cached parse while the file is
// unchanged, else a new parse. Parsing happens under the lock, so a read that
// starts after an edit never gets the parse from before it.
std::shared_ptr<const Snapshot> Current() {
    static const bool s_fAtFork = [] {
        ::pthread_atfork(nullptr, nullptr, [] { g_watch.Forget(); });
        return true;
    }();
    (void)s_fAtFork;
    const char* path = RegistryPath();
    std::lock_guard<std::mutex> lock(g_cacheLock);
    const Snapshot* c = g_cache.get();
    if (c && c->path == path && g_watch.Armed() && !g_watch.Changed()) return g_cache;
    struct stat st;
    bool exists = ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
    if (c && c->path == path && !g_watch.Armed() && SameFile(*c, exists, st)) return g_cache;
    // Watch first, then read: an edit between the two is not lost.
    if (!c || c->path != path || !g_watch.Armed()) {
        if (g_watch.Arm(path)) exists = ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
    }
    g_cache = Load(path, exists ? &st : nullptr);
    return g_cache;
}

}  // namespace

HKEY HkeyLocalMachine() { return &g_hklm; }

LONG RegOpenKeyExA(HKEY hkRoot, const char* szSubKey, DWORD, DWORD, HKEY* phkResult) {
    if (!phkResult || !hkRoot) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::shared_ptr<const Snapshot> snap = hkRoot == &g_hklm ? Current() : hkRoot->snapshot;
    if (snap->openError != ERROR_SUCCESS) return snap->openError;
    // The full key name, folded; the buffer is kept to spare an allocation
    // on every call.
    thread_local std::string path;
    path = *hkRoot->path;
    if (szSubKey && *szSubKey) {
        if (szSubKey[0] == '\\') return ERROR_BAD_PATHNAME;
        size_t cch = strlen(szSubKey);
        while (cch && szSubKey[cch - 1] == '\\') --cch;
        if (cch) {
            path += '\\';
            size_t at = path.size();
            path.append(szSubKey, cch);
            for (size_t i = at; i < path.size(); ++i)
                if (path[i] >= 'A' && path[i] <= 'Z') path[i] = static_cast<char>(path[i] - 'A' + 'a');
        }
    }
    auto it = snap->keys.find(path);
    if (it == snap->keys.end()) return ERROR_FILE_NOT_FOUND;
    RegKey* key = new (std::nothrow) RegKey{std::move(snap), &it->first, &it->second};
    if (!key) return ERROR_NOT_ENOUGH_MEMORY;
    *phkResult = key;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, const char* szName, DWORD*, DWORD* pdwType, BYTE* pbData, DWORD* pcbData) {
    if (!hKey || hKey == &g_hklm || !hKey->data) return ERROR_INVALID_HANDLE;
    if (pbData && !pcbData) return ERROR_INVALID_PARAMETER;
    const char* name = szName ? szName : "";
    for (const RegValue& v : hKey->data->values) {
        if (!EqualsFolded(v.name, name)) continue;
        if (pdwType) *pdwType = v.type;
        DWORD cb = static_cast<DWORD>(v.data.size());
        if (pbData) {
            if (*pcbData < cb) {
                *pcbData = cb;
                return ERROR_MORE_DATA;
            }
            if (cb) memcpy(pbData, v.data.data(), cb);
        }
        if (pcbData) *pcbData = cb;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY hKey) {
    if (!hKey) return ERROR_INVALID_HANDLE;
    if (hKey != &g_hklm) delete hKey;
    return ERROR_SUCCESS;
}

}  // namespace plat
