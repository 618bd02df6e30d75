/*
 * The contents vigilond gives the list records of VAVarive32.h. The library
 * treats them as opaque blocks; callers that show or build records use these
 * views, which keep the identifiers where the library writes them.
 *
 * Times are seconds since 1970-01-01 UTC; an expiry of 0 means never.
 * Addresses are texts: one IPv4 or IPv6 address, or a range in CIDR form
 * ("192.0.2.0/24", "2001:db8::/32"). Texts are NUL-terminated and cut to
 * their fields.
 */
#ifndef VGSERVICERECORDS_H
#define VGSERVICERECORDS_H

#include "VGClient/VAVarive32.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Flags of a list entry. */
#define VG_ITEM_AUTOMATIC 0x1u  /* placed by failure counting, not by an administrator */

/* White and black items, 160 bytes, identifier at 72. */
typedef struct tagVGLISTITEMREC {
    char szAddress[56];
    uint64_t qwExpires;
    uint32_t dwHits;          /* screening hits since the service started */
    uint32_t dwFlags;         /* VG_ITEM_* */
    VGITEMID idItem;
    uint64_t qwAdded;
    char szAddedBy[32];
    char szComment[32];
} VGLISTITEMREC;

/* Trusted-IP items, 120 bytes; removed by address. */
typedef struct tagVGTRUSTEDREC {
    char szAddress[56];
    uint64_t qwExpires;
    uint64_t qwAdded;
    uint32_t dwHits;
    uint32_t dwFlags;
    char szAddedBy[16];
    char szComment[24];
} VGTRUSTEDREC;

/* Gateway items, 328 bytes, identifier in the last 16. */
typedef struct tagVGGATEWAYREC {
    char szAddress[56];
    uint64_t qwExpires;
    uint64_t qwAdded;
    uint32_t dwHits;
    uint32_t dwFlags;
    char szAddedBy[64];
    char szComment[168];
    VGITEMID idItem;
} VGGATEWAYREC;

/* Frozen accounts, 352 bytes; thawed by idAccount. */
typedef struct tagVGFROZENREC {
    VGITEMID idAccount;
    uint64_t qwFrozen;
    uint64_t qwThawAt;        /* 0: only an administrator thaws it */
    uint32_t dwService;       /* the front end of the failure that froze it */
    uint32_t dwFailures;      /* failures counted when it was frozen */
    char szIPAddress[56];     /* address of that failure */
    char szAccount[256];
} VGFROZENREC;

/* Authentication failures, 716 bytes (not a multiple of 8, hence a 32-bit
 * time): one per recorded failure. */
typedef struct tagVGAUTHFAILREC {
    char szIPAddress[56];
    uint32_t dwTime;
    uint32_t dwService;
    uint32_t dwReserved;
    char szAccount[319];
    char szAuthText[32];
    char szAuthDetail[297];
} VGAUTHFAILREC;

VG_STATIC_ASSERT(sizeof(VGLISTITEMREC) == VG_WHITEITEM_SIZE, "VGLISTITEMREC size");
VG_STATIC_ASSERT(offsetof(VGLISTITEMREC, idItem) == 72, "VGLISTITEMREC.idItem");
VG_STATIC_ASSERT(sizeof(VGTRUSTEDREC) == VG_TRUSTEDIPITEM_SIZE, "VGTRUSTEDREC size");
VG_STATIC_ASSERT(sizeof(VGGATEWAYREC) == VG_GATEWAYITEM_SIZE, "VGGATEWAYREC size");
VG_STATIC_ASSERT(offsetof(VGGATEWAYREC, idItem) == 312, "VGGATEWAYREC.idItem");
VG_STATIC_ASSERT(sizeof(VGFROZENREC) == VG_FROZENACCOUNT_SIZE, "VGFROZENREC size");
VG_STATIC_ASSERT(sizeof(VGAUTHFAILREC) == VG_AUTHFAILITEM_SIZE, "VGAUTHFAILREC size");

/* dwInfo1 of an admission reply (commands 6 to 9): the rule that decided. */
#define VG_ADMIT_DEFAULT 0u        /* no rule matched: go on */
#define VG_ADMIT_DISABLED 1u       /* System.Enable is off: go on */
#define VG_ADMIT_WHITELIST 2u      /* on the white list: go on */
#define VG_ADMIT_TRUSTED 3u        /* on the trusted-IP list: go on */
#define VG_ADMIT_BLACKLIST 4u      /* on the black list: refused */
#define VG_ADMIT_FROZEN 5u         /* the account is frozen: refused */
#define VG_ADMIT_BADADDRESS 6u     /* the address text is not an address: go on */

#ifdef __cplusplus
}
#endif

#endif /* VGSERVICERECORDS_H */
