// The README's C example against no service and against a refusing one; the
// list-freeing exports as callers link them.
#include "tests/fake_service.h"
#include "tests/test_env.h"

extern "C" {
int admit(const char* ip, const char* account);
int is_black(const char* ip);
}

namespace {

class CExample : public VgTestEnv {};

TEST_F(CExample, UnreachableServiceLetsConnectionsThrough) {
    EXPECT_EQ(admit("10.0.0.7", "alice"), 1);
    EXPECT_EQ(is_black("10.0.0.7"), 0);
}

TEST_F(CExample, RefusalAndListingReachTheCaller) {
    FakeService service(VG_SCREENING_PIPE);
    service.SetHandler([](const Bytes& req) {
        FakeAction a;
        a.reply.assign(ReplySize(U32At(req, 4)), 0);
        a.reply[12] = U32At(req, 4) == VGCMD_ISBLACKLISTED ? 1 : 0;  // listed; verdict refuse
        return a;
    });
    EXPECT_EQ(admit("10.0.0.7", "alice"), 0);
    EXPECT_EQ(is_black("10.0.0.7"), 1);
}

// The six free exports are two routines: white and black (two arguments)
// under one address, the four others under another. The addresses pass
// through volatile storage so that the compiler cannot decide the comparison
// from the names alone.
TEST(FreeExports, TwoRoutinesUnderSixNames) {
    typedef VGHRESULT(VGAPI * FreeWithFlag)(void*, VGDWORD);
    typedef VGHRESULT(VGAPI * Free)(void*);
    volatile FreeWithFlag withFlag[] = {HrVGFreeWhiteItemList, HrVGFreeBlackItemList};
    volatile Free plain[] = {HrVGFreeTrustedIPItemList, HrVGFreeGatewayItemList, HrVGFreeFrozenAccountList,
                             HrVGFreeAuthFailItemList};
    EXPECT_EQ(withFlag[1], withFlag[0]);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(plain[i], plain[0]) << i;
    EXPECT_NE(reinterpret_cast<void*>(plain[0]), reinterpret_cast<void*>(withFlag[0]));
}

}  // namespace
