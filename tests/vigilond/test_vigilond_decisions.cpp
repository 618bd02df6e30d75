// The decision rules of the screening commands, on a service in this
// process with its own state folder, a clock the tests move, and settings
// written through its INI file.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "VGClient/vgservicerecords.h"
#include "service/service.h"
#include "sharedcode/ini/smartini.h"
#include "tests/test_env.h"

using namespace vgsvc;

namespace {

class VigilondRules : public VgTestEnv {
protected:
    void SetUp() override {
        VgTestEnv::SetUp();
        ASSERT_EQ(m_service.Open(m_dir + "/state", m_dir + "/vigilon.ini"), S_OK);
        m_service.StopClock(1700000000);
        Set("Logs", "LogLevel", "0");
    }
    void TearDown() override {
        m_service.Close();
        VgTestEnv::TearDown();
    }

    void Set(const char* szSection, const char* szKey, const char* szValue) {
        {
            std::lock_guard<std::recursive_mutex> g(m_service.GetSettings().Lock());
            ASSERT_GE(m_service.GetSettings().Ini().HrSetString(szSection, szKey, szValue), 0);
        }
        m_service.ReloadSettings(true);
    }

    void Add(ListKind list, const char* szRange, int64_t expiresIn = 0) {
        ListItem item;
        item.list = list;
        EXPECT_TRUE(ParseRange(szRange, &item.range)) << szRange;
        item.expires = expiresIn ? m_service.Now() + expiresIn : 0;
        item.added = m_service.Now();
        EXPECT_EQ(m_service.GetStore().AddItem(item), S_OK);
    }

    uint32_t Listed(ListKind list, const char* szIP, uint32_t dwService = 0) {
        uint32_t dw = 99;
        EXPECT_EQ(m_service.IsListed(list, szIP, dwService, &dw), S_OK) << szIP;
        return dw;
    }

    uint32_t Info(const char* szIP, uint32_t dwService = 1, const char* szAccount = nullptr) {
        const Admission a = m_service.Admit(szIP, dwService, szAccount);
        EXPECT_EQ(a.dwVerdict, a.dwInfo1 == VG_ADMIT_BLACKLIST || a.dwInfo1 == VG_ADMIT_FROZEN ? 0u : 1u);
        return a.dwInfo1;
    }

    // A failed or successful logon report.
    template <typename Report>
    static Report Logon(const char* szAccount, const char* szIP, uint32_t dwService = 1) {
        Report req{};
        std::strcpy(req.szAccount, szAccount);
        std::strcpy(req.szIPAddress, szIP);
        req.dwService = dwService;
        return req;
    }
    HRESULT Fail(const char* szAccount, const char* szIP, uint32_t dwService = 1) {
        return m_service.ProcessAuthFailure(Logon<VGAUTHFAILURE>(szAccount, szIP, dwService));
    }

    // The black list's entries for a range: how many, and the expiry of the
    // last one (0: never).
    size_t Blocks(const char* szRange, int64_t* pExpires = nullptr) {
        size_t c = 0;
        m_service.GetStore().EnumerateItems(kBlackList, [&](const ListItem& item) {
            if (item.address == szRange) {
                ++c;
                if (pExpires) *pExpires = item.expires;
                EXPECT_EQ(item.flags, VG_ITEM_AUTOMATIC);
            }
            return true;
        });
        return c;
    }

    Service m_service;
};

}  // namespace

TEST_F(VigilondRules, MembershipByAddressOrRangeUntilExpiry) {
    Add(kWhiteList, "192.0.2.0/24");
    Add(kBlackList, "2001:db8:bad::/48", 60);
    Add(kTrustedList, "10.9.8.7");
    EXPECT_EQ(Listed(kWhiteList, "192.0.2.200"), 1u);
    EXPECT_EQ(Listed(kWhiteList, "192.0.3.1"), 0u);
    EXPECT_EQ(Listed(kWhiteList, "::ffff:192.0.2.1"), 1u);
    EXPECT_EQ(Listed(kBlackList, "2001:db8:bad:ffff::1"), 1u);
    EXPECT_EQ(Listed(kTrustedList, "10.9.8.7"), 1u);
    EXPECT_EQ(Listed(kTrustedList, "10.9.8.6"), 0u);
    m_service.AdvanceClock(60);
    EXPECT_EQ(Listed(kBlackList, "2001:db8:bad::1"), 0u);

    uint32_t dw = 7;
    EXPECT_EQ(m_service.IsListed(kWhiteList, "not an address", 0, &dw), E_INVALIDARG);
    EXPECT_EQ(dw, 0u);

    Set("System", "EnableWhiteList", "0");
    EXPECT_EQ(Listed(kWhiteList, "192.0.2.1"), 0u);
    EXPECT_EQ(Listed(kTrustedList, "10.9.8.7"), 1u);
    Set("System", "EnableWhiteList", "1");
    Set("POP", "UseWhiteList", "0");
    EXPECT_EQ(Listed(kWhiteList, "192.0.2.1", 2), 0u);
    EXPECT_EQ(Listed(kWhiteList, "192.0.2.1", 1), 1u);
    Set("System", "Enable", "0");
    EXPECT_EQ(Listed(kTrustedList, "10.9.8.7"), 0u);
}

TEST_F(VigilondRules, AdmissionTakesTheFirstRuleThatMatches) {
    Add(kWhiteList, "198.51.100.1");
    Add(kBlackList, "198.51.100.0/24");
    Add(kTrustedList, "198.51.100.2");
    EXPECT_EQ(Info("203.0.113.1"), VG_ADMIT_DEFAULT);
    EXPECT_EQ(Info("198.51.100.1"), VG_ADMIT_WHITELIST);
    EXPECT_EQ(Info("198.51.100.2"), VG_ADMIT_TRUSTED);
    EXPECT_EQ(Info("198.51.100.3"), VG_ADMIT_BLACKLIST);
    EXPECT_EQ(Info("garbage"), VG_ADMIT_BADADDRESS);
    // The secure IMAP variant reads the IMAP section; service 0 only System.
    Set("IMAP", "UseBlackList", "0");
    EXPECT_EQ(Info("198.51.100.3", 1), VG_ADMIT_DEFAULT);
    EXPECT_EQ(Info("198.51.100.3", 13), VG_ADMIT_DEFAULT);
    EXPECT_EQ(Info("198.51.100.3", 3), VG_ADMIT_BLACKLIST);
    EXPECT_EQ(Info("198.51.100.3", 0), VG_ADMIT_BLACKLIST);
    Set("IMAP", "UseWhiteList", "0");
    Set("IMAP", "UseBlackList", "1");
    EXPECT_EQ(Info("198.51.100.1", 1), VG_ADMIT_BLACKLIST);  // white ignored, then black
    Set("System", "EnableBlackList", "0");
    EXPECT_EQ(Info("198.51.100.3", 3), VG_ADMIT_DEFAULT);
    Set("System", "Enable", "0");
    EXPECT_EQ(Info("198.51.100.3", 3), VG_ADMIT_DISABLED);
    EXPECT_EQ(Info("garbage"), VG_ADMIT_DISABLED);
    EXPECT_EQ(m_service.GetCounters().connectionsRefused.load(), 4u);
}

TEST_F(VigilondRules, FailuresBlockAtTheThresholdInsideTheWindowUntilASuccess) {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Fail("bob", "198.51.100.7"), S_OK);
    EXPECT_EQ(Info("198.51.100.7"), VG_ADMIT_DEFAULT);
    // A success starts the count again; failures older than the window drop out.
    EXPECT_EQ(m_service.ProcessAuthSuccess(Logon<VGAUTHSUCCESS>("bob", "198.51.100.7")), S_OK);
    for (int i = 0; i < 4; ++i) Fail("bob", "198.51.100.7");
    m_service.AdvanceClock(15 * 60);
    Fail("bob", "198.51.100.7");
    EXPECT_EQ(Blocks("198.51.100.7"), 0u);
    for (int i = 0; i < 4; ++i) Fail("bob", "198.51.100.7");
    int64_t expires = 0;
    EXPECT_EQ(Blocks("198.51.100.7", &expires), 1u);
    EXPECT_EQ(expires, m_service.Now() + 60 * 60);
    EXPECT_EQ(Info("198.51.100.7"), VG_ADMIT_BLACKLIST);
    // Failures while blocked add no second entry.
    for (int i = 0; i < 6; ++i) Fail("eve", "198.51.100.7");
    EXPECT_EQ(Blocks("198.51.100.7"), 1u);
    EXPECT_EQ(m_service.GetCounters().blocks.load(), 1u);

    Set("AuthFail", "EnableBlocking", "0");
    for (int i = 0; i < 9; ++i) Fail("carol", "203.0.113.9");
    EXPECT_EQ(Blocks("203.0.113.9"), 0u);
}

TEST_F(VigilondRules, RepeatOffencesLengthenTheBlockAndNeverExpireKeepsIt) {
    Set("AuthFail", "BlockThreshold", "1");
    Set("AuthFail", "FreezeAccount", "0");
    const int64_t minutes[] = {60, 120, 240, 480, 480};
    for (int64_t m : minutes) {
        int64_t expires = 0;
        Fail("bob", "198.51.100.7");
        ASSERT_EQ(Blocks("198.51.100.7", &expires), 1u);
        EXPECT_EQ(expires - m_service.Now(), m * 60);
        m_service.AdvanceClock(m * 60);
        m_service.Maintain();
        EXPECT_EQ(Blocks("198.51.100.7"), 0u);
        EXPECT_EQ(Info("198.51.100.7"), VG_ADMIT_DEFAULT);
    }
    Set("BlackList", "NeverExpire", "1");
    int64_t expires = -1;
    Fail("bob", "203.0.113.1");
    EXPECT_EQ(Blocks("203.0.113.1", &expires), 1u);
    EXPECT_EQ(expires, 0);
}

TEST_F(VigilondRules, AggregationCountsARangeTogether) {
    // IPv6 is aggregated to /64 by default; IPv4 only when switched on.
    for (int i = 1; i <= 5; ++i) Fail("bob", ("2001:db8:1:2::" + std::to_string(i)).c_str());
    EXPECT_EQ(Blocks("2001:db8:1:2::/64"), 1u);
    EXPECT_EQ(Info("2001:db8:1:2:ffff::9"), VG_ADMIT_BLACKLIST);
    for (int i = 1; i <= 5; ++i) Fail("bob", ("192.0.2." + std::to_string(i)).c_str());
    EXPECT_EQ(Blocks("192.0.2.0/24"), 0u);
    Set("AuthFail", "IP4EnableAggregation", "1");
    Set("AuthFail", "IPV4AggBits", "16");
    for (int i = 1; i <= 5; ++i) Fail("bob", ("192.0." + std::to_string(i) + ".1").c_str());
    EXPECT_EQ(Blocks("192.0.0.0/16"), 1u);
    EXPECT_EQ(Info("192.0.200.200"), VG_ADMIT_BLACKLIST);
}

TEST_F(VigilondRules, ExemptAddressesAreNotCountedButGatewayUsersStillFreeze) {
    Add(kWhiteList, "192.0.2.1");
    Add(kTrustedList, "192.0.2.2");
    Add(kGatewayList, "192.0.2.3");
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(Fail("alice", "192.0.2.1"), S_FALSE);
        EXPECT_EQ(Fail("alice", "192.0.2.2"), S_FALSE);
    }
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Fail("Bob@Example.com", "192.0.2.3"), S_OK);
    EXPECT_EQ(Info("192.0.2.3", 1, "bob@example.com"), VG_ADMIT_FROZEN);
    EXPECT_EQ(Info("192.0.2.3", 1, "alice"), VG_ADMIT_DEFAULT);
    EXPECT_EQ(Info("192.0.2.3", 1), VG_ADMIT_DEFAULT);  // command 6 names no account
    EXPECT_EQ(Blocks("192.0.2.3"), 0u);
    EXPECT_EQ(Blocks("192.0.2.1") + Blocks("192.0.2.2"), 0u);
    EXPECT_EQ(Fail("x", "not an address"), E_INVALIDARG);
    Set("IMAP", "UseAuthFailures", "0");
    EXPECT_EQ(Fail("x", "203.0.113.1"), S_FALSE);
}

TEST_F(VigilondRules, FrozenAccountsThawAfterTheTimeoutWhenAutoThawIsOn) {
    Set("AuthFail", "BlockThreshold", "0");
    Set("AuthFail", "FreezeThreshold", "3");
    for (int i = 0; i < 3; ++i) Fail("dave", ("203.0.113." + std::to_string(i)).c_str());
    EXPECT_EQ(Info("198.51.100.1", 2, "DAVE"), VG_ADMIT_FROZEN);
    m_service.AdvanceClock(30 * 60 - 1);
    EXPECT_EQ(Info("198.51.100.1", 2, "dave"), VG_ADMIT_FROZEN);
    m_service.AdvanceClock(1);
    EXPECT_EQ(Info("198.51.100.1", 2, "dave"), VG_ADMIT_DEFAULT);
    Set("AuthFail", "AutoThaw", "0");
    EXPECT_EQ(Info("198.51.100.1", 2, "dave"), VG_ADMIT_FROZEN);
    Set("AuthFail", "AutoThaw", "1");
    m_service.Maintain();
    size_t cFrozen = 0;
    m_service.GetStore().EnumerateFrozen([&](const FrozenAccount&) { return ++cFrozen, true; });
    EXPECT_EQ(cFrozen, 0u);
    EXPECT_EQ(m_service.GetCounters().thaws.load(), 1u);
    EXPECT_EQ(Blocks("203.0.113.0"), 0u);
}

TEST_F(VigilondRules, StateSurvivesReopening) {
    Add(kBlackList, "2001:db8::/32");
    Set("AuthFail", "FreezeThreshold", "1");
    Fail("erin", "203.0.113.50");
    m_service.Close();
    Service again;
    ASSERT_EQ(again.Open(m_dir + "/state", m_dir + "/vigilon.ini"), S_OK);
    again.StopClock(m_service.Now());
    EXPECT_EQ(again.Admit("2001:db8::5", 1, nullptr).dwInfo1, VG_ADMIT_BLACKLIST);
    EXPECT_EQ(again.Admit("198.51.100.1", 1, "erin").dwInfo1, VG_ADMIT_FROZEN);
}

TEST_F(VigilondRules, MaintenanceDropsFailuresOlderThanBothWindows) {
    for (int i = 0; i < 3; ++i) Fail("frank", "203.0.113.7");
    m_service.AdvanceClock(60 * 60);
    Fail("frank", "203.0.113.8");
    m_service.Maintain();
    std::vector<std::string> left;
    m_service.GetStore().EnumerateFailures([&](const AuthFailure& f) { return left.push_back(f.address), true; });
    EXPECT_EQ(left, std::vector<std::string>{"203.0.113.8"});
}
