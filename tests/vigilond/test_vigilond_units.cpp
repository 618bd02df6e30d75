// Addresses, the range index, the settings table, the schema, the
// dispatcher (every command answered, and requests it cannot answer), and
// the management pieces below the pipe: sessions, password hashes, Base64.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "service/dispatch.h"
#include "service/listindex.h"
#include "service/mgmt.h"
#include "service/netaddr.h"
#include "service/service.h"
#include "service/settings.h"
#include "service/store.h"
#include "sharedcode/platform/credentials.h"
#include "sharedcode/platform/crypto.h"
#include "sharedcode/platform/process.h"
#include "tests/test_env.h"

using namespace vgsvc;

namespace {

AddrRange R(const char* sz) {
    AddrRange r;
    EXPECT_TRUE(ParseRange(sz, &r)) << sz;
    return r;
}

Addr128 A(const char* sz) {
    Addr128 a;
    EXPECT_TRUE(ParseAddress(sz, &a)) << sz;
    return a;
}

}  // namespace

TEST(VigilondAddress, ParsesAndFormatsBothFamilies) {
    const char* const good[][2] = {
        {"192.0.2.7", "192.0.2.7"},          {"10.1.2.3/8", "10.0.0.0/8"},
        {"2001:DB8::1", "2001:db8::1"},      {"::", "::"},
        {"::ffff:192.0.2.7", "192.0.2.7"},   {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
        {"2001:db8::/32", "2001:db8::/32"},  {"fe80::1:2:3:4/64", "fe80::/64"},
        {"0.0.0.0/0", "0.0.0.0/0"},          {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
    };
    for (const auto& g : good) EXPECT_EQ(FormatRange(R(g[0])), g[1]) << g[0];
    const char* const bad[] = {"",          "1.2.3",     "1.2.3.4.5", "256.1.1.1", "01.2.3.4",  "1.2.3.4/33",
                               "::1/129",   "1:2:3:4:5:6:7:8:9",      ":1::2",     "1:::2",     "1::2::3",
                               "12345::",   "fe80::1%eth0",           " 1.2.3.4",  "1.2.3.4/", "1:2:3:4:5:6:7:"};
    for (const char* b : bad) {
        AddrRange r;
        EXPECT_FALSE(ParseRange(b, &r)) << b;
    }
    EXPECT_EQ(FormatRange(Aggregate(A("203.0.113.77"), 24)), "203.0.113.0/24");
    EXPECT_EQ(FormatRange(Aggregate(A("2001:db8:1:2:3::9"), 48)), "2001:db8:1::/48");
    EXPECT_EQ(FormatRange(Aggregate(A("203.0.113.77"), 0)), "203.0.113.77");
}

TEST(VigilondIndex, OverlappingRangesAnswerWithTheLatestExpiry) {
    auto entry = [](const char* sz, int64_t expires) {
        AddrRange r = R(sz);
        IndexEntry e{};
        e.first = r.first;
        e.last = r.last;
        e.expires = expires;
        return e;
    };
    // A wide range expiring at 100, a nested one for good, a neighbour at 50,
    // the top of the space, and a duplicate.
    RangeIndex idx({entry("10.0.0.0/8", 100), entry("10.1.0.0/16", kNeverExpires), entry("11.0.0.0/8", 50),
                    entry("ffff::/16", 10), entry("11.0.0.0/8", 60)});
    EXPECT_EQ(idx.Find(A("10.200.0.1"), 99), 0);
    EXPECT_EQ(idx.Find(A("10.200.0.1"), 100), -1);
    EXPECT_EQ(idx.Find(A("10.1.2.3"), 1000), 1);
    EXPECT_EQ(idx.Find(A("10.1.2.3"), 10), 1);  // both cover it: the later expiry answers
    EXPECT_EQ(idx.Find(A("11.255.255.255"), 55), 4);
    EXPECT_EQ(idx.Find(A("12.0.0.0"), 0), -1);
    EXPECT_EQ(idx.Find(A("9.255.255.255"), 0), -1);
    EXPECT_EQ(idx.Find(A("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), 0), 3);
    EXPECT_EQ(idx.Find(A("::1"), 0), -1);
    EXPECT_EQ(RangeIndex(std::vector<IndexEntry>()).Find(A("1.2.3.4"), 0), -1);
}

TEST(VigilondSettings, EveryNamedSettingHasADefaultAndTheReadmeShowsIt) {
    std::stringstream readme;
    readme << std::ifstream(VGS_README).rdbuf();
    EXPECT_EQ(SettingDefaults().size(), 127u);
    for (const SettingDefault& d : SettingDefaults()) {
        ASSERT_NE(d.szDefault, nullptr) << d.szSection << "." << d.szKey;
        const std::string row = std::string(" | ") + d.szKey + " | " + d.szType + " | " + d.szDefault + " | " +
                                d.szMeaning + " |";
        // The front-end sections share one row.
        EXPECT_TRUE(readme.str().find("| " + std::string(d.szSection) + row) != std::string::npos ||
                    readme.str().find("| *front end*" + row) != std::string::npos)
            << "README lacks: " << d.szSection << row;
    }
}

namespace {

class Collect : public MessageWriter {
public:
    bool Write(const void* pv, size_t cb) override {
        const uint8_t* p = static_cast<const uint8_t*>(pv);
        messages.emplace_back(p, p + cb);
        return true;
    }
    int32_t Status(size_t i = 0) const {
        int32_t hr;
        std::memcpy(&hr, messages.at(i).data() + 8, 4);
        return hr;
    }
    std::vector<std::vector<uint8_t>> messages;
};

class VigilondDispatch : public VgTestEnv {
protected:
    void SetUp() override {
        VgTestEnv::SetUp();
        ASSERT_EQ(m_service.Open(m_dir + "/state", m_dir + "/vigilon.ini"), S_OK);
    }
    void TearDown() override {
        m_service.Close();
        VgTestEnv::TearDown();
    }
    Collect Send(PipeKind pipe, const std::vector<uint8_t>& bytes) {
        Collect out;
        m_service.GetDispatcher().Dispatch(m_service, pipe, bytes.data(), bytes.size(), out);
        return out;
    }
    // cb bytes: the extended header with the session id, then zeros.
    static std::vector<uint8_t> Query(uint32_t dwCommand, size_t cb, uint32_t dwVersion = VG_PROTOCOL_VERSION,
                                      const VGITEMID& session = {}) {
        VGREQHDREX hdr{{static_cast<uint32_t>(cb), dwCommand, 1, 1, dwVersion, "TEST"}, {}, {}};
        std::memcpy(&hdr.idSession, &session, sizeof(session));
        std::vector<uint8_t> b(cb, 0);
        std::memcpy(b.data(), &hdr, std::min(cb, sizeof(hdr)));
        return b;
    }
    Service m_service;
};

}  // namespace

TEST_F(VigilondDispatch, RequestsItCannotAnswerGetAFailureOrNothing) {
    EXPECT_TRUE(Send(kScreeningPipe, {1, 2, 3}).messages.empty());
    EXPECT_EQ(Send(kScreeningPipe, Query(VGCMD_ISBLACKLISTED, 147)).Status(), kHrBadRequest);
    EXPECT_EQ(Send(kScreeningPipe, Query(VGCMD_ISBLACKLISTED, 1000)).Status(), kHrBadRequest);
    EXPECT_EQ(Send(kScreeningPipe, Query(VGCMD_ISBLACKLISTED, 148, 0x12345678)).Status(), kHrBadRequest);
    EXPECT_EQ(Send(kScreeningPipe, Query(14, 148)).Status(), kHrUnknownCommand);
    EXPECT_EQ(Send(kScreeningPipe, Query(0xFFFFFFFF, 148)).Status(), kHrUnknownCommand);
    EXPECT_EQ(Send(kManagementPipe, Query(VGCMD_ISBLACKLISTED, 148)).Status(), kHrWrongPipe);
    EXPECT_EQ(Send(kScreeningPipe, Query(VGCMD_ENDMGMTSESSION, 116)).Status(), kHrWrongPipe);
    std::vector<uint8_t> unterminated = Query(VGCMD_ISBLACKLISTED, 148);
    std::memset(&unterminated[offsetof(VGIPQUERY, szIPAddress)], 'A', sizeof(VGIPQUERY::szIPAddress));
    EXPECT_EQ(Send(kScreeningPipe, unterminated).Status(), static_cast<HRESULT>(0x80070057));
    // A streamed command's failure is a list header, so the list reader sees it.
    const Collect list = Send(kManagementPipe, Query(VGCMD_GETBLACKITEMLIST, 115));
    ASSERT_EQ(list.messages.size(), 1u);
    EXPECT_EQ(list.messages[0].size(), sizeof(VGLISTHDR));
    EXPECT_LT(list.Status(), 0);
}

// Every command of the table, as zeros behind its header: answered with its
// reply size, never "not implemented" nor "bad request"; every management
// command but the logon refused without a session.
TEST_F(VigilondDispatch, EveryCommandIsAnsweredAndManagementChecksTheSession) {
    VGITEMID unknown;
    std::memset(&unknown, 0x5A, sizeof(unknown));
    for (uint32_t cmd = 1; cmd <= kMaxCommandCode; ++cmd) {
        const CommandRow* row = FindCommand(cmd);
        if (!row) continue;
        SCOPED_TRACE(row->szName);
        const bool fScreening = row->pipe == VG_PIPE_SCREENING;
        auto send = [&](const VGITEMID& session) {
            return Send(fScreening ? kScreeningPipe : kManagementPipe,
                        Query(cmd, row->cbRequest, VG_PROTOCOL_VERSION, session));
        };
        VGITEMID session{};
        ASSERT_TRUE(m_service.GetSessions().Open("admin", m_service.Now(), 60, &session));
        const Collect out = send(session);
        ASSERT_FALSE(out.messages.empty());
        EXPECT_EQ(out.messages[0].size(), row->cbReply);
        EXPECT_NE(out.Status(), kHrNotImplemented);
        EXPECT_NE(out.Status(), kHrBadRequest);
        if (!fScreening && cmd != VGCMD_OPENMGMTSESSION) {
            EXPECT_EQ(send(unknown).Status(), kHrNoSession);
        }
    }
}

namespace {

// Runs statements on a database file: the first column of the last row
// they returned, -1 when none did.
int64_t Sql(const std::string& path, const char* szSql) {
    sqlite3* db = nullptr;
    int64_t v = -1;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    auto first = [](void* pv, int, char** values, char**) {
        *static_cast<int64_t*>(pv) = values[0] ? std::atoll(values[0]) : 0;
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, szSql, first, &v, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    return v;
}

}  // namespace

TEST_F(VigilondDispatch, TheSchemaIsBroughtUpToDateAndANewerOneRefused) {
    m_service.Close();
    const std::string db = m_dir + "/state/vigilon.db";
    // A version 2 database still has the failures' time index.
    Sql(db, "CREATE INDEX failures_by_time ON failures(time); PRAGMA user_version=2;");
    Store store;
    ASSERT_EQ(store.Open(m_dir + "/state"), S_OK);
    store.Close();
    EXPECT_EQ(Sql(db, "PRAGMA user_version"), kSchemaVersion);
    EXPECT_EQ(Sql(db, "SELECT count(*) FROM sqlite_master WHERE name = 'failures_by_time'"), 0);
    Sql(db, "PRAGMA user_version=99;");
    EXPECT_EQ(store.Open(m_dir + "/state"), static_cast<HRESULT>(0x8007065A));
}

// A logon drops the sessions idle past their time before it counts the open
// ones, so a full table of forgotten sessions does not refuse every logon.
TEST(VigilondSessions, IdleOnesExpireAndMakeRoomUnderTheLimit) {
    Sessions s;
    VGITEMID kept, id;
    ASSERT_TRUE(s.Open("alice", 0, 60, &kept));
    for (size_t i = 1; i < kMaxSessions; ++i) ASSERT_TRUE(s.Open("admin", 10, 60, &id));
    EXPECT_FALSE(s.Open("admin", 60, 60, &id));
    std::string who;
    EXPECT_TRUE(s.Touch(kept, 60, 60, &who));  // each use restarts the idle time
    EXPECT_EQ(who, "alice");
    EXPECT_TRUE(s.Open("admin", 71, 60, &id));
    EXPECT_EQ(s.Count(), 2u);
    EXPECT_TRUE(s.End(id, &who));
    EXPECT_EQ(who, "admin");
    EXPECT_FALSE(s.End(id, nullptr));
    EXPECT_FALSE(s.Touch(kept, 121, 60, nullptr));  // idle 61 s
    EXPECT_EQ(s.Count(), 0u);
}

TEST(VigilondCredentials, HashesAreYescryptWithSaltAndCheckExactly) {
    char h1[plat::kPasswordHashSize], h2[plat::kPasswordHashSize];
    ASSERT_TRUE(plat::HashPassword("correct horse", h1, sizeof(h1)));
    ASSERT_TRUE(plat::HashPassword("correct horse", h2, sizeof(h2)));
    EXPECT_EQ(std::string(h1, 3), "$y$");
    EXPECT_STRNE(h1, h2);  // a fresh salt each time
    EXPECT_TRUE(plat::CheckPassword("correct horse", h1));
    EXPECT_TRUE(plat::CheckPassword("correct horse", h2));
    EXPECT_FALSE(plat::CheckPassword("correct horsE", h1));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_LOGON_FAILURE));
    EXPECT_FALSE(plat::CheckPassword("", h1));
    EXPECT_FALSE(plat::CheckPassword("correct horse", "not a hash"));
    EXPECT_FALSE(plat::CheckPassword("x", ""));
    const std::string tooLong(plat::kMaxPasswordLength + 1, 'p');
    EXPECT_FALSE(plat::HashPassword(tooLong.c_str(), h1, sizeof(h1)));
    EXPECT_FALSE(plat::HashPassword("pw", h1, 8));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(VigilondCredentials, Base64DecodesWhatTheEncoderWrites) {
    // Every length around the encoder's 48-byte lines, line breaks included.
    for (DWORD cb : {0u, 1u, 2u, 3u, 47u, 48u, 49u, 200u}) {
        std::string bytes(cb, '\0');
        for (DWORD i = 0; i < cb; ++i) bytes[i] = static_cast<char>(i * 37 + 1);
        char text[512];
        DWORD cch = sizeof(text);
        ASSERT_TRUE(plat::CryptBinaryToStringA(reinterpret_cast<const BYTE*>(bytes.data()), cb,
                                               plat::kCryptStringBase64, text, &cch));
        DWORD cbOut = 0;
        ASSERT_TRUE(plat::CryptStringToBinaryA(text, 0, plat::kCryptStringBase64, nullptr, &cbOut)) << cb;
        EXPECT_EQ(cbOut, cb);
        std::string out(cb + 1, '\0');
        cbOut = cb + 1;
        ASSERT_TRUE(plat::CryptStringToBinaryA(text, 0, plat::kCryptStringBase64,
                                               reinterpret_cast<BYTE*>(&out[0]), &cbOut));
        EXPECT_EQ(out.substr(0, cbOut), bytes) << cb;
    }
    BYTE b[8];
    DWORD cb = 1;
    EXPECT_FALSE(plat::CryptStringToBinaryA("aGVsbG8=", 0, plat::kCryptStringBase64, b, &cb));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    for (const char* bad : {"aGVsbG8", "aGV*bG8=", "a===", "aGVsbG8=aGVs"}) {
        cb = sizeof(b);
        EXPECT_FALSE(plat::CryptStringToBinaryA(bad, 0, plat::kCryptStringBase64, b, &cb)) << bad;
        EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << bad;
    }
}
