// List operations: the requests on the wire, and when an add writes the
// identifier the service assigned into the caller's record.
#include <algorithm>
#include <cstring>

#include "VGClient/VAVarive32.h"
#include "tests/mgmt_test.h"

namespace {

constexpr VGHRESULT kRefused = static_cast<VGHRESULT>(0x81500042u);
constexpr VGHRESULT kNoPipe = static_cast<VGHRESULT>(0x80070002u);

const VGSESSIONID kSession = {0xCAFEF00Du, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

// Each operation that sends a record, behind one signature.
struct ItemOp {
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
    {33, 160, Call<VGWHITEITEM*, HrVGAddWhiteItem>, 72},
    {34, 160, Call<const VGWHITEITEM*, HrVGRemoveWhiteItem>, -1},
    {37, 160, Call<VGBLACKITEM*, HrVGAddBlackItem>, 72},
    {38, 160, Call<const VGBLACKITEM*, HrVGRemoveBlackItem>, -1},
    {41, 120, Call<const VGTRUSTEDIPITEM*, HrVGAddTrustedIPItem>, -1},
    {42, 120, Call<const VGTRUSTEDIPITEM*, HrVGRemoveTrustedIPItem>, -1},
    {44, 328, Call<VGGATEWAYITEM*, HrVGAddGatewayItem>, 312},
    {45, 328, Call<const VGGATEWAYITEM*, HrVGRemoveGatewayItem>, -1},
};

// Bytes that differ from each other and from zero.
Bytes Pattern(size_t cb, uint8_t seed = 0x11) {
    Bytes b(cb);
    for (size_t i = 0; i < cb; ++i) b[i] = static_cast<uint8_t>(seed + i * 3);
    return b;
}

using ListOps = VgMgmtTest;

// Every record operation sends the caller's record whole, or zeros for none;
// an add writes the assigned identifier into the record, after a refusal too
// unless dwReserved is set, and nothing else.
TEST_F(ListOps, RecordOperations) {
    const Bytes id = Pattern(16, 0xA0);
    // cbReply 0: the whole reply.
    struct Case { const char* what; VGHRESULT hrStatus; size_t cbReply; VGDWORD dwReserved; bool fWritten; };
    const Case cases[] = {
        {"accepted with a success code and dwReserved set", 1, 0, 7, true},
        {"refused, dwReserved 0", kRefused, 0, 0, true},
        {"refused, dwReserved set", kRefused, 0, 1, false},
        {"refused without an identifier: its zero preset", kRefused, 12, 0, true},
    };
    for (const ItemOp& op : kItemOps) {
        for (const Case& c : cases) {
            Answer(c.hrStatus, id, c.cbReply);
            Bytes item = Pattern(op.cbItem);
            EXPECT_EQ(op.call(kSession, item.data(), c.dwReserved), c.hrStatus) << op.command << ", " << c.what;
            const Bytes req = Last();
            ExpectSessionHeader(req, op.command, 116 + op.cbItem, kSession);
            EXPECT_TRUE(Bytes(req.begin() + 116, req.end()) == Pattern(op.cbItem)) << op.command;
            Bytes expected = Pattern(op.cbItem);
            if (op.offIdItem >= 0 && c.fWritten)  // a short reply leaves the zero preset
                std::copy_n((c.cbReply ? Bytes(16) : id).begin(), 16, expected.begin() + op.offIdItem);
            EXPECT_TRUE(item == expected) << op.command << ", " << c.what;
        }
        EXPECT_EQ(op.call(kSession, nullptr, 0), kRefused) << op.command << ": no record";
        const Bytes req = Last();
        EXPECT_TRUE(Bytes(req.begin() + 116, req.end()) == Bytes(op.cbItem)) << op.command;
    }

    // A failed exchange leaves the record alone.
    m_service.reset();
    Bytes item = Pattern(160);
    EXPECT_EQ(HrVGAddWhiteItem(kSession, reinterpret_cast<VGWHITEITEM*>(item.data()), 0), kNoPipe);
    EXPECT_TRUE(item == Pattern(160));
}

TEST_F(ListOps, ResetsAndThaw) {
    const std::pair<uint32_t, VGHRESULT (*)(VGSESSIONID, VGDWORD)> resets[] = {
        {35, HrVGResetWhiteItemList},
        {39, HrVGResetBlackItemList},
        {47, HrVGResetFrozenAccountList},
        {49, HrVGResetAuthFailItemList},
    };
    Answer(kRefused);
    for (const auto& r : resets) {
        EXPECT_EQ(r.second(kSession, 0), kRefused) << r.first;
        ExpectSessionHeader(Last(), r.first, 116, kSession);
    }

    const VGITEMID idAccount = {0x01020304u, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
    Answer(3);
    EXPECT_EQ(HrVGThawFrozenAccount(kSession, idAccount, 0), 3);
    const Bytes req = Last();
    ExpectSessionHeader(req, 50, 132, kSession);
    EXPECT_EQ(std::memcmp(&req[116], &idAccount, 16), 0);

    m_service.reset();
    EXPECT_EQ(HrVGResetWhiteItemList(kSession, 0), kNoPipe);
}

}  // namespace
