/*
 * xal_tessaro.h - the controller access library libtessaro.so as this system
 * sees it: handles, result codes, PLC state numbers, the records that the
 * library hands out and the operations that its clients call.
 *
 * Records are produced and owned by the library; a client only reads them and
 * gives each back through the Destroy operation of its family. All integers
 * are those of the 32-bit PowerPC target, and the records use the platform's
 * natural alignment because the library fills them in. The layout checks at
 * the end of this file make a layout slip fail the target build.
 *
 * Usable from C (C99 or later) and C++.
 */
#ifndef XAL_TESSARO_H
#define XAL_TESSARO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Handles ------------------------------------------------------------
 * DWORD is a signed 32-bit integer on every build (on a 64-bit host `long`
 * would be 64 bits). -1 means "none": no connection, no such node. */
typedef int32_t DWORD;
typedef DWORD HController;           /* one connection to a controller */
typedef DWORD HNodeObject;           /* one node of the variable tree */
typedef DWORD HNodeObjectCollection; /* a list of node handles */
typedef DWORD HSysMsg;               /* one system message */
typedef DWORD HDevice;               /* one device */

/* ---- Result codes -------------------------------------------------------- */
#define E_OK        0
#define E_RANGE    (-1)
#define E_UNAVAIL  (-2)
#define E_NOSPACE  (-3)
#define E_INVALID  (-4)
#define E_CRC      (-5)
#define E_NOMEM    (-6)
#define E_TIMEOUT  (-7)
#define E_BREAK    (-8)
#define E_BUSY     (-9)
#define E_UNIMP    (-10)
#define E_EXIST    (-11)
#define E_NOEXIST  (-12)
#define E_ACCESS   (-13)
#define E_NOT_RDY  (-14)
#define E_FAILURE  (-15)
#define E_RETRY    (-16)
#define E_NFILE    (-17)
#define E_NALLOWED (-18)

/* ---- PLC state numbers: state n is bit n of the PLC state word ----------- */
#define PLC_DEVICES_AWAKE        0
#define PLC_DEVICES_FAILURE      1
#define PLC_DEVICES_READY        2
#define PLC_DEVICES_SETUP        3
#define PLC_JOB_READY            4
#define PLC_JOB_ACTIVE           5
#define PLC_JOB_COMPLETED        6
#define PLC_JOB_FAILED           7
#define PLC_SYS_SAFE             8
#define PLC_JOB_PAUSED           9
#define PLC_JOB_PILOTED          10
#define PLC_JOB_PRELOADED        11
#define PLC_JOB_STOPPING         12
#define PLC_READY_FOR_POWER_OFF  13
#define PLC_SYSTEM_READY         14
#define PLC_ATTENTION            15
#define PLC_SYS_SAFE_REQUEST     16
#define PLC_JOB_PRELOAD          17

/* ---- Enumerations -------------------------------------------------------- */
typedef enum VAR_TYPE {
    VT_INV = 0,
    VT_I32 = 1,
    VT_I64 = 2,
    VT_R32 = 3,
    VT_R64 = 4,
    VT_BOOLEAN = 5,
    VT_STR = 6,
    VT_SEL = 7,
    VT_SET = 8,
    VT_BIN = 9,
    VT_TEXT = 10,
    VT_FILE = 11,
    VT_JOB = 12,
    VT_LAST_ = 13
} VAR_TYPE;

typedef enum XAL_LOG_LEVEL {
    XAL_LOG_SUCCESS = 0,
    XAL_LOG_INFO = 1,
    XAL_LOG_WARNING = 2,
    XAL_LOG_ERROR = 3
} XAL_LOG_LEVEL;

typedef enum XAL_DEVICE_STATE {
    XAL_DEV_UNINITIALIZED = 0,
    XAL_DEV_INITIALIZING = 1,
    XAL_DEV_DESTROYING = 2,
    XAL_DEV_ACTIVATING = 3,
    XAL_DEV_ACTIVE = 4,
    XAL_DEV_DEACTIVATING = 5,
    XAL_DEV_INACTIVE = 6,
    XAL_DEV_ACTIVATING_FAILURE = 7,
    XAL_DEV_DEACTIVATING_FAILURE = 8,
    XAL_DEV_UNKNOWN_FAILURE = 9
} XAL_DEVICE_STATE;

/* ---- Records --------------------------------------------------------------
 * Every text field points to a zero-terminated string owned by the record; a
 * list is a count followed by a pointer to an array of that many entries. */

/* Everything the library knows about one node. */
typedef struct XAL_NODEINFO {
    HNodeObject handle;
    int64_t nodeid;
    char* fullname;   /* the form GetNode takes, e.g. "sys.BoardAddr" */
    char* name;       /* short name */
    char* path;
    char* value;      /* current value rendered as text */
    char* priv;       /* privileges as text */
    char* unit;
    int32_t type;     /* a VAR_TYPE value */
    char* typestring;
    float min;
    float max;
    uint32_t index;   /* position among the parent's children */
    uint32_t flags;
} XAL_NODEINFO;

/* The jobs stored on the controller. */
typedef struct XAL_JOBINFO {
    int32_t jobcount;
    char** fulljobnames;  /* jobcount full node names */
    char** jobnames;      /* jobcount short names, same order */
    char* selectednode;   /* full name of the selected node, "" for none */
} XAL_JOBINFO;

/* One kind of node that a job may contain; owned by the library for good. */
typedef struct XAL_JOBNODEINFO {
    char* fullname;
    char* name;
    int32_t usercreatable;
    int32_t canmakelines;
    int32_t canpasslines;
    int32_t acceptssubnodes;
} XAL_JOBNODEINFO;

typedef struct XAL_SINGLEDRIVERINFO {
    char* name;
    char* version;
    char* vendor;
    char* comment;
} XAL_SINGLEDRIVERINFO;

typedef struct XAL_DRIVERINFO {
    int32_t drivercount;
    XAL_SINGLEDRIVERINFO** driver;
} XAL_DRIVERINFO;

typedef struct XAL_SINGLEDEVICEINFO {
    HDevice handle;
    char* name;
    char* driver;               /* name of the serving driver */
    XAL_DEVICE_STATE state;
    char* statestring;
    int32_t staticdevice;
    int32_t stat_n;
    char* stat_str;
    char* dependenciesvarname;
    int32_t dependenciescount;
    char** dependencies;        /* the devices that depend on this one */
    int32_t dependsoncount;
    char** dependson;           /* the devices this one depends on */
} XAL_SINGLEDEVICEINFO;

typedef struct XAL_DEVICEINFO {
    int32_t devicecount;
    XAL_SINGLEDEVICEINFO** device;
} XAL_DEVICEINFO;

/* PLC-change notification handler: connection, new state word, reserved. */
typedef int (*XAL_PLC_CHANGED_CALLBACK)(HController HC, unsigned int value, unsigned int reserved);

/* ---- Operations -----------------------------------------------------------
 * int results: 0 (E_OK) on success, anything else is failure. Handle results:
 * -1 for none. Record results: NULL for none. Length results count bytes
 * without the terminating zero, or are E_INVALID / E_FAILURE; the copy that
 * follows gets a buffer of length + 1 and that size. */

/* Connection */
HController DetectRemoteController(const char* address, int port);

/* Nodes */
HNodeObject GetNode(HController HC, const char* fullname);
HNodeObject GetParentNode(HController HC, HNodeObject HNO);
int ReadNode(HController HC, HNodeObject HNO);
XAL_NODEINFO* GetNodeInfo(HController HC, HNodeObject HNO);
int DestroyNodeInfo(XAL_NODEINFO* info);

/* Values */
int GetNodeValueStringLen(HController HC, HNodeObject HNO);
int GetNodeValueString(HController HC, HNodeObject HNO, char* buffer, int size);
int GetNodeValueBinCopyLen(HController HC, HNodeObject HNO);
int GetNodeValueBinCopy(HController HC, HNodeObject HNO, void* buffer, int size);
int SetNodeValueString(HController HC, HNodeObject HNO, const char* value);
int WriteNodeSync(HController HC, HNodeObject HNO);

/* Names */
int GetNodeNameLen(HController HC, HNodeObject HNO);
int GetNodeName(HController HC, HNodeObject HNO, char* buffer, int size);

/* Tree */
int CreateNodeOnController(HController HC, const char* fullname, VAR_TYPE type, int reserved);
int CreateJobNodeOnController(HController HC, const char* fullname, const char* nodetype, int reserved);
int DeleteSingleNodeOnController(HController HC, HNodeObject HNO);
int RenameNode(HController HC, HNodeObject HNO, const char* newname);
int MoveSubtree(HController HC, HNodeObject HNO, HNodeObject newparent, int position);

/* Collections */
HNodeObjectCollection CreateNodeObjectCollection(HController HC);
int GetSubnodes(HController HC, HNodeObject HNO, HNodeObjectCollection collection);
int GetNodeObjectCount(HController HC, HNodeObjectCollection collection, int* count);
int GetNodeObjectAtIndex(HController HC, HNodeObjectCollection collection, int position, HNodeObject* out);
int DestroyNodeObjectCollection(HController HC, HNodeObjectCollection collection);

/* Jobs */
XAL_JOBINFO* GetJobInfo(HController HC);
int DestroyJobInfo(XAL_JOBINFO* info);
int GetJobNamesLen(HController HC, int* length);
int GetJobNames(HController HC, char* buffer, int size);
int SelectNode(HController HC, HNodeObject HNO);
int JobStart(HController HC);
int GetJobNodeTypesCount(HController HC, int* count);
XAL_JOBNODEINFO* GetJobNodeTypeInfo(HController HC, int position);

/* PLC state */
int GetPLCState(HController HC, unsigned int* state, unsigned int* reserved);
int RegisterOnPLCChanged(HController HC, XAL_PLC_CHANGED_CALLBACK handler);
int UnregisterOnPLCChanged(HController HC);

/* Devices */
XAL_DRIVERINFO* GetDriverInfo(HController HC);
XAL_DEVICEINFO* GetAllDeviceInfo(HController HC);
XAL_SINGLEDEVICEINFO* GetDeviceInfo(HController HC, HDevice HD);
int DestroyDriverInfo(XAL_DRIVERINFO* info);
int DestroyDeviceInfo(XAL_DEVICEINFO* info);
int DestroySingleDeviceInfo(XAL_SINGLEDEVICEINFO* info);

/* System messages */
int GetSystemMessageXMLLen(HSysMsg HSM);
int GetSystemMessageXML(HSysMsg HSM, char* buffer, int size);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout checks for the 32-bit PowerPC target --------------------------
 * There `long` and pointers are 4 bytes and a 64-bit field is aligned to 8
 * (unlike i386). The library fills these records in, so any difference from
 * this layout would corrupt every field after it: fail the build instead. */
#if defined(__cplusplus)
#define XAL_LAYOUT_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define XAL_LAYOUT_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#if defined(__powerpc__) && !defined(__powerpc64__)
XAL_LAYOUT_ASSERT(sizeof(DWORD) == 4 && sizeof(void*) == 4 && sizeof(long) == 4, "ppc32: ILP32 expected");
XAL_LAYOUT_ASSERT(sizeof(VAR_TYPE) == 4 && sizeof(XAL_DEVICE_STATE) == 4, "ppc32: enums are 4 bytes");

XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, handle) == 0, "XAL_NODEINFO.handle");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, nodeid) == 8, "XAL_NODEINFO.nodeid is 8-aligned");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, fullname) == 16, "XAL_NODEINFO.fullname");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, name) == 20, "XAL_NODEINFO.name");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, path) == 24, "XAL_NODEINFO.path");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, value) == 28, "XAL_NODEINFO.value");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, priv) == 32, "XAL_NODEINFO.priv");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, unit) == 36, "XAL_NODEINFO.unit");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, type) == 40, "XAL_NODEINFO.type");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, typestring) == 44, "XAL_NODEINFO.typestring");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, min) == 48, "XAL_NODEINFO.min");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, max) == 52, "XAL_NODEINFO.max");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, index) == 56, "XAL_NODEINFO.index");
XAL_LAYOUT_ASSERT(offsetof(XAL_NODEINFO, flags) == 60, "XAL_NODEINFO.flags");
XAL_LAYOUT_ASSERT(sizeof(XAL_NODEINFO) == 64, "XAL_NODEINFO size");

XAL_LAYOUT_ASSERT(offsetof(XAL_JOBINFO, jobcount) == 0, "XAL_JOBINFO.jobcount");
XAL_LAYOUT_ASSERT(offsetof(XAL_JOBINFO, fulljobnames) == 4, "XAL_JOBINFO.fulljobnames");
XAL_LAYOUT_ASSERT(offsetof(XAL_JOBINFO, jobnames) == 8, "XAL_JOBINFO.jobnames");
XAL_LAYOUT_ASSERT(offsetof(XAL_JOBINFO, selectednode) == 12, "XAL_JOBINFO.selectednode");
XAL_LAYOUT_ASSERT(sizeof(XAL_JOBINFO) == 16, "XAL_JOBINFO size");

XAL_LAYOUT_ASSERT(offsetof(XAL_JOBNODEINFO, fullname) == 0, "XAL_JOBNODEINFO.fullname");
XAL_LAYOUT_ASSERT(offsetof(XAL_JOBNODEINFO, name) == 4, "XAL_JOBNODEINFO.name");
XAL_LAYOUT_ASSERT(offsetof(XAL_JOBNODEINFO, usercreatable) == 8, "XAL_JOBNODEINFO.usercreatable");
XAL_LAYOUT_ASSERT(offsetof(XAL_JOBNODEINFO, canmakelines) == 12, "XAL_JOBNODEINFO.canmakelines");
XAL_LAYOUT_ASSERT(offsetof(XAL_JOBNODEINFO, canpasslines) == 16, "XAL_JOBNODEINFO.canpasslines");
XAL_LAYOUT_ASSERT(offsetof(XAL_JOBNODEINFO, acceptssubnodes) == 20, "XAL_JOBNODEINFO.acceptssubnodes");
XAL_LAYOUT_ASSERT(sizeof(XAL_JOBNODEINFO) == 24, "XAL_JOBNODEINFO size");

XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDRIVERINFO, name) == 0, "XAL_SINGLEDRIVERINFO.name");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDRIVERINFO, version) == 4, "XAL_SINGLEDRIVERINFO.version");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDRIVERINFO, vendor) == 8, "XAL_SINGLEDRIVERINFO.vendor");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDRIVERINFO, comment) == 12, "XAL_SINGLEDRIVERINFO.comment");
XAL_LAYOUT_ASSERT(sizeof(XAL_SINGLEDRIVERINFO) == 16, "XAL_SINGLEDRIVERINFO size");

XAL_LAYOUT_ASSERT(offsetof(XAL_DRIVERINFO, drivercount) == 0, "XAL_DRIVERINFO.drivercount");
XAL_LAYOUT_ASSERT(offsetof(XAL_DRIVERINFO, driver) == 4, "XAL_DRIVERINFO.driver");
XAL_LAYOUT_ASSERT(sizeof(XAL_DRIVERINFO) == 8, "XAL_DRIVERINFO size");

XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, handle) == 0, "XAL_SINGLEDEVICEINFO.handle");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, name) == 4, "XAL_SINGLEDEVICEINFO.name");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, driver) == 8, "XAL_SINGLEDEVICEINFO.driver");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, state) == 12, "XAL_SINGLEDEVICEINFO.state");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, statestring) == 16, "XAL_SINGLEDEVICEINFO.statestring");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, staticdevice) == 20, "XAL_SINGLEDEVICEINFO.staticdevice");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, stat_n) == 24, "XAL_SINGLEDEVICEINFO.stat_n");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, stat_str) == 28, "XAL_SINGLEDEVICEINFO.stat_str");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, dependenciesvarname) == 32, "XAL_SINGLEDEVICEINFO.dependenciesvarname");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, dependenciescount) == 36, "XAL_SINGLEDEVICEINFO.dependenciescount");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, dependencies) == 40, "XAL_SINGLEDEVICEINFO.dependencies");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, dependsoncount) == 44, "XAL_SINGLEDEVICEINFO.dependsoncount");
XAL_LAYOUT_ASSERT(offsetof(XAL_SINGLEDEVICEINFO, dependson) == 48, "XAL_SINGLEDEVICEINFO.dependson");
XAL_LAYOUT_ASSERT(sizeof(XAL_SINGLEDEVICEINFO) == 52, "XAL_SINGLEDEVICEINFO size");

XAL_LAYOUT_ASSERT(offsetof(XAL_DEVICEINFO, devicecount) == 0, "XAL_DEVICEINFO.devicecount");
XAL_LAYOUT_ASSERT(offsetof(XAL_DEVICEINFO, device) == 4, "XAL_DEVICEINFO.device");
XAL_LAYOUT_ASSERT(sizeof(XAL_DEVICEINFO) == 8, "XAL_DEVICEINFO size");
#endif

#endif /* XAL_TESSARO_H */
