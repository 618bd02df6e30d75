/*
 * The contents vigilond gives the list records, the statistics record, the
 * state word and the control codes of VAVarive32.h. The library
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

/* The service's state word (command 18): bits of what is switched on. */
#define VG_STATE_RUNNING 0x1u              /* always set in an answer */
#define VG_STATE_WHITELIST 0x2u            /* System.EnableWhiteList */
#define VG_STATE_BLACKLIST 0x4u            /* System.EnableBlackList */
#define VG_STATE_AUTHFAILURES 0x8u         /* System.EnableAuthFailures */
#define VG_STATE_ENABLED VG_CONTROL_ENABLE /* System.Enable */

/* Control codes (command 17). Codes may be combined; a code with any other
 * bit, or with both ENABLE and DISABLE, is refused with 0x80070057 and
 * nothing is done. ENABLE and DISABLE write System.Enable. */
#define VG_CONTROL_RELOAD 0x1u             /* read the settings file again */
#define VG_CONTROL_MAINTAIN 0x2u           /* expire list entries and thaw accounts now */
#define VG_CONTROL_DISABLE 0x1000000u      /* System.Enable off */
#define VG_CONTROL_KNOWN (VG_CONTROL_RELOAD | VG_CONTROL_MAINTAIN | VG_CONTROL_DISABLE | VG_CONTROL_ENABLE)

/* The statistics record (command 19) as the service fills it: named counters
 * since the service started, one per entry of the record's table, in the
 * order of VG_STATS_TABLE. Unused entries stay zero. */
#define VG_STATS_TABLE(X)                                                    \
    X(1, ConnectionsAllowed)   /* admissions answered "go on" */            \
    X(2, ConnectionsRefused)   /* admissions refused */                     \
    X(3, WhiteListHits)        /* white-list matches that decided */        \
    X(4, BlackListHits)        /* black-list matches that decided */        \
    X(5, TrustedHits)          /* trusted-IP matches */                     \
    X(6, AuthFailures)         /* failed logons counted */                  \
    X(7, AuthSuccesses)        /* successful logons reported */             \
    X(8, Blocks)               /* addresses black-listed by counting */     \
    X(9, Freezes)              /* accounts frozen */                        \
    X(10, Thaws)               /* accounts thawed (automatically or not) */ \
    X(11, Expired)             /* list entries expired */                   \
    X(12, Requests)            /* requests read on both pipes */            \
    X(13, BadRequests)         /* requests that could not be answered */    \
    X(14, UptimeSeconds)       /* seconds since the service started */      \
    X(15, WhiteListEntries)    /* entries now on each list */               \
    X(16, BlackListEntries)                                                 \
    X(17, TrustedEntries)                                                   \
    X(18, GatewayEntries)                                                   \
    X(19, MgmtLogons)          /* management logons accepted */             \
    X(20, MgmtLogonFailures)   /* management logons refused */             \
    X(21, MgmtSessions)        /* management sessions open now */

#define VG_STATS_ENUM_(id, name) VG_STAT_##name = id,
#define VG_STATS_ONE_(id, name) +1
enum { VG_STATS_TABLE(VG_STATS_ENUM_) VG_STAT_COUNT_ = 0 VG_STATS_TABLE(VG_STATS_ONE_) };
#undef VG_STATS_ENUM_
#undef VG_STATS_ONE_

/* One counter in an entry of the table (96 bytes). */
typedef struct tagVGSTATSCOUNTER {
    uint32_t cbSize;          /* 96 */
    uint32_t dwCounter;       /* VG_STAT_* */
    uint64_t qwValue;
    uint8_t abReserved[16];
    char szName[64];          /* the counter's name in VG_STATS_TABLE */
} VGSTATSCOUNTER;

#define VG_STATS_LAYOUT 1u
typedef struct tagVGSTATSREC {
    uint32_t cbSize;          /* 2424 */
    uint8_t bLayout;          /* VG_STATS_LAYOUT */
    char szService[63];       /* the service's name and version */
    uint8_t abReserved1[32];
    uint32_t cCounters;       /* entries filled */
    uint8_t abReserved2[16];
    VGSTATSCOUNTER rgCounters[VG_STATISTICS_ENTRIES];
} VGSTATSREC;

VG_STATIC_ASSERT(sizeof(VGSTATSCOUNTER) == sizeof(VGSTATSENTRY), "VGSTATSCOUNTER size");
VG_STATIC_ASSERT(offsetof(VGSTATSCOUNTER, szName) == offsetof(VGSTATSENTRY, abData2), "VGSTATSCOUNTER.szName");
VG_STATIC_ASSERT(sizeof(VGSTATSREC) == VG_STATISTICS_SIZE, "VGSTATSREC size");
VG_STATIC_ASSERT(offsetof(VGSTATSREC, cCounters) == offsetof(VGSTATISTICS, dwValue), "VGSTATSREC.cCounters");
VG_STATIC_ASSERT(offsetof(VGSTATSREC, rgCounters) == offsetof(VGSTATISTICS, rgEntries), "VGSTATSREC.rgCounters");
VG_STATIC_ASSERT(VG_STAT_COUNT_ <= VG_STATISTICS_ENTRIES, "statistics table");

#ifdef __cplusplus
}
#endif

#endif /* VGSERVICERECORDS_H */
