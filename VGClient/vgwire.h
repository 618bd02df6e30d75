/*
 * The wire protocol between the library and the screening service: the
 * protocol version, the pipes, the command table and the request and reply
 * records. Shared by the library, its tests, the reference service and the
 * benchmarks; callers of the library never see these layouts.
 */
#ifndef VGWIRE_H
#define VGWIRE_H

#include "VGClient/VAVarive32.h"

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
/* Wire records. Little-endian; texts are NUL-terminated 8-bit fields.       */

typedef struct tagVGREQHDR {
    uint32_t cbSize;          /* size of the whole request */
    uint32_t dwCommand;       /* VGCMD */
    uint32_t dwProcessId;
    uint32_t dwThreadId;
    uint32_t dwVersion;       /* VG_PROTOCOL_VERSION */
    char szComputerName[64];
} VGREQHDR;

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
/* Service control, state and statistics (commands 17 to 19).                */

typedef struct tagVGCONTROLREQ {
    VGREQHDREX hdr;
    uint32_t dwControl;
} VGCONTROLREQ;

typedef struct tagVGQUERYSERVICEREPLY {
    VGREPLYHDR hdr;           /* hrStatus is not consulted */
    uint32_t dwState;
} VGQUERYSERVICEREPLY;

/* Command 19: cbSize of the header says 116 while 2544 bytes are sent. */
typedef struct tagVGSTATSREQ {
    VGREQHDREX hdr;
    uint32_t dwAlignment;
    VGSTATISTICS stats;
} VGSTATSREQ;

typedef struct tagVGSTATSREPLY {
    VGREPLYHDR hdr;
    uint32_t dwAlignment;
    VGSTATISTICS stats;
} VGSTATSREPLY;

VG_STATIC_ASSERT(sizeof(VGCONTROLREQ) == 120, "VGCONTROLREQ size");
VG_STATIC_ASSERT(offsetof(VGCONTROLREQ, dwControl) == 116, "VGCONTROLREQ.dwControl");
VG_STATIC_ASSERT(sizeof(VGQUERYSERVICEREPLY) == 16, "VGQUERYSERVICEREPLY size");
VG_STATIC_ASSERT(sizeof(VGSTATSREQ) == 2544, "VGSTATSREQ size");
VG_STATIC_ASSERT(offsetof(VGSTATSREQ, stats) == 120, "VGSTATSREQ.stats");
VG_STATIC_ASSERT(sizeof(VGSTATSREPLY) == 2440, "VGSTATSREPLY size");
VG_STATIC_ASSERT(offsetof(VGSTATSREPLY, stats) == 16, "VGSTATSREPLY.stats");

/* ------------------------------------------------------------------------ */
/* List channel and list operations.                                        */

/* The first thing a list channel delivers; cItems records of cbItem bytes
 * follow it. */
typedef struct tagVGLISTHDR {
    VGREPLYHDR hdr;
    uint32_t cItems;
    uint32_t cbItem;
} VGLISTHDR;

/* Reply of the add calls that return an identifier. */
typedef struct tagVGADDITEMREPLY {
    VGREPLYHDR hdr;
    VGITEMID idItem;
} VGADDITEMREPLY;

VG_STATIC_ASSERT(sizeof(VGLISTHDR) == 20, "VGLISTHDR size");
VG_STATIC_ASSERT(offsetof(VGLISTHDR, cItems) == 12, "VGLISTHDR.cItems");
VG_STATIC_ASSERT(offsetof(VGLISTHDR, cbItem) == 16, "VGLISTHDR.cbItem");
VG_STATIC_ASSERT(sizeof(VGADDITEMREPLY) == 28, "VGADDITEMREPLY size");
VG_STATIC_ASSERT(offsetof(VGADDITEMREPLY, idItem) == 12, "VGADDITEMREPLY.idItem");

/* ------------------------------------------------------------------------ */
/* Management sessions.                                                     */

/* Command 13. The first two logon texts and the caller's module name travel
 * sealed (RC4 under a key made from a resource of the resource library, then
 * one line of Base64); the third in clear. */
typedef struct tagVGOPENSESSIONREQ {
    VGREQHDR hdr;
    char szText1[638];
    char szText2[256];
    char szText3[64];
    char szModule[261];
    uint8_t bAlignment;
} VGOPENSESSIONREQ;

typedef struct tagVGOPENSESSIONREPLY {
    VGREPLYHDR hdr;
    VGSESSIONID idSession;    /* zero unless the service fills it */
} VGOPENSESSIONREPLY;

VG_STATIC_ASSERT(sizeof(VGOPENSESSIONREQ) == 1304, "VGOPENSESSIONREQ size");
VG_STATIC_ASSERT(offsetof(VGOPENSESSIONREQ, szText1) == 84, "VGOPENSESSIONREQ.szText1");
VG_STATIC_ASSERT(offsetof(VGOPENSESSIONREQ, szText2) == 722, "VGOPENSESSIONREQ.szText2");
VG_STATIC_ASSERT(offsetof(VGOPENSESSIONREQ, szText3) == 978, "VGOPENSESSIONREQ.szText3");
VG_STATIC_ASSERT(offsetof(VGOPENSESSIONREQ, szModule) == 1042, "VGOPENSESSIONREQ.szModule");
VG_STATIC_ASSERT(sizeof(VGOPENSESSIONREPLY) == 28, "VGOPENSESSIONREPLY size");
VG_STATIC_ASSERT(offsetof(VGOPENSESSIONREPLY, idSession) == 12, "VGOPENSESSIONREPLY.idSession");

/* ------------------------------------------------------------------------ */
/* Configuration (commands 20, 22 to 31).                                   */

/* The value area: a number in the low bytes of a u32 (the rest zero), or a
 * NUL-terminated text. */
typedef union tagVGCONFIGVALUE {
    uint32_t dwValue;
    char szValue[VG_CONFIG_VALUE_SIZE];
} VGCONFIGVALUE;

/* Commands 27 to 31. */
typedef struct tagVGCONFIGREADREQ {
    VGREQHDREX hdr;
    char szSection[VG_CONFIG_NAME_SIZE];
    char szKey[VG_CONFIG_NAME_SIZE];
} VGCONFIGREADREQ;

/* Commands 20 (value area zero) and 22 to 26. */
typedef struct tagVGCONFIGWRITEREQ {
    VGREQHDREX hdr;
    char szSection[VG_CONFIG_NAME_SIZE];
    char szKey[VG_CONFIG_NAME_SIZE];
    VGCONFIGVALUE value;
} VGCONFIGWRITEREQ;

/* Reply of commands 27 to 31; the others answer with the header alone. */
typedef struct tagVGCONFIGREPLY {
    VGREPLYHDR hdr;
    VGCONFIGVALUE value;
} VGCONFIGREPLY;

VG_STATIC_ASSERT(sizeof(VGCONFIGVALUE) == 520, "VGCONFIGVALUE size");
VG_STATIC_ASSERT(sizeof(VGCONFIGREADREQ) == 244, "VGCONFIGREADREQ size");
VG_STATIC_ASSERT(offsetof(VGCONFIGREADREQ, szSection) == 116, "VGCONFIGREADREQ.szSection");
VG_STATIC_ASSERT(offsetof(VGCONFIGREADREQ, szKey) == 180, "VGCONFIGREADREQ.szKey");
VG_STATIC_ASSERT(sizeof(VGCONFIGWRITEREQ) == 764, "VGCONFIGWRITEREQ size");
VG_STATIC_ASSERT(offsetof(VGCONFIGWRITEREQ, value) == 244, "VGCONFIGWRITEREQ.value");
VG_STATIC_ASSERT(sizeof(VGCONFIGREPLY) == 532, "VGCONFIGREPLY size");
VG_STATIC_ASSERT(offsetof(VGCONFIGREPLY, value) == 12, "VGCONFIGREPLY.value");

#endif /* VGWIRE_H */
