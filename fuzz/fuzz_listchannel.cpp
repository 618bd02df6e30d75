// libFuzzer target: list retrieval on an arbitrary service stream.
//
// The first byte picks one of the six lists, the rest is what the service
// sends back: header, records and frame boundaries as it likes. The stream
// reaches the real list channel through a socket pair. Whatever comes, the
// count handed out never exceeds the header's, and the slot after the last
// counted record is there (ASan catches a read past the array).
#include <cstring>

#include "fuzz/service_stream.h"

namespace {

template <typename Item, VGHRESULT(VGAPI* Get)(VGSESSIONID, Item**, VGDWORD*, VGDWORD)>
VGHRESULT GetAs(void** ppItems, VGDWORD* pcItems) {
    return Get(kFuzzSession, reinterpret_cast<Item**>(ppItems), pcItems, 0);
}

struct List {
    size_t cbItem;
    VGHRESULT (*get)(void**, VGDWORD*);
};

const List kLists[] = {
    {sizeof(VGWHITEITEM), GetAs<VGWHITEITEM, HrVGGetWhiteItemList>},
    {sizeof(VGBLACKITEM), GetAs<VGBLACKITEM, HrVGGetBlackItemList>},
    {sizeof(VGTRUSTEDIPITEM), GetAs<VGTRUSTEDIPITEM, HrVGGetTrustedIPItemList>},
    {sizeof(VGGATEWAYITEM), GetAs<VGGATEWAYITEM, HrVGGetGatewayItemList>},
    {sizeof(VGFROZENACCOUNT), GetAs<VGFROZENACCOUNT, HrVGGetFrozenAccountList>},
    {sizeof(VGAUTHFAILITEM), GetAs<VGAUTHFAILITEM, HrVGGetAuthFailItemList>},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    const List& list = kLists[data[0] % (sizeof(kLists) / sizeof(kLists[0]))];
    ServiceStream stream(data + 1, size - 1);
    if (!stream.Ok()) return 0;

    void* pItems = nullptr;
    VGDWORD cItems = 0;
    list.get(&pItems, &cItems);
    Check((pItems == nullptr) == (cItems == 0));
    if (pItems) {
        // The header's count sits at offset 12 of the stream's first frame
        // payload when that frame is whole; the count can only be lower.
        uint32_t cbFrame = 0, cAnnounced = 0;
        if (size >= 1 + 4 + 16) {
            std::memcpy(&cbFrame, data + 1, 4);
            std::memcpy(&cAnnounced, data + 1 + 4 + 12, 4);
            if (cbFrame >= 20) Check(cItems <= cAnnounced);
        }
        // The spare slot is there, whatever it holds.
        volatile const uint8_t* pSpare = static_cast<const uint8_t*>(pItems) + size_t{cItems} * list.cbItem;
        for (size_t i = 0; i < list.cbItem; ++i) (void)pSpare[i];
        HrVGFreeWhiteItemList(pItems, 0);
    }
    return 0;
}
