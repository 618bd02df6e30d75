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

#if defined(_WIN32) && !defined(_WIN64)
#define VGAPI __stdcall
#else
#define VGAPI
#endif

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

/* The types <windows.h> calls DWORD and HRESULT (unsigned long and long are
 * 32 bits wide on Windows), so Windows callers pass their own variables. */
#if defined(_WIN32)
typedef unsigned long VGDWORD;
typedef long VGHRESULT;
#else
typedef uint32_t VGDWORD;
typedef int32_t VGHRESULT;
#endif

#define VG_PROTOCOL_VERSION 0x15050200u

/* ------------------------------------------------------------------------ */
/* Pipes and commands                                                        */

#define VG_SCREENING_PIPE "W.A.R.D.E.N."
#define VG_MANAGEMENT_PIPE "Quartermast"

/* Which pipe a command goes to: the screening pipe, the management pipe with a
 * one-shot transaction, or the management pipe's streamed list channel. */
#define VG_PIPE_SCREENING 0
#define VG_PIPE_MANAGEMENT 1
#define VG_PIPE_STREAMED 2

/* The command table: code, name, pipe, request size, reply size (for a
 * streamed list: the list header's size; the items follow). Command 19 sends
 * 2544 bytes whose cbSize reads 116. */
#define VG_COMMAND_TABLE(X)                                            \
    X(1, VGCMD_ISWHITELISTED, VG_PIPE_SCREENING, 148, 16)              \
    X(2, VGCMD_ISBLACKLISTED, VG_PIPE_SCREENING, 148, 16)              \
    X(3, VGCMD_ISTRUSTED, VG_PIPE_SCREENING, 148, 16)                  \
    X(4, VGCMD_ISGEOBLOCKED, VG_PIPE_SCREENING, 148, 144)              \
    X(5, VGCMD_ISGEOBLOCKEDEX, VG_PIPE_SCREENING, 148, 376)            \
    X(6, VGCMD_ALLOWIPCONNECTION, VG_PIPE_SCREENING, 176, 20)          \
    X(7, VGCMD_ALLOWCONNECTION, VG_PIPE_SCREENING, 500, 20)            \
    X(8, VGCMD_ALLOWIPCONNECTIONEX, VG_PIPE_SCREENING, 184, 256)       \
    X(9, VGCMD_ALLOWCONNECTIONEX, VG_PIPE_SCREENING, 508, 256)         \
    X(10, VGCMD_PROCESSAUTHFAILURE, VG_PIPE_SCREENING, 1104, 12)       \
    X(11, VGCMD_PROCESSAUTHSUCCESS, VG_PIPE_SCREENING, 496, 12)        \
    X(12, VGCMD_GETGEODATA, VG_PIPE_SCREENING, 156, 248)               \
    X(13, VGCMD_OPENMGMTSESSION, VG_PIPE_MANAGEMENT, 1304, 28)         \
    X(15, VGCMD_ENDMGMTSESSION, VG_PIPE_MANAGEMENT, 116, 12)           \
    X(16, VGCMD_ABORTMGMTSESSION, VG_PIPE_MANAGEMENT, 116, 12)         \
    X(17, VGCMD_CONTROLSERVICE, VG_PIPE_MANAGEMENT, 120, 12)           \
    X(18, VGCMD_QUERYSERVICE, VG_PIPE_MANAGEMENT, 116, 16)             \
    X(19, VGCMD_QUERYSTATISTICS, VG_PIPE_MANAGEMENT, 2544, 2440)       \
    X(20, VGCMD_CONFIGDELETE, VG_PIPE_MANAGEMENT, 764, 12)             \
    X(22, VGCMD_CONFIGSETBYTE, VG_PIPE_MANAGEMENT, 764, 12)            \
    X(23, VGCMD_CONFIGSETBOOL, VG_PIPE_MANAGEMENT, 764, 12)            \
    X(24, VGCMD_CONFIGSETWORD, VG_PIPE_MANAGEMENT, 764, 12)            \
    X(25, VGCMD_CONFIGSETDWORD, VG_PIPE_MANAGEMENT, 764, 12)           \
    X(26, VGCMD_CONFIGSETSZ, VG_PIPE_MANAGEMENT, 764, 12)              \
    X(27, VGCMD_CONFIGGETBYTE, VG_PIPE_MANAGEMENT, 244, 532)           \
    X(28, VGCMD_CONFIGGETBOOL, VG_PIPE_MANAGEMENT, 244, 532)           \
    X(29, VGCMD_CONFIGGETWORD, VG_PIPE_MANAGEMENT, 244, 532)           \
    X(30, VGCMD_CONFIGGETDWORD, VG_PIPE_MANAGEMENT, 244, 532)          \
    X(31, VGCMD_CONFIGGETSZ, VG_PIPE_MANAGEMENT, 244, 532)             \
    X(32, VGCMD_GETWHITEITEMLIST, VG_PIPE_STREAMED, 116, 20)           \
    X(33, VGCMD_ADDWHITEITEM, VG_PIPE_MANAGEMENT, 276, 28)             \
    X(34, VGCMD_REMOVEWHITEITEM, VG_PIPE_MANAGEMENT, 276, 12)          \
    X(35, VGCMD_RESETWHITEITEMLIST, VG_PIPE_MANAGEMENT, 116, 12)       \
    X(36, VGCMD_GETBLACKITEMLIST, VG_PIPE_STREAMED, 116, 20)           \
    X(37, VGCMD_ADDBLACKITEM, VG_PIPE_MANAGEMENT, 276, 28)             \
    X(38, VGCMD_REMOVEBLACKITEM, VG_PIPE_MANAGEMENT, 276, 12)          \
    X(39, VGCMD_RESETBLACKITEMLIST, VG_PIPE_MANAGEMENT, 116, 12)       \
    X(40, VGCMD_GETTRUSTEDIPITEMLIST, VG_PIPE_STREAMED, 116, 20)       \
    X(41, VGCMD_ADDTRUSTEDIPITEM, VG_PIPE_MANAGEMENT, 236, 12)         \
    X(42, VGCMD_REMOVETRUSTEDIPITEM, VG_PIPE_MANAGEMENT, 236, 12)      \
    X(43, VGCMD_GETGATEWAYITEMLIST, VG_PIPE_STREAMED, 116, 20)         \
    X(44, VGCMD_ADDGATEWAYITEM, VG_PIPE_MANAGEMENT, 444, 28)           \
    X(45, VGCMD_REMOVEGATEWAYITEM, VG_PIPE_MANAGEMENT, 444, 12)        \
    X(46, VGCMD_GETFROZENACCOUNTLIST, VG_PIPE_STREAMED, 116, 20)       \
    X(47, VGCMD_RESETFROZENACCOUNTLIST, VG_PIPE_MANAGEMENT, 116, 12)   \
    X(49, VGCMD_RESETAUTHFAILITEMLIST, VG_PIPE_MANAGEMENT, 116, 12)    \
    X(50, VGCMD_THAWFROZENACCOUNT, VG_PIPE_MANAGEMENT, 132, 12)        \
    X(51, VGCMD_GETAUTHFAILITEMLIST, VG_PIPE_STREAMED, 116, 20)

#define VG_COMMAND_ENUM_(code, name, pipe, cbRequest, cbReply) name = code,
typedef enum VGCMD { VG_COMMAND_TABLE(VG_COMMAND_ENUM_) VGCMD_MAX_ = 0x7FFFFFFF } VGCMD;
#undef VG_COMMAND_ENUM_

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
/* Wire records. Little-endian; texts are NUL-terminated 8-bit fields.       */

typedef struct tagVGREQHDR {
    uint32_t cbSize;          /* size of the whole request */
    uint32_t dwCommand;       /* VGCMD */
    uint32_t dwProcessId;
    uint32_t dwThreadId;
    uint32_t dwVersion;       /* VG_PROTOCOL_VERSION */
    char szComputerName[64];
} VGREQHDR;

/* 16 bytes in the layout of a GUID. */
typedef struct tagVGSESSIONID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} VGSESSIONID;

typedef struct tagVGREQHDREX {
    VGREQHDR hdr;
    VGSESSIONID idSession;    /* zero in the screening requests */
    uint8_t abReserved[16];
} VGREQHDREX;

typedef struct tagVGREPLYHDR {
    uint32_t cbSize;          /* written by the service, not read */
    uint32_t dwVersion;       /* written by the service, not read */
    int32_t hrStatus;         /* the service's result; negative = failure */
} VGREPLYHDR;

/* Commands 1 to 5. */
typedef struct tagVGIPQUERY {
    VGREQHDR hdr;
    char szIPAddress[56];
    uint32_t dwService;
    uint32_t dwParam;
} VGIPQUERY;

/* Command 12: by IP address (dwID1..3 zero) or by identifier (szIPAddress empty). */
typedef struct tagVGGEOQUERY {
    VGREQHDR hdr;
    uint32_t dwID1;
    uint32_t dwID2;
    uint32_t dwID3;
    char szIPAddress[56];
    uint32_t dwParam;
} VGGEOQUERY;

/* The location record; the caller sets cbSize to 232 before a call that fills
 * it. Its contents are the service's. */
#define VG_GEODATA_SIZE 232u
typedef struct tagVGGEODATA {
    uint32_t cbSize;
    uint8_t abData[228];
} VGGEODATA;

/* Reply of commands 1 to 3. */
typedef struct tagVGQUERYREPLY {
    VGREPLYHDR hdr;
    uint32_t dwResult;        /* 0: not on the list */
} VGQUERYREPLY;

/* Reply of command 4, and the first part of the reply of command 5. */
typedef struct tagVGGEOBLOCKREPLY {
    VGREPLYHDR hdr;
    uint32_t dwResult;        /* nonzero: blocked by location */
    char szLocation[128];
} VGGEOBLOCKREPLY;

typedef struct tagVGGEOBLOCKREPLYEX {
    VGGEOBLOCKREPLY base;
    VGGEODATA geoData;
} VGGEOBLOCKREPLYEX;

/* Reply of command 12. */
typedef struct tagVGGEODATAREPLY {
    VGREPLYHDR hdr;
    uint32_t dwAlignment;
    VGGEODATA geoData;
} VGGEODATAREPLY;

/* Commands 6 to 9; sent 176 (6), 184 (8), 500 (7) or 508 (9) bytes long. */
typedef struct tagVGADMISSIONREQ {
    VGREQHDREX hdr;
    char szIPAddress[56];
    uint32_t dwService;
    union {
        struct {              /* command 8 */
            uint32_t dwParam1;
            uint32_t dwParam2;
        } ip;
        struct {              /* commands 7 and 9 */
            char szAccount[319];
            uint8_t bAlignment;
            uint32_t dwReserved;
            uint32_t dwParam1;    /* command 9 */
            uint32_t dwParam2;    /* command 9 */
        } account;
    } u;
} VGADMISSIONREQ;

/* Reply of commands 6 to 9: 20 bytes for 6 and 7, 256 for 8 and 9. */
typedef struct tagVGADMISSIONREPLY {
    VGREPLYHDR hdr;           /* hrStatus is not read */
    uint32_t dwVerdict;       /* 1: go on; 0: refuse */
    uint32_t dwInfo1;
    uint32_t dwInfo2;
    VGGEODATA geoData;
} VGADMISSIONREPLY;

/* Command 10. */
typedef struct tagVGAUTHFAILURE {
    VGREQHDREX hdr;
    char szAccount[319];
    char szIPAddress[56];
    uint8_t bAlignment;
    uint32_t dwService;
    char szAuthText[32];
    char szAuthDetail[319];
    char szAuthNote[256];
    uint8_t bAlignment2;
} VGAUTHFAILURE;

/* Command 11: the first 496 bytes of the failure report's layout. */
typedef struct tagVGAUTHSUCCESS {
    VGREQHDREX hdr;
    char szAccount[319];
    char szIPAddress[56];
    uint8_t bAlignment;
    uint32_t dwService;
} VGAUTHSUCCESS;

#define VG_CHECK_SIZE_(type, size) VG_STATIC_ASSERT(sizeof(type) == (size), #type " size")
#define VG_CHECK_AT_(type, field, off) VG_STATIC_ASSERT(offsetof(type, field) == (off), #type "." #field)
VG_CHECK_SIZE_(VGREQHDR, 84);
VG_CHECK_AT_(VGREQHDR, dwCommand, 4);
VG_CHECK_AT_(VGREQHDR, dwVersion, 16);
VG_CHECK_AT_(VGREQHDR, szComputerName, 20);
VG_CHECK_SIZE_(VGSESSIONID, 16);
VG_CHECK_SIZE_(VGREQHDREX, 116);
VG_CHECK_AT_(VGREQHDREX, idSession, 84);
VG_CHECK_AT_(VGREQHDREX, abReserved, 100);
VG_CHECK_SIZE_(VGREPLYHDR, 12);
VG_CHECK_AT_(VGREPLYHDR, hrStatus, 8);
VG_CHECK_SIZE_(VGIPQUERY, 148);
VG_CHECK_AT_(VGIPQUERY, szIPAddress, 84);
VG_CHECK_AT_(VGIPQUERY, dwService, 140);
VG_CHECK_AT_(VGIPQUERY, dwParam, 144);
VG_CHECK_SIZE_(VGGEOQUERY, 156);
VG_CHECK_AT_(VGGEOQUERY, dwID1, 84);
VG_CHECK_AT_(VGGEOQUERY, dwID3, 92);
VG_CHECK_AT_(VGGEOQUERY, szIPAddress, 96);
VG_CHECK_AT_(VGGEOQUERY, dwParam, 152);
VG_CHECK_SIZE_(VGGEODATA, 232);
VG_CHECK_SIZE_(VGQUERYREPLY, 16);
VG_CHECK_AT_(VGQUERYREPLY, dwResult, 12);
VG_CHECK_SIZE_(VGGEOBLOCKREPLY, 144);
VG_CHECK_AT_(VGGEOBLOCKREPLY, szLocation, 16);
VG_CHECK_SIZE_(VGGEOBLOCKREPLYEX, 376);
VG_CHECK_AT_(VGGEOBLOCKREPLYEX, geoData, 144);
VG_CHECK_SIZE_(VGGEODATAREPLY, 248);
VG_CHECK_AT_(VGGEODATAREPLY, geoData, 16);
VG_CHECK_SIZE_(VGADMISSIONREQ, 508);
VG_CHECK_AT_(VGADMISSIONREQ, szIPAddress, 116);
VG_CHECK_AT_(VGADMISSIONREQ, dwService, 172);
VG_CHECK_AT_(VGADMISSIONREQ, u.ip.dwParam1, 176);
VG_CHECK_AT_(VGADMISSIONREQ, u.ip.dwParam2, 180);
VG_CHECK_AT_(VGADMISSIONREQ, u.account.szAccount, 176);
VG_CHECK_AT_(VGADMISSIONREQ, u.account.dwReserved, 496);
VG_CHECK_AT_(VGADMISSIONREQ, u.account.dwParam1, 500);
VG_CHECK_AT_(VGADMISSIONREQ, u.account.dwParam2, 504);
VG_CHECK_SIZE_(VGADMISSIONREPLY, 256);
VG_CHECK_AT_(VGADMISSIONREPLY, dwVerdict, 12);
VG_CHECK_AT_(VGADMISSIONREPLY, dwInfo1, 16);
VG_CHECK_AT_(VGADMISSIONREPLY, dwInfo2, 20);
VG_CHECK_AT_(VGADMISSIONREPLY, geoData, 24);
VG_CHECK_SIZE_(VGAUTHFAILURE, 1104);
VG_CHECK_AT_(VGAUTHFAILURE, szAccount, 116);
VG_CHECK_AT_(VGAUTHFAILURE, szIPAddress, 435);
VG_CHECK_AT_(VGAUTHFAILURE, dwService, 492);
VG_CHECK_AT_(VGAUTHFAILURE, szAuthText, 496);
VG_CHECK_AT_(VGAUTHFAILURE, szAuthDetail, 528);
VG_CHECK_AT_(VGAUTHFAILURE, szAuthNote, 847);
VG_CHECK_SIZE_(VGAUTHSUCCESS, 496);
VG_CHECK_AT_(VGAUTHSUCCESS, dwService, 492);
#undef VG_CHECK_SIZE_
#undef VG_CHECK_AT_

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
/* Message texts. The text of a screening-system identifier (0x4150xxxx,
 * 0x8150xxxx, 0xC150xxxx) or of an HRESULT, without its trailing line break;
 * insert sequences such as %1 stay as they stand. cchBuffer counts the
 * terminator. 0x80070490 (empty buffer) when no text is known or none fits. */

VGEXPORT VGHRESULT VGAPI HrVGFormatMessage(VGDWORD dwCode, char* szBuffer, VGDWORD cchBuffer);

#ifdef __cplusplus
}
#endif

#endif /* VAVARIVE32_H */
