// List operations: the requests on the wire, and when an add writes the
// identifier the service assigned into the caller's record.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "tests/fake_service.h"
#include "tests/test_env.h"

namespace {

constexpr VGHRESULT Hr(uint32_t v) { return static_cast<VGHRESULT>(v); }
constexpr VGHRESULT kRefused = Hr(0x81500042u);

const VGSESSIONID kSession = {0xCAFEF00Du, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

// Each operation that sends a record, behind one signature.
struct ItemOp {
    const char* name;
    uint32_t command;
    uint32_t cbItem;
    VGHRESULT (*call)(VGSESSIONID, void*, VGDWORD);
    int offIdItem;  // where an add writes the identifier; -1: it writes nothing
};

template <typename ItemPtr, VGHRESULT(VGAPI* Op)(VGSESSIONID, ItemPtr, VGDWORD)>
VGHRESULT Call(VGSESSIONID idSession, void* pItem, VGDWORD dwReserved) {
    return Op(idSession, static_cast<ItemPtr>(pItem), dwReserved);
}

const ItemOp kItemOps[] = {
    {"add white", 33, 160, Call<VGWHITEITEM*, HrVGAddWhiteItem>, 72},
    {"remove white", 34, 160, Call<const VGWHITEITEM*, HrVGRemoveWhiteItem>, -1},
    {"add black", 37, 160, Call<VGBLACKITEM*, HrVGAddBlackItem>, 72},
    {"remove black", 38, 160, Call<const VGBLACKITEM*, HrVGRemoveBlackItem>, -1},
    {"add trusted", 41, 120, Call<const VGTRUSTEDIPITEM*, HrVGAddTrustedIPItem>, -1},
    {"remove trusted", 42, 120, Call<const VGTRUSTEDIPITEM*, HrVGRemoveTrustedIPItem>, -1},
    {"add gateway", 44, 328, Call<VGGATEWAYITEM*, HrVGAddGatewayItem>, 312},
    {"remove gateway", 45, 328, Call<const VGGATEWAYITEM*, HrVGRemoveGatewayItem>, -1},
};

Bytes Pattern(size_t cb, uint8_t seed) {
    Bytes b(cb);
    for (size_t i = 0; i < cb; ++i) b[i] = static_cast<uint8_t>(seed + i * 3);
    return b;
}

// A reply with a status and, from offset 12, the identifier the service assigned.
Bytes AddReply(int32_t hrStatus, size_t cb = 28) {
    Bytes b(28, 0);
    uint32_t u = static_cast<uint32_t>(hrStatus);
    std::memcpy(&b[8], &u, 4);
    for (int i = 0; i < 16; ++i) b[12 + i] = static_cast<uint8_t>(0xA0 + i);
    b.resize(cb);
    return b;
}

void ExpectHeader(const Bytes& req, uint32_t command, uint32_t cbSize, const char* what) {
    ASSERT_EQ(req.size(), cbSize) << what;
    EXPECT_EQ(U32At(req, 0), cbSize) << what;
    EXPECT_EQ(U32At(req, 4), command) << what;
    EXPECT_EQ(U32At(req, 16), VG_PROTOCOL_VERSION) << what;
    EXPECT_EQ(std::memcmp(&req[84], &kSession, 16), 0) << what << ": session id";
    for (size_t i = 100; i < 116; ++i) EXPECT_EQ(req[i], 0) << what << ": abReserved";
}

class ListOps : public VgTestEnv {
protected:
    void SetUp() override {
        VgTestEnv::SetUp();
        m_service.reset(new FakeService(VG_MANAGEMENT_PIPE));
    }
    void TearDown() override {
        m_service.reset();
        VgTestEnv::TearDown();
    }
    // Answers with reply, cut to the command's reply size.
    void Answer(Bytes reply) {
        m_service->SetHandler([reply](const Bytes& req) {
            FakeAction a;
            a.reply = reply;
            a.reply.resize(std::min(reply.size(), ReplySize(U32At(req, 4))));
            return a;
        });
    }
    Bytes LastRequest() {
        auto r = m_service->Requests();
        return r.empty() ? Bytes() : r.back();
    }
    std::unique_ptr<FakeService> m_service;
};

TEST_F(ListOps, ItemRequestsCarryTheWholeRecordOrZeros) {
    Answer(AddReply(0x1234));
    for (const ItemOp& op : kItemOps) {
        Bytes item = Pattern(op.cbItem, 0x11);
        EXPECT_EQ(op.call(kSession, item.data(), 1), 0x1234) << op.name << ": the service's status";
        Bytes req = LastRequest();
        ExpectHeader(req, op.command, 116 + op.cbItem, op.name);
        EXPECT_TRUE(Bytes(req.begin() + 116, req.end()) == Pattern(op.cbItem, 0x11)) << op.name;

        EXPECT_EQ(op.call(kSession, nullptr, 0), 0x1234) << op.name << ": no record";
        req = LastRequest();
        ExpectHeader(req, op.command, 116 + op.cbItem, op.name);
        EXPECT_TRUE(Bytes(req.begin() + 116, req.end()) == Bytes(op.cbItem, 0)) << op.name;
    }
    EXPECT_EQ(m_service->RequestCount(), 16u);
}

TEST_F(ListOps, AddsWriteTheAssignedIdentifierAndNothingElse) {
    struct Case {
        const char* what;
        Bytes reply;
        VGDWORD dwReserved;
        bool fWritten;
        bool fZeroId;
    } cases[] = {
        {"accepted", AddReply(0), 0, true, false},
        {"accepted with a success code and dwReserved set", AddReply(1), 7, true, false},
        {"refused, dwReserved 0", AddReply(kRefused), 0, true, false},
        {"refused, dwReserved set", AddReply(kRefused), 1, false, false},
        {"refused without an identifier", AddReply(kRefused, 12), 0, true, true},
    };
    for (const ItemOp& op : kItemOps) {
        for (const Case& c : cases) {
            Answer(c.reply);
            Bytes item = Pattern(op.cbItem, 0x40);
            VGHRESULT hr = op.call(kSession, item.data(), c.dwReserved);
            EXPECT_EQ(hr, static_cast<VGHRESULT>(U32At(c.reply, 8))) << op.name << ", " << c.what;
            Bytes expected = Pattern(op.cbItem, 0x40);
            if (op.offIdItem >= 0 && c.fWritten)
                for (int i = 0; i < 16; ++i)
                    expected[op.offIdItem + i] = c.fZeroId ? 0 : static_cast<uint8_t>(0xA0 + i);
            EXPECT_TRUE(item == expected) << op.name << ", " << c.what;
        }
    }

    // A failed exchange leaves the record alone.
    m_service.reset();
    Bytes item = Pattern(160, 0x40);
    EXPECT_EQ(HrVGAddWhiteItem(kSession, reinterpret_cast<VGWHITEITEM*>(item.data()), 0), Hr(0x80070002u));
    EXPECT_TRUE(item == Pattern(160, 0x40));
}

TEST_F(ListOps, ResetsAndThaw) {
    struct {
        const char* name;
        uint32_t command;
        VGHRESULT (*call)(VGSESSIONID, VGDWORD);
    } resets[] = {
        {"white", 35, HrVGResetWhiteItemList},
        {"black", 39, HrVGResetBlackItemList},
        {"frozen", 47, HrVGResetFrozenAccountList},
        {"auth-failure", 49, HrVGResetAuthFailItemList},
    };
    Answer(AddReply(kRefused));
    for (const auto& r : resets) {
        EXPECT_EQ(r.call(kSession, 0), kRefused) << r.name;
        ExpectHeader(LastRequest(), r.command, 116, r.name);
    }

    const VGITEMID idAccount = {0x01020304u, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
    Answer(AddReply(3));
    EXPECT_EQ(HrVGThawFrozenAccount(kSession, idAccount, 0), 3);
    Bytes req = LastRequest();
    ExpectHeader(req, 50, 132, "thaw");
    EXPECT_EQ(std::memcmp(&req[116], &idAccount, 16), 0);

    m_service.reset();
    EXPECT_EQ(HrVGResetWhiteItemList(kSession, 0), Hr(0x80070002u));
    EXPECT_EQ(HrVGThawFrozenAccount(kSession, idAccount, 0), Hr(0x80070002u));
}

}  // namespace
