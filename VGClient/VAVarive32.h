/*
 * VAVarive32 - client library of the mail server's screening service.
 *
 * Every call that talks to the service fills one fixed-layout request, sends
 * it over a named pipe, waits for the fixed-layout reply and hands the answer
 * back. Calls run on the caller's thread; any number of threads may call at
 * once. Results are HRESULTs: test for failure with the sign bit, since
 * success codes other than 0 exist.
 *
 * Usable from C and C++. On 32-bit Windows every export uses the standard
 * calling convention and takes only 32-bit arguments.
 */
#ifndef VAVARIVE32_H
#define VAVARIVE32_H

#include <stddef.h>
#include <stdint.h>

#include "vgbasetypes.h"

#if defined(VAVARIVE32_BUILD) && !defined(_WIN32)
#define VGEXPORT __attribute__((visibility("default")))
#else
#define VGEXPORT
#endif

#ifdef __cplusplus
#define VG_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define VG_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ------------------------------------------------------------------------ */
/* Service codes: which front end asks. The library sends any value as it is. */

/* code, name, tag in message texts, settings section (NULL: none) */
#define VG_SERVICE_TABLE(X)                            \
    X(0, VGSVC_UNSPECIFIED, "(unspecified)", NULL)     \
    X(1, VGSVC_IMAP, "IMAP", "IMAP")                   \
    X(2, VGSVC_POP, "POP", "POP")                      \
    X(3, VGSVC_SMTP, "SMTP", "SMTP")                   \
    X(4, VGSVC_WM, "WM", "BM")                         \
    X(5, VGSVC_AS, "AS", "AS")                         \
    X(6, VGSVC_RA, "RA", "RA")                         \
    X(7, VGSVC_API, "API", "API")                      \
    X(8, VGSVC_PNDP, "PNDP", "PNDP")                   \
    X(9, VGSVC_DAV, "DAV", "DAV")                      \
    X(10, VGSVC_AD, "AD", "AD")                        \
    X(11, VGSVC_XMPP, "XMPP", "XMPP")                  \
    X(12, VGSVC_MNGR, "MNGR", "MNGR")                  \
    X(13, VGSVC_IMAP_S, "IMAP_S", NULL)                \
    X(14, VGSVC_POP_S, "POP_S", NULL)                  \
    X(15, VGSVC_SMTP_S, "SMTP_S", NULL)

#define VG_SERVICE_ENUM_(code, name, tag, section) name = code,
typedef enum VGSERVICE { VG_SERVICE_TABLE(VG_SERVICE_ENUM_) VGSVC_MAX_ = 0x7FFFFFFF } VGSERVICE;
#undef VG_SERVICE_ENUM_

/* ------------------------------------------------------------------------ */
/* Records that callers pass and fill.                                      */

/* 16 bytes in the layout of a GUID. */
typedef struct tagVGSESSIONID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} VGSESSIONID;

/* The location record; the caller sets cbSize to 232 before a call that fills
 * it. Its contents are the service's. */
#define VG_GEODATA_SIZE 232u
typedef struct tagVGGEODATA {
    uint32_t cbSize;
    uint8_t abData[228];
} VGGEODATA;

VG_STATIC_ASSERT(sizeof(VGSESSIONID) == 16, "VGSESSIONID size");
VG_STATIC_ASSERT(sizeof(VGGEODATA) == VG_GEODATA_SIZE, "VGGEODATA size");

/* ------------------------------------------------------------------------ */
/* List membership queries (commands 1 to 3). The HrVG forms store the answer
 * (0: not listed) through pdwResult when it is not null; the VG twins return
 * it, and 0 on any failure. */

VGEXPORT VGHRESULT VGAPI HrVGIsWhiteListed(VGDWORD* pdwResult, const char* szIPAddress, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGIsBlackListed(VGDWORD* pdwResult, const char* szIPAddress, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGIsTrusted(VGDWORD* pdwResult, const char* szIPAddress, VGDWORD dwReserved);
VGEXPORT VGDWORD VGAPI VGIsWhiteListed(const char* szIPAddress, VGDWORD dwReserved);
VGEXPORT VGDWORD VGAPI VGIsBlackListed(const char* szIPAddress, VGDWORD dwReserved, VGDWORD dwReserved2);
VGEXPORT VGDWORD VGAPI VGIsTrusted(const char* szIPAddress, VGDWORD dwReserved);

/* ------------------------------------------------------------------------ */
/* Location screening (commands 4, 5) and location data (command 12). The
 * location text is copied when both szLocation and cchLocation are nonzero;
 * a cut text makes the HrVG forms return 0x8007007A after storing the rest.
 * The caller's tagVGGEODATA must carry cbSize 232 (else 0x800705B6). */

VGEXPORT VGHRESULT VGAPI HrVGIsGeoBlocked(VGDWORD* pdwBlocked, const char* szIPAddress, VGDWORD dwService,
                                          char* szLocation, VGDWORD cchLocation, VGDWORD dwReserved);
VGEXPORT VGDWORD VGAPI VGIsGeoBlocked(const char* szIPAddress, VGDWORD dwService, char* szLocation,
                                      VGDWORD cchLocation, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGIsGeoBlockedEx(VGDWORD* pdwBlocked, const char* szIPAddress, VGDWORD dwService,
                                            VGDWORD dwParam, char* szLocation, VGDWORD cchLocation,
                                            VGGEODATA* pGeoData);
VGEXPORT VGDWORD VGAPI VGIsGeoBlockedEx(const char* szIPAddress, VGDWORD dwService, VGDWORD dwParam,
                                        char* szLocation, VGDWORD cchLocation, VGGEODATA* pGeoData);
VGEXPORT VGHRESULT VGAPI HrVGGetGeoDataByIP(const char* szIPAddress, VGDWORD dwParam, VGGEODATA* pGeoData);
VGEXPORT VGHRESULT VGAPI HrVGGetGeoDataByID(VGDWORD dwID1, VGDWORD dwID2, VGDWORD dwID3, VGDWORD dwParam,
                                            VGGEODATA* pGeoData);

/* ------------------------------------------------------------------------ */
/* Connection admission (commands 6 to 9). Every out-pointer may be null. The
 * reply's status plays no part; the VG twins answer 1 (go on) when the
 * service cannot be reached. pGeoData is a plain 232-byte buffer here. */

VGEXPORT VGHRESULT VGAPI HrVGAllowIPConnection(VGDWORD* pdwVerdict, const char* szIPAddress, VGDWORD dwService,
                                               VGDWORD* pdwInfo1, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGAllowConnection(VGDWORD* pdwVerdict, const char* szIPAddress, VGDWORD dwService,
                                             const char* szAccount, VGDWORD* pdwInfo1, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGAllowIPConnectionEx(VGDWORD* pdwVerdict, const char* szIPAddress, VGDWORD dwService,
                                                 VGDWORD* pdwInfo1, VGGEODATA* pGeoData, VGDWORD dwParam1,
                                                 VGDWORD* pdwInfo2, VGDWORD dwParam2);
VGEXPORT VGHRESULT VGAPI HrVGAllowConnectionEx(VGDWORD* pdwVerdict, const char* szIPAddress, VGDWORD dwService,
                                               const char* szAccount, VGDWORD* pdwInfo1, VGGEODATA* pGeoData,
                                               VGDWORD dwParam1, VGDWORD* pdwInfo2, VGDWORD dwParam2);
VGEXPORT VGDWORD VGAPI VGAllowIPConnection(const char* szIPAddress, VGDWORD dwService, VGDWORD* pdwInfo1,
                                           VGDWORD dwReserved);
VGEXPORT VGDWORD VGAPI VGAllowConnection(const char* szIPAddress, VGDWORD dwService, const char* szAccount,
                                         VGDWORD* pdwInfo1, VGDWORD dwReserved);
VGEXPORT VGDWORD VGAPI VGAllowIPConnectionEx(const char* szIPAddress, VGDWORD dwService, VGDWORD* pdwInfo1,
                                             VGGEODATA* pGeoData, VGDWORD dwParam1, VGDWORD* pdwInfo2,
                                             VGDWORD dwParam2);
VGEXPORT VGDWORD VGAPI VGAllowConnectionEx(const char* szIPAddress, VGDWORD dwService, const char* szAccount,
                                           VGDWORD* pdwInfo1, VGGEODATA* pGeoData, VGDWORD dwParam1,
                                           VGDWORD* pdwInfo2, VGDWORD dwParam2);

/* ------------------------------------------------------------------------ */
/* Authentication outcomes (commands 10, 11): the result is the service's
 * status. A failure report needs the account, the IP text, a nonzero service
 * code and szAuthText (else 0x800700A0, nothing sent). */

VGEXPORT VGHRESULT VGAPI HrVGProcessAuthFailure(const char* szAccount, const char* szIPAddress, VGDWORD dwService,
                                                const char* szAuthText, const char* szAuthDetail,
                                                const char* szAuthNote, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGProcessAuthSuccess(const char* szAccount, const char* szIPAddress, VGDWORD dwService,
                                                VGDWORD dwReserved);

/* ------------------------------------------------------------------------ */
/* Service control, state and statistics (commands 17 to 19).                */

/* The enable bit of a control code. */
#define VG_CONTROL_ENABLE 0x2000000u

/* One statistics entry; the service fills it. */
typedef struct tagVGSTATSENTRY {
    uint32_t cbSize;          /* 96 when filled; 0 in a fresh record */
    uint32_t dwValue1;
    uint32_t dwValue2;
    uint32_t dwValue3;
    uint8_t abData1[16];
    uint8_t abData2[64];
} VGSTATSENTRY;

/* The statistics record, exchanged whole with the service. A fresh record
 * has cbSize 2424 and every other byte zero. */
#define VG_STATISTICS_SIZE 2424u
#define VG_STATISTICS_ENTRIES 24
typedef struct tagVGSTATISTICS {
    uint32_t cbSize;
    uint8_t bFlag;
    uint8_t abReserved1[63];
    uint8_t abData1[16];
    uint8_t abData2[16];
    uint32_t dwValue;
    uint8_t abReserved2[16];
    VGSTATSENTRY rgEntries[VG_STATISTICS_ENTRIES];
} VGSTATISTICS;

VG_STATIC_ASSERT(sizeof(VGSTATSENTRY) == 96, "VGSTATSENTRY size");
VG_STATIC_ASSERT(offsetof(VGSTATSENTRY, abData2) == 32, "VGSTATSENTRY.abData2");
VG_STATIC_ASSERT(sizeof(VGSTATISTICS) == 2424, "VGSTATISTICS size");
VG_STATIC_ASSERT(offsetof(VGSTATISTICS, abData1) == 68, "VGSTATISTICS.abData1");
VG_STATIC_ASSERT(offsetof(VGSTATISTICS, abData2) == 84, "VGSTATISTICS.abData2");
VG_STATIC_ASSERT(offsetof(VGSTATISTICS, dwValue) == 100, "VGSTATISTICS.dwValue");
VG_STATIC_ASSERT(offsetof(VGSTATISTICS, rgEntries) == 120, "VGSTATISTICS.rgEntries");

/* Passes a control code to the service. With the enable bit the library
 * first reads the service's own configuration: a disabled service is woken
 * through its event when idSession is its class identifier, and an enabled
 * one answers a bare enable at once; neither sends a request. */
VGEXPORT VGHRESULT VGAPI HrVGControlService(VGSESSIONID idSession, VGDWORD dwControl, VGDWORD dwReserved);
/* The service's state word; S_OK whenever the exchange succeeds. */
VGEXPORT VGHRESULT VGAPI HrVGQueryService(VGSESSIONID idSession, VGDWORD* pdwState, VGDWORD dwReserved);
/* Sends the caller's record and, on a non-negative status, copies the
 * service's record over it. */
VGEXPORT VGHRESULT VGAPI HrVGQueryStatistics(VGSESSIONID idSession, VGSTATISTICS* pStatistics, VGDWORD dwReserved);

/* ------------------------------------------------------------------------ */
/* List records. Opaque blocks laid out by the service; the library touches
 * only the item identifiers, which the add calls write. */

/* 16 bytes in the layout of a GUID, assigned by the service. */
typedef struct tagVGITEMID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} VGITEMID;

#define VG_WHITEITEM_SIZE 160u
#define VG_BLACKITEM_SIZE 160u
#define VG_TRUSTEDIPITEM_SIZE 120u
#define VG_GATEWAYITEM_SIZE 328u
#define VG_FROZENACCOUNT_SIZE 352u
#define VG_AUTHFAILITEM_SIZE 716u

typedef struct tagVGWHITEITEM {
    uint8_t abData1[72];
    VGITEMID idItem;
    uint8_t abData2[72];
} VGWHITEITEM;

typedef struct tagVGBLACKITEM {
    uint8_t abData1[72];
    VGITEMID idItem;
    uint8_t abData2[72];
} VGBLACKITEM;

typedef struct tagVGTRUSTEDIPITEM {
    uint8_t abData[120];
} VGTRUSTEDIPITEM;

typedef struct tagVGGATEWAYITEM {
    uint8_t abData[312];
    VGITEMID idItem;
} VGGATEWAYITEM;

typedef struct tagVGFROZENACCOUNT {
    uint8_t abData[352];
} VGFROZENACCOUNT;

typedef struct tagVGAUTHFAILITEM {
    uint8_t abData[716];
} VGAUTHFAILITEM;

VG_STATIC_ASSERT(sizeof(VGITEMID) == 16, "VGITEMID size");
VG_STATIC_ASSERT(sizeof(VGWHITEITEM) == VG_WHITEITEM_SIZE, "VGWHITEITEM size");
VG_STATIC_ASSERT(offsetof(VGWHITEITEM, idItem) == 72, "VGWHITEITEM.idItem");
VG_STATIC_ASSERT(sizeof(VGBLACKITEM) == VG_BLACKITEM_SIZE, "VGBLACKITEM size");
VG_STATIC_ASSERT(offsetof(VGBLACKITEM, idItem) == 72, "VGBLACKITEM.idItem");
VG_STATIC_ASSERT(sizeof(VGTRUSTEDIPITEM) == VG_TRUSTEDIPITEM_SIZE, "VGTRUSTEDIPITEM size");
VG_STATIC_ASSERT(sizeof(VGGATEWAYITEM) == VG_GATEWAYITEM_SIZE, "VGGATEWAYITEM size");
VG_STATIC_ASSERT(offsetof(VGGATEWAYITEM, idItem) == 312, "VGGATEWAYITEM.idItem");
VG_STATIC_ASSERT(sizeof(VGFROZENACCOUNT) == VG_FROZENACCOUNT_SIZE, "VGFROZENACCOUNT size");
VG_STATIC_ASSERT(sizeof(VGAUTHFAILITEM) == VG_AUTHFAILITEM_SIZE, "VGAUTHFAILITEM size");

/* ------------------------------------------------------------------------ */
/* List retrieval over a connection of its own to the management pipe. On
 * return *ppItems points to *pcItems records, with room for one more, or is
 * null when none arrived. Whenever *pcItems is not zero the array belongs to
 * the caller, whatever the result, and goes back through any of the free
 * calls. ppItems and pcItems are required (else 0x800700A0, nothing sent).
 * A list header whose record size is not the list's, or whose count needs
 * more than 256 MiB, is refused with 0x8007000D; a service that sends more
 * records than announced gets those that fit handed out and 0x800700EA. */

VGEXPORT VGHRESULT VGAPI HrVGGetWhiteItemList(VGSESSIONID idSession, VGWHITEITEM** ppItems, VGDWORD* pcItems,
                                              VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGGetBlackItemList(VGSESSIONID idSession, VGBLACKITEM** ppItems, VGDWORD* pcItems,
                                              VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGGetTrustedIPItemList(VGSESSIONID idSession, VGTRUSTEDIPITEM** ppItems,
                                                  VGDWORD* pcItems, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGGetGatewayItemList(VGSESSIONID idSession, VGGATEWAYITEM** ppItems, VGDWORD* pcItems,
                                                VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGGetFrozenAccountList(VGSESSIONID idSession, VGFROZENACCOUNT** ppItems,
                                                  VGDWORD* pcItems, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGGetAuthFailItemList(VGSESSIONID idSession, VGAUTHFAILITEM** ppItems,
                                                 VGDWORD* pcItems, VGDWORD dwReserved);

/* Release an array of a list retrieval: S_OK, or 0x80070057 for null. All six
 * release into the same heap, so any of them takes any list's array. The
 * white and black forms take a second argument that is ignored. */
VGEXPORT VGHRESULT VGAPI HrVGFreeWhiteItemList(void* pItems, VGDWORD dwIgnored);
VGEXPORT VGHRESULT VGAPI HrVGFreeBlackItemList(void* pItems, VGDWORD dwIgnored);
VGEXPORT VGHRESULT VGAPI HrVGFreeTrustedIPItemList(void* pItems);
VGEXPORT VGHRESULT VGAPI HrVGFreeGatewayItemList(void* pItems);
VGEXPORT VGHRESULT VGAPI HrVGFreeFrozenAccountList(void* pItems);
VGEXPORT VGHRESULT VGAPI HrVGFreeAuthFailItemList(void* pItems);

/* ------------------------------------------------------------------------ */
/* List operations: one record added or removed, a list cleared, a frozen
 * account thawed. The result is the service's status. A null record sends
 * an all-zero one. An accepted white, black or gateway add writes the
 * identifier the service assigned into the caller's record; a refused one
 * writes it too unless dwReserved is nonzero. */

VGEXPORT VGHRESULT VGAPI HrVGAddWhiteItem(VGSESSIONID idSession, VGWHITEITEM* pItem, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGRemoveWhiteItem(VGSESSIONID idSession, const VGWHITEITEM* pItem, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGResetWhiteItemList(VGSESSIONID idSession, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGAddBlackItem(VGSESSIONID idSession, VGBLACKITEM* pItem, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGRemoveBlackItem(VGSESSIONID idSession, const VGBLACKITEM* pItem, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGResetBlackItemList(VGSESSIONID idSession, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGAddTrustedIPItem(VGSESSIONID idSession, const VGTRUSTEDIPITEM* pItem,
                                              VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGRemoveTrustedIPItem(VGSESSIONID idSession, const VGTRUSTEDIPITEM* pItem,
                                                 VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGAddGatewayItem(VGSESSIONID idSession, VGGATEWAYITEM* pItem, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGRemoveGatewayItem(VGSESSIONID idSession, const VGGATEWAYITEM* pItem,
                                               VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGResetFrozenAccountList(VGSESSIONID idSession, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGResetAuthFailItemList(VGSESSIONID idSession, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGThawFrozenAccount(VGSESSIONID idSession, VGITEMID idAccount, VGDWORD dwReserved);

/* ------------------------------------------------------------------------ */
/* Management sessions (commands 13, 15, 16). The session id that the open
 * returns goes, by value and first, to every other management call; those
 * calls end with a dwReserved word. The result of each is the service's
 * status, or the transport's error. */

/* Logs on. szText1 and szText2 may be null (sent as empty texts); szText3
 * (at most 63 characters, else 0x8007007A) and pidSession are required (else
 * 0x800700A0). hModule is the calling module (null: the executable); its file
 * name without the folder is sent. Sealed texts are limited by their fields:
 * 462 bytes for szText1, 183 for szText2, 189 for the module name; a longer
 * one fails the call with 0x800700EA. Nothing is sent when sealing fails.
 * The id is stored whenever a reply arrives, also with a failure status. */
VGEXPORT VGHRESULT VGAPI HrVGOpenMgmtSession(const char* szText1, const char* szText2, const char* szText3,
                                             VGSESSIONID* pidSession, void* hModule);
VGEXPORT VGHRESULT VGAPI HrVGEndMgmtSession(VGSESSIONID idSession, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGAbortMgmtSession(VGSESSIONID idSession, VGDWORD dwReserved);

/* ------------------------------------------------------------------------ */
/* Configuration (commands 20, 22 to 31): typed values under a section and a
 * key of the service's configuration. Section and key names of more than 63
 * characters and texts of more than 519 are cut without an error. Section,
 * key, text and out pointers are required (else 0x800700A0, nothing sent).
 * A Get stores nothing when the exchange fails or the status is negative,
 * and otherwise exactly the value's width (1, 2 or 4 bytes). */

#define VG_CONFIG_NAME_SIZE 64
#define VG_CONFIG_VALUE_SIZE 520


VGEXPORT VGHRESULT VGAPI HrVGConfigDelete(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                          VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGConfigSetBYTE(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                           uint8_t bValue, VGDWORD dwReserved);
/* The value is sent as passed, not folded to 0 or 1. */
VGEXPORT VGHRESULT VGAPI HrVGConfigSetBOOL(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                           VGBOOL fValue, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGConfigSetWORD(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                           uint16_t wValue, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGConfigSetDWORD(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                            VGDWORD dwValue, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGConfigSetSZ(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                         const char* szValue, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGConfigGetBYTE(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                           uint8_t* pbValue, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGConfigGetBOOL(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                           VGBOOL* pfValue, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGConfigGetWORD(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                           uint16_t* pwValue, VGDWORD dwReserved);
VGEXPORT VGHRESULT VGAPI HrVGConfigGetDWORD(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                            VGDWORD* pdwValue, VGDWORD dwReserved);
/* Copies the text into cchValue characters (terminator included). The
 * result is the copy's, not the service's: S_OK, 0x8007007A when the text
 * was cut to fit, 0x80070057 (buffer untouched) for a size of 0 or above
 * 0x7FFFFFFF. */
VGEXPORT VGHRESULT VGAPI HrVGConfigGetSZ(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                         char* szValue, VGDWORD cchValue, VGDWORD dwReserved);

/* ------------------------------------------------------------------------ */
/* Named settings: a Get and a Set for each key the service knows (only a Get
 * for Support/LatestLogFile), each passing its own section and key to the
 * typed accessor above and returning its result. The rows, with every export
 * name, are in vgsettings.inc. */

#define VG_SETTING_SET_PARAMS_BYTE uint8_t bValue
#define VG_SETTING_SET_PARAMS_BOOL VGBOOL fValue
#define VG_SETTING_SET_PARAMS_WORD uint16_t wValue
#define VG_SETTING_SET_PARAMS_DWORD VGDWORD dwValue
#define VG_SETTING_SET_PARAMS_SZ const char* szValue
#define VG_SETTING_GET_PARAMS_BYTE uint8_t* pbValue
#define VG_SETTING_GET_PARAMS_BOOL VGBOOL* pfValue
#define VG_SETTING_GET_PARAMS_WORD uint16_t* pwValue
#define VG_SETTING_GET_PARAMS_DWORD VGDWORD* pdwValue
#define VG_SETTING_GET_PARAMS_SZ char* szValue, VGDWORD cchValue

#define VG_SETTING(section, key, type, getter, setter)                                                        \
    VGEXPORT VGHRESULT VGAPI getter(VGSESSIONID idSession, VG_SETTING_GET_PARAMS_##type, VGDWORD dwReserved); \
    VGEXPORT VGHRESULT VGAPI setter(VGSESSIONID idSession, VG_SETTING_SET_PARAMS_##type, VGDWORD dwReserved);
#define VG_SETTING_GETONLY(section, key, type, getter) \
    VGEXPORT VGHRESULT VGAPI getter(VGSESSIONID idSession, VG_SETTING_GET_PARAMS_##type, VGDWORD dwReserved);
#include "vgsettings.inc"
#undef VG_SETTING
#undef VG_SETTING_GETONLY

/* ------------------------------------------------------------------------ */
/* Message texts. The text of a screening-system identifier (0x4150xxxx,
 * 0x8150xxxx, 0xC150xxxx) or of an HRESULT, without its trailing line break;
 * insert sequences such as %1 stay as they stand. cchBuffer counts the
 * terminator. 0x80070490 (empty buffer) when no text is known or none fits. */

VGEXPORT VGHRESULT VGAPI HrVGFormatMessage(VGDWORD dwCode, char* szBuffer, VGDWORD cchBuffer);

#ifdef __cplusplus
}
#endif

#endif /* VAVARIVE32_H */
