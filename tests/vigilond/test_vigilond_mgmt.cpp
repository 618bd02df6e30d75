// vigilond's management side as its own process, with the library as its
// client: logons and sessions, every management command, configuration that
// takes effect at once, list round trips and counters that move.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgservicerecords.h"
#include "service/mgmt.h"
#include "tests/vigilond/vigilond_process.h"

using namespace vgsvc;

namespace {

// `vigilond --add-admin NAME` with `input` on its standard input: its exit status.
int AddAdmin(const std::string& stateDir, const std::string& name, const std::string& input) {
    const std::string cmd = std::string(VIGILOND_PATH) + " --state-dir " + stateDir + " --add-admin '" + name +
                            "' 2>/dev/null";
    FILE* f = ::popen(cmd.c_str(), "w");
    if (!f) return -1;
    std::fwrite(input.data(), 1, input.size(), f);
    const int st = ::pclose(f);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

template <typename T>
bool IsZero(const T& v) {
    static const T zero{};
    return std::memcmp(&v, &zero, sizeof(T)) == 0;
}

class VigilondMgmt : public VigilondTest {
protected:
    void SetUp() override {
        VigilondTest::SetUp();
        ASSERT_EQ(AddAdmin(m_process->StateDir(), "admin", "s3cret pass\n"), 0);
    }
    VGSESSIONID Open(VGHRESULT expected = S_OK, const char* user = "admin", const char* password = "s3cret pass") {
        VGSESSIONID id;
        std::memset(&id, 0xEE, sizeof(id));
        EXPECT_EQ(HrVGOpenMgmtSession(user, password, "tests", &id, nullptr), expected) << user << "/" << password;
        return id;
    }
    std::map<std::string, uint64_t> Stats(const VGSESSIONID& id) {
        VGSTATISTICS stats{};
        stats.cbSize = VG_STATISTICS_SIZE;
        EXPECT_EQ(HrVGQueryStatistics(id, &stats, 0), S_OK);
        VGSTATSREC rec;
        std::memcpy(&rec, &stats, sizeof(rec));
        EXPECT_EQ(rec.bLayout, VG_STATS_LAYOUT);
        std::map<std::string, uint64_t> m;
        for (uint32_t i = 0; i < rec.cCounters && i < VG_STATISTICS_ENTRIES; ++i)
            m[rec.rgCounters[i].szName] = rec.rgCounters[i].qwValue;
        return m;
    }
};

// A white or black item as the library passes it: the service's record.
template <typename Item = VGBLACKITEM>
Item ListItem(const char* address, const char* comment = "", uint64_t expires = 0) {
    static_assert(sizeof(Item) == sizeof(VGLISTITEMREC), "same size");
    VGLISTITEMREC r{};
    std::strncpy(r.szAddress, address, sizeof(r.szAddress) - 1);
    std::strncpy(r.szComment, comment, sizeof(r.szComment) - 1);
    r.qwExpires = expires;
    Item item;
    std::memcpy(&item, &r, sizeof(item));
    return item;
}

// An item of the trusted or gateway list: every record starts with its address.
template <typename Item>
Item AtAddress(const char* address) {
    Item item{};
    std::strncpy(reinterpret_cast<char*>(&item), address, sizeof(VGLISTITEMREC::szAddress) - 1);
    return item;
}

// A list as the library retrieves it, as the service's records.
template <typename Rec, typename Item>
std::vector<Rec> Fetch(VGHRESULT(VGAPI* get)(VGSESSIONID, Item**, VGDWORD*, VGDWORD), const VGSESSIONID& id) {
    static_assert(sizeof(Item) == sizeof(Rec), "same size");
    Item* items = nullptr;
    VGDWORD c = 0;
    EXPECT_EQ(get(id, &items, &c, 0), S_OK);
    std::vector<Rec> out(c);
    if (c) std::memcpy(out.data(), items, c * sizeof(Rec));
    if (items) HrVGFreeGatewayItemList(items);  // every list's array is freed alike
    return out;
}

std::vector<VGLISTITEMREC> BlackList(const VGSESSIONID& id) { return Fetch<VGLISTITEMREC>(HrVGGetBlackItemList, id); }

TEST_F(VigilondMgmt, LogonNeedsTheRightPasswordAndSessionsEndOnce) {
    // What --add-admin cannot store it refuses, and nobody logs on with it.
    EXPECT_EQ(AddAdmin(m_process->StateDir(), "bob", ""), 1);             // no password line
    EXPECT_EQ(AddAdmin(m_process->StateDir(), "bob", "\n"), 1);           // an empty one
    EXPECT_EQ(AddAdmin(m_process->StateDir(), "bob smith", "pw\n"), 2);   // a blank in the name
    EXPECT_EQ(AddAdmin(m_process->StateDir(), "bob", std::string(600, 'x') + "\n"), 1);  // too long
    StartWith();
    const VGSESSIONID bad = Open(kHrLogonFailure, "admin", "wrong");
    EXPECT_TRUE(IsZero(bad));
    Open(kHrLogonFailure, "bob", "pw");
    Open(kHrLogonFailure, nullptr, nullptr);
    Open(S_OK, "ADMIN");  // names compare without regard to case

    const VGSESSIONID a = Open(), b = Open();
    EXPECT_FALSE(IsZero(a));
    EXPECT_NE(std::memcmp(&a, &b, sizeof(a)), 0);
    EXPECT_EQ(HrVGEndMgmtSession(a, 0), S_OK);
    EXPECT_EQ(HrVGEndMgmtSession(a, 0), kHrNoSession);
    EXPECT_EQ(HrVGAbortMgmtSession(b, 0), S_OK);
    VGDWORD dw = 0;
    EXPECT_EQ(HrVGConfigGetDWORD(b, "AuthFail", "BlockThreshold", &dw, 0), kHrNoSession);
    EXPECT_EQ(HrVGAbortMgmtSession(b, 0), kHrNoSession);

    // A new password replaces the old one (with the service stopped: it
    // holds its database alone).
    const std::string log = m_process->Log();
    ASSERT_EQ(m_process->Stop(), 0);
    ASSERT_EQ(AddAdmin(m_process->StateDir(), "admin", "another one\n"), 0);
    ASSERT_TRUE(m_process->Start());
    Open(kHrLogonFailure);
    Open(S_OK, "admin", "another one");
    EXPECT_NE(log.find("Mgmt Logon failure: admin (test_vigilond_mgmt, tests)"), std::string::npos) << log;
    EXPECT_NE(log.find("Mgmt Logoff: admin"), std::string::npos);
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << "a password in the log";
}

TEST_F(VigilondMgmt, ConfigurationIsTypedStoredAndTakesEffectAtOnce) {
    StartWith();
    const VGSESSIONID id = Open();
    VGDWORD dw = 0;
    uint8_t b = 0;
    VGBOOL f = 9;
    char sz[8];
    EXPECT_EQ(HrVGGetAuthFail_BlockThreshold(id, &dw, 0), S_OK);
    EXPECT_EQ(dw, 5u);  // the default
    // A named setting only as its own type; names the file cannot hold never.
    EXPECT_EQ(HrVGConfigGetWORD(id, "AuthFail", "BlockThreshold", reinterpret_cast<uint16_t*>(&dw), 0), kHrInvalidArg);
    EXPECT_EQ(HrVGConfigSetSZ(id, "System", "Enable", "0", 0), kHrInvalidArg);
    EXPECT_EQ(HrVGConfigSetSZ(id, "Bad]Section", "Key", "x", 0), kHrInvalidArg);
    EXPECT_EQ(HrVGConfigSetSZ(id, "Custom", "Key", "two\r\nlines", 0), kHrInvalidArg);

    // Any other section and key: stored as text, read back as the type asks.
    EXPECT_EQ(HrVGConfigSetDWORD(id, "Custom", "Number", 70000, 0), S_OK);
    EXPECT_EQ(HrVGConfigGetDWORD(id, "Custom", "Number", &dw, 0), S_OK);
    EXPECT_EQ(dw, 70000u);
    EXPECT_EQ(HrVGConfigGetBYTE(id, "Custom", "Number", &b, 0), kHrInvalidData);  // does not fit
    EXPECT_EQ(HrVGConfigGetSZ(id, "Custom", "Number", sz, sizeof(sz), 0), S_OK);
    EXPECT_STREQ(sz, "70000");
    EXPECT_EQ(HrVGConfigSetBOOL(id, "Custom", "Flag", 2, 0), S_OK);
    EXPECT_EQ(HrVGConfigGetBOOL(id, "Custom", "Flag", &f, 0), S_OK);
    EXPECT_EQ(f, 1);
    EXPECT_EQ(HrVGConfigDelete(id, "Custom", "Flag", 0), S_OK);
    EXPECT_EQ(HrVGConfigGetBOOL(id, "Custom", "Flag", &f, 0), kHrNotFound);
    EXPECT_EQ(HrVGConfigDelete(id, "Custom", "Flag", 0), kHrNotFound);
    EXPECT_NE(ReadText(m_process->IniPath()).find("Number=70000"), std::string::npos);

    // A lower threshold black-lists at the second failure, without a restart.
    EXPECT_EQ(HrVGSetAuthFail_BlockThreshold(id, 2, 0), S_OK);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(HrVGProcessAuthFailure("eve", "198.51.100.77", VGSVC_IMAP, "LOGIN", nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(VGIsBlackListed("198.51.100.77", 0, 0), 1u);
}

// A management request right after the file was edited must not hide the
// edit from the service (its read reloads the engine's cache first).
TEST_F(VigilondMgmt, AnEditOfTheFileTakesEffectThoughAManagementRequestReadItFirst) {
    StartWith();
    const VGSESSIONID id = Open();
    std::string text = ReadText(m_process->IniPath());
    const size_t at = text.find("Enable=1");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 8, "Enable=0 ");
    std::ofstream(m_process->IniPath(), std::ios::trunc) << text;
    VGDWORD dw = 0;
    EXPECT_EQ(HrVGConfigGetDWORD(id, "AuthFail", "BlockThreshold", &dw, 0), S_OK);
    // The service looks at the file twice a second.
    EXPECT_TRUE(WaitFor([] {
        VGDWORD info = 0;
        return VGAllowIPConnection("192.0.2.1", VGSVC_SMTP, &info, 0) == 1 && info == VG_ADMIT_DISABLED;
    }));
}

TEST_F(VigilondMgmt, ListItemsRoundTrip) {
    StartWith();
    const VGSESSIONID id = Open();
    const uint64_t expires = static_cast<uint64_t>(std::time(nullptr)) + 3600;
    VGBLACKITEM item = ListItem("192.0.2.0/24", "scanner", expires);
    EXPECT_EQ(HrVGAddBlackItem(id, &item, 0), S_OK);
    const VGITEMID given = item.idItem;
    EXPECT_FALSE(IsZero(given));
    EXPECT_EQ(VGIsBlackListed("192.0.2.200", 0, 0), 1u);

    std::vector<VGLISTITEMREC> list = BlackList(id);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0].szAddress, "192.0.2.0/24");
    EXPECT_STREQ(list[0].szComment, "scanner");
    EXPECT_STREQ(list[0].szAddedBy, "admin");
    EXPECT_EQ(list[0].qwExpires, expires);
    EXPECT_EQ(list[0].dwHits, 1u);  // the query above
    EXPECT_EQ(std::memcmp(&list[0].idItem, &given, sizeof(given)), 0);

    // The same range again: refused, with the held item's id.
    VGBLACKITEM again = ListItem("192.0.2.7/24");
    EXPECT_EQ(HrVGAddBlackItem(id, &again, 0), kHrExists);
    EXPECT_EQ(std::memcmp(&again.idItem, &given, sizeof(given)), 0);
    // Not an address, or an expiry gone by.
    for (VGBLACKITEM bad : {ListItem("192.0.2.300"), ListItem("192.0.3.1", "", 1000)})
        EXPECT_EQ(HrVGAddBlackItem(id, &bad, 0), kHrInvalidArg);

    // Removed by id, then nothing to remove; by address on the other lists.
    EXPECT_EQ(HrVGRemoveBlackItem(id, &item, 0), S_OK);
    EXPECT_EQ(HrVGRemoveBlackItem(id, &item, 0), kHrNotFound);
    EXPECT_EQ(VGIsBlackListed("192.0.2.200", 0, 0), 0u);

    VGWHITEITEM white = ListItem<VGWHITEITEM>("2001:db8::/32");
    EXPECT_EQ(HrVGAddWhiteItem(id, &white, 0), S_OK);
    EXPECT_EQ(VGIsWhiteListed("2001:db8:1::5", 0), 1u);
    VGWHITEITEM byAddress = ListItem<VGWHITEITEM>("2001:DB8::/32");
    EXPECT_EQ(HrVGRemoveWhiteItem(id, &byAddress, 0), S_OK);
    EXPECT_EQ(VGIsWhiteListed("2001:db8:1::5", 0), 0u);

    VGTRUSTEDIPITEM trusted = AtAddress<VGTRUSTEDIPITEM>("10.9.8.7");
    EXPECT_EQ(HrVGAddTrustedIPItem(id, &trusted, 0), S_OK);
    EXPECT_EQ(VGIsTrusted("10.9.8.7", 0), 1u);
    EXPECT_EQ(HrVGRemoveTrustedIPItem(id, &trusted, 0), S_OK);
    EXPECT_EQ(VGIsTrusted("10.9.8.7", 0), 0u);

    VGGATEWAYITEM gateway = AtAddress<VGGATEWAYITEM>("10.0.0.1");
    EXPECT_EQ(HrVGAddGatewayItem(id, &gateway, 0), S_OK);
    const std::vector<VGGATEWAYREC> gateways = Fetch<VGGATEWAYREC>(HrVGGetGatewayItemList, id);
    ASSERT_EQ(gateways.size(), 1u);
    EXPECT_EQ(std::memcmp(&gateways[0].idItem, &gateway.idItem, sizeof(VGITEMID)), 0);

    VGBLACKITEM kept = ListItem("198.51.100.1");
    EXPECT_EQ(HrVGAddBlackItem(id, &kept, 0), S_OK);
    EXPECT_EQ(HrVGResetBlackItemList(id, 0), S_OK);
    EXPECT_TRUE(BlackList(id).empty());
}

TEST_F(VigilondMgmt, FrozenAccountsAndFailuresAreListedThawedAndReset) {
    StartWith("[AuthFail]\r\nFreezeThreshold=2\r\nBlockThreshold=0\r\n");
    const VGSESSIONID id = Open();
    for (const char* ip : {"192.0.2.1", "192.0.2.2"})
        EXPECT_EQ(HrVGProcessAuthFailure("Carol", ip, VGSVC_POP, "USER/PASS", nullptr, nullptr, 0), S_OK);
    VGDWORD info = 0;
    EXPECT_EQ(VGAllowConnection("192.0.2.3", VGSVC_POP, "carol", &info, 0), 0u);

    const std::vector<VGFROZENREC> frozen = Fetch<VGFROZENREC>(HrVGGetFrozenAccountList, id);
    ASSERT_EQ(frozen.size(), 1u);
    const VGFROZENREC& r = frozen[0];
    EXPECT_STREQ(r.szAccount, "Carol");
    EXPECT_EQ(r.dwService, static_cast<uint32_t>(VGSVC_POP));
    EXPECT_EQ(r.dwFailures, 2u);
    EXPECT_EQ(r.qwThawAt, r.qwFrozen + 30 * 60);  // FreezeTimeout's default

    const std::vector<VGAUTHFAILREC> failures = Fetch<VGAUTHFAILREC>(HrVGGetAuthFailItemList, id);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_STREQ(failures[1].szIPAddress, "192.0.2.2");
    EXPECT_STREQ(failures[1].szAuthText, "USER/PASS");

    EXPECT_EQ(HrVGThawFrozenAccount(id, r.idAccount, 0), S_OK);
    EXPECT_EQ(HrVGThawFrozenAccount(id, r.idAccount, 0), kHrNotFound);
    EXPECT_EQ(VGAllowConnection("192.0.2.3", VGSVC_POP, "carol", &info, 0), 1u);
    EXPECT_EQ(HrVGResetAuthFailItemList(id, 0), S_OK);
    EXPECT_TRUE(Fetch<VGAUTHFAILREC>(HrVGGetAuthFailItemList, id).empty());
}

TEST_F(VigilondMgmt, StatisticsCountAndControlSwitchesTheService) {
    StartWith();
    const VGSESSIONID id = Open();
    std::map<std::string, uint64_t> before = Stats(id);
    EXPECT_EQ(before.size(), static_cast<size_t>(VG_STAT_COUNT_));
    VGDWORD info;
    for (const char* ip : {"192.0.2.50", "192.0.2.51"}) VGAllowIPConnection(ip, VGSVC_SMTP, &info, 0);
    HrVGProcessAuthFailure("dave", "192.0.2.52", VGSVC_SMTP, "AUTH", nullptr, nullptr, 0);
    HrVGProcessAuthSuccess("dave", "192.0.2.52", VGSVC_SMTP, 0);
    VGBLACKITEM item = ListItem("192.0.2.60");
    HrVGAddBlackItem(id, &item, 0);
    VGAllowIPConnection("192.0.2.60", VGSVC_SMTP, &info, 0);
    Open(kHrLogonFailure, "admin", "nope");
    std::map<std::string, uint64_t> after = Stats(id);
    const std::map<std::string, uint64_t> moved = {{"ConnectionsAllowed", 2}, {"ConnectionsRefused", 1},
        {"BlackListHits", 1}, {"AuthFailures", 1}, {"AuthSuccesses", 1}, {"MgmtLogonFailures", 1}};
    for (const auto& m : moved) EXPECT_EQ(after[m.first] - before[m.first], m.second) << m.first;
    EXPECT_EQ(after["BlackListEntries"], 1u);
    EXPECT_EQ(after["MgmtSessions"], 1u);
    EXPECT_GT(after["Requests"], before["Requests"]);

    // Disabled: every connection goes on, and the state word says so.
    EXPECT_EQ(HrVGControlService(id, VG_CONTROL_DISABLE, 0), S_OK);
    VGDWORD state = 0;
    EXPECT_EQ(HrVGQueryService(id, &state, 0), S_OK);
    EXPECT_EQ(state, VG_STATE_RUNNING | VG_STATE_WHITELIST | VG_STATE_BLACKLIST | VG_STATE_AUTHFAILURES);
    EXPECT_EQ(VGAllowIPConnection("192.0.2.60", VGSVC_SMTP, &info, 0), 1u);
    EXPECT_EQ(HrVGControlService(id, VG_CONTROL_ENABLE, 0), S_OK);
    EXPECT_EQ(VGAllowIPConnection("192.0.2.60", VGSVC_SMTP, &info, 0), 0u);
    EXPECT_EQ(HrVGControlService(id, 0x80, 0), kHrInvalidArg);
    EXPECT_EQ(HrVGControlService(id, VG_CONTROL_ENABLE | VG_CONTROL_DISABLE, 0), kHrInvalidArg);
}

}  // namespace
