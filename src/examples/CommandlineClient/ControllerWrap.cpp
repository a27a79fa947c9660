/*
 * ControllerWrap.cpp - wrapper helpers over the controller access library.
 *
 * Output rule: every single write to standard output (a line, a piece of a
 * line, a character) is followed by fflush(stdout), so that the output of
 * handlers running on library threads and of the front end's stream objects
 * keeps its order.
 *
 * Robustness rules for what the library hands back:
 *  - a NULL text field of a record is printed as the empty text;
 *  - a length below zero is a failure code, never a size: it reaches neither
 *    malloc nor a copy;
 *  - a buffer that can't be allocated is never handed to the library; a
 *    buffer whose size would not fit the library's int size argument counts
 *    as one that can't be allocated;
 *  - a text copied by the library is cut at the end of its buffer, so a
 *    missing terminator can't make us read past it.
 */
#include "ControllerWrap.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <algorithm>

namespace {

const char* textOf(const char* s)
{
    return s ? s : "";
}

/* Entry i of a record's text array; NULL when the array itself is missing. */
const char* entryOf(char* const* array, int i)
{
    return array ? array[i] : nullptr;
}

void emitLine(const char* text)
{
    puts(text);
    fflush(stdout);
}

void emitChar(int c)
{
    putchar(c);
    fflush(stdout);
}

/*
 * A buffer for a text that the library reports as `len` bytes long, with
 * `extra` bytes more (the terminator, and any slack). Returns NULL for a
 * negative length, for a size beyond INT_MAX and when malloc fails; otherwise
 * stores the size in *size and returns a buffer holding the empty text.
 */
char* allocText(int len, int extra, int* size)
{
    if (len < 0 || len > INT_MAX - extra) {
        return nullptr;
    }
    *size = len + extra;
    char* buf = static_cast<char*>(malloc(static_cast<size_t>(*size)));
    if (buf) {
        buf[0] = '\0';
        buf[*size - 1] = '\0';
    }
    return buf;
}

/* Cuts a copied text at the end of its buffer. */
void terminate(char* buf, int size)
{
    buf[size - 1] = '\0';
}

/*
 * Fetches the name of HNO, whose length the library reported as `len`, into a
 * new buffer that the caller frees. Returns NULL (and asks the library
 * nothing) when no buffer can be had; *copied tells whether GetNodeName
 * succeeded.
 */
char* fetchNodeName(HController HC, HNodeObject HNO, int len, bool* copied)
{
    int size = 0;
    char* name = allocText(len, 1, &size);
    *copied = false;
    if (!name) {
        return nullptr;
    }
    if (GetNodeName(HC, HNO, name, size) == 0) {
        terminate(name, size);
        *copied = true;
    }
    return name;
}

/*
 * The value part of a VT_BIN node: a size line and a hex dump. An empty value
 * prints nothing. A negative length is a failure code: like an empty value it
 * prints nothing, not even the size line, since there is no size to show.
 */
void printBinaryValue(HController HC, HNodeObject HNO)
{
    int len = GetNodeValueBinCopyLen(HC, HNO);
    if (len <= 0) {
        return;
    }
    printf("Size: %i\n", len);
    fflush(stdout);
    /* Zero-filled, so a copy that delivers fewer bytes than asked can never
     * show stale heap memory. */
    void* buf = calloc(1, static_cast<size_t>(len));
    if (!buf) {
        return;
    }
    if (GetNodeValueBinCopy(HC, HNO, buf, len) == 0) {
        hexdump(buf, len);
    }
    free(buf);
}

/* Prints "NodeMoved: <qualifier><name>\n" for HNO if its record can be had. */
void printMovedNode(HController HC, HNodeObject HNO, const char* qualifier)
{
    XAL_NODEINFO* info = GetNodeInfo(HC, HNO);
    if (!info) {
        return;
    }
    printf("NodeMoved: %s%s\n", qualifier, textOf(info->name));
    fflush(stdout);
    DestroyNodeInfo(info);
}

/* Prints "<prefix><name> (<driver>)\n" for device HD if its record can be had. */
void printDeviceLine(HController HC, HDevice HD, const char* prefix)
{
    XAL_SINGLEDEVICEINFO* dev = GetDeviceInfo(HC, HD);
    if (!dev) {
        return;
    }
    printf("%s%s (%s)\n", prefix, textOf(dev->name), textOf(dev->driver));
    fflush(stdout);
    DestroySingleDeviceInfo(dev);
}

/* Shared body of the device dependency handlers after their first line. */
void printDependencyDevices(HController HC, HDevice MainHD, HDevice SubHD)
{
    printDeviceLine(HC, MainHD, "   Main Device: ");
    printDeviceLine(HC, SubHD, "   Sub Device: ");
}

/*
 * Shared body of the rename and delete handlers: the first line, then the
 * node's name between `before` and `after` when its length is at least `minLen` and it can be
 * copied, "Could not get nodename" when the copy fails.
 */
void printNamedNodeEvent(HController HC, HNodeObject HNO, const char* first, int minLen, const char* before,
                         const char* after)
{
    emitLine(first);
    int len = GetNodeNameLen(HC, HNO);
    if (len < minLen) { /* negative: E_INVALID, E_FAILURE or any other code */
        return;
    }
    bool copied = false;
    char* name = fetchNodeName(HC, HNO, len, &copied);
    if (!name) {
        return;
    }
    if (copied) {
        printf("%s%s%s", before, name, after);
        fflush(stdout);
    } else {
        emitLine("Could not get nodename");
    }
    free(name);
}

/* Shared body of the watch handlers: "Watch<which>: name = value \n". */
void printWatchedValue(HController HC, HNodeObject HNO, int which)
{
    int len = GetNodeValueStringLen(HC, HNO);
    if (len < 0) {
        emitLine("ERROR: Could not get length of string in callback!");
        return;
    }
    /* The value may have grown since its length was asked: leave 1024 bytes of slack. */
    int size = 0;
    char* value = allocText(len, 1024 + 1, &size);
    if (!value) {
        return;
    }
    if (GetNodeValueString(HC, HNO, value, size) != 0) {
        emitLine("ERROR: Could not print value of var in callback!");
        free(value);
        return;
    }
    terminate(value, size);
    int nameLen = GetNodeNameLen(HC, HNO);
    if (nameLen >= 0) {
        bool copied = false;
        char* name = fetchNodeName(HC, HNO, nameLen, &copied);
        if (name) {
            if (copied) {
                printf("Watch%d: %s = %s \n", which, name, value);
                fflush(stdout);
            } else {
                emitLine("ERROR: Could not get node name in var callback!");
            }
            free(name);
        }
    }
    free(value);
}

/* Status part of a device line: driver right-aligned in 15, then the status text. */
void printDeviceStatus(const XAL_SINGLEDEVICEINFO* dev)
{
    const char* status = textOf(dev->stat_str);
    if (status[0] == '\0') {
        printf("%15s   inactive\n", textOf(dev->driver));
    } else {
        printf("%15s   %s\n", textOf(dev->driver), status);
    }
    fflush(stdout);
}

void printTopLevelDevice(const XAL_SINGLEDEVICEINFO* dev)
{
    printf(" * %-15s ", textOf(dev->name));
    fflush(stdout);
    printDeviceStatus(dev);
}

const XAL_SINGLEDEVICEINFO* deviceAt(const XAL_DEVICEINFO* info, int i)
{
    return info->device ? info->device[i] : nullptr;
}

/* Report rows of printPLCStates, in report order (not bit order). */
struct PlcStateLine {
    int bit;
    const char* line;
};

const PlcStateLine kPlcStateLines[] = {
    {PLC_DEVICES_READY, "\t devices ready"},
    {PLC_JOB_READY, "\t job ready"},
    {PLC_JOB_ACTIVE, "\t job active"},
    {PLC_JOB_COMPLETED, "\t job completed"},
    {PLC_JOB_FAILED, "\t job failed"},
    {PLC_DEVICES_FAILURE, "\t devices failure"},
    {PLC_DEVICES_AWAKE, "\t devices awake"},
    {PLC_DEVICES_SETUP, "\t devices setup"},
    {PLC_SYS_SAFE, "\t sys safe"},
    {PLC_JOB_PAUSED, "\t job paused"},
    {PLC_JOB_PILOTED, "\t job piloted"},
    {PLC_JOB_PRELOADED, "\t job reloading"},
    {PLC_JOB_STOPPING, "\t job stopping"},
    {PLC_READY_FOR_POWER_OFF, "\t ready for power off"},
    {PLC_SYSTEM_READY, "\t system ready"},
    {PLC_ATTENTION, "\t attention"},
    {PLC_SYS_SAFE_REQUEST, "\t system safe request"},
    {PLC_JOB_PRELOAD, "\t job preload"},
};

} // namespace

/* ---- Variable read and report ------------------------------------------- */

int readVar(HController HC, char* nodeName, char** str)
{
    (void)str; /* part of the helpers' common shape; never touched */

    HNodeObject hno = GetNode(HC, nodeName);
    if (hno == -1) {
        return E_FAILURE;
    }
    ReadNode(HC, hno);
    XAL_NODEINFO* info = GetNodeInfo(HC, hno);
    if (!info) {
        /* No record, no report: an empty report is a failure, not a success. */
        return E_FAILURE;
    }
    /* Looked up before anything is printed. */
    HNodeObject parent = GetParentNode(HC, info->handle);

    printf("Nodename: %s\n", textOf(info->fullname));
    fflush(stdout);
    printf("Path:     %s\n", textOf(info->path));
    fflush(stdout);
    printf("Name:     %s\n", textOf(info->name));
    fflush(stdout);
    printf("Handle:   %ld\n", static_cast<long>(info->handle));
    fflush(stdout);
    printf("NodeId:   %lld\n", static_cast<long long>(info->nodeid));
    fflush(stdout);
    printf("Type:     %i (%s)\n", static_cast<int>(info->type), textOf(info->typestring));
    fflush(stdout);
    if (info->type == VT_BIN) {
        printBinaryValue(HC, hno);
    } else {
        printf("Value:    %s\n", textOf(info->value));
        fflush(stdout);
    }
    printf("Priv:     %s\n", textOf(info->priv));
    fflush(stdout);
    printf("Unit:     %s\n", textOf(info->unit));
    fflush(stdout);
    printf("Min:      %f\n", static_cast<double>(info->min));
    fflush(stdout);
    printf("Max:      %f\n", static_cast<double>(info->max));
    fflush(stdout);
    printf("Index:    %i\n", static_cast<int>(info->index)); /* top bit set prints negative */
    fflush(stdout);
    DestroyNodeInfo(info);

    if (parent != -1) {
        ReadNode(HC, parent);
        XAL_NODEINFO* pinfo = GetNodeInfo(HC, parent);
        if (pinfo) {
            printf("Parent:   %s\n", textOf(pinfo->fullname));
            fflush(stdout);
            DestroyNodeInfo(pinfo);
        }
    }
    return E_OK;
}

void hexdump(const void* data, int bytes)
{
    if (!data) {
        return;
    }
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (int start = 0; start < bytes; start += 16) {
        int l = std::min(bytes - start, 16);
        for (int j = 0; j < 16; ++j) {
            if (j < l) {
                printf("%02X ", static_cast<unsigned int>(p[start + j]));
            } else {
                printf("   ");
            }
            fflush(stdout);
            if (j == 7) {
                emitChar(' ');
            }
        }
        emitChar(' ');
        for (int j = 0; j < l; ++j) {
            unsigned char c = p[start + j];
            emitChar(c >= 0x20 && c <= 0x7E ? c : '.');
            if (j == 7) {
                emitChar(' ');
            }
        }
        emitChar('\n');
    }
}

/* ---- Variable access helpers --------------------------------------------- */

int readStr(HController HC, const char* nodeName, char** str)
{
    HNodeObject hno = GetNode(HC, nodeName);
    if (hno == -1) {
        return E_FAILURE;
    }
    ReadNode(HC, hno);
    int len = GetNodeValueStringLen(HC, hno);
    if (len < 0) { /* E_INVALID, E_FAILURE or any other code */
        return E_FAILURE;
    }
    int size = 0;
    char* buf = allocText(len, 1, &size);
    *str = buf; /* the caller's from here on, also when the copy fails */
    if (!buf) {
        return E_FAILURE;
    }
    if (GetNodeValueString(HC, hno, buf, size) != 0) {
        return E_FAILURE;
    }
    terminate(buf, size);
    return E_OK;
}

int readIp(HController HC, char** ip)
{
    return readStr(HC, "sys.BoardAddr", ip) == E_OK ? E_OK : E_FAILURE;
}

int setVar(HController HC, char* nodeName, char* val)
{
    HNodeObject hno = GetNode(HC, nodeName);
    if (hno == -1) {
        return E_FAILURE;
    }
    ReadNode(HC, hno);
    int rc = SetNodeValueString(HC, hno, val);
    if (rc != 0) {
        return rc;
    }
    return WriteNodeSync(HC, hno);
}

int createVar(HController HC, char* nodeName, char* nodetype)
{
    return CreateJobNodeOnController(HC, nodeName, nodetype, 0);
}

int deleteVar(HController HC, char* nodeName)
{
    HNodeObject hno = GetNode(HC, nodeName);
    if (hno == -1) {
        return E_FAILURE;
    }
    return DeleteSingleNodeOnController(HC, hno);
}

int renameVar(HController HC, char* nodeName, char* str)
{
    /* An unknown name gives -1, for which ReadNode fails. */
    HNodeObject hno = GetNode(HC, nodeName);
    if (ReadNode(HC, hno) != 0) {
        return E_FAILURE;
    }
    return RenameNode(HC, hno, str);
}

int MoveTree(HController HC, char* nodename, char* target, char* index)
{
    HNodeObject node = GetNode(HC, nodename);
    if (node == -1) {
        emitLine("Node not found");
        return E_FAILURE;
    }
    HNodeObject parent = GetNode(HC, target);
    if (parent == -1) {
        emitLine("Target not found");
        return E_FAILURE;
    }
    /* strtol saturates at the range of long; clamp to int so that a 64-bit
     * host passes the same position as the 32-bit target. */
    long pos = strtol(textOf(index), nullptr, 10);
    pos = std::max<long>(INT_MIN, std::min<long>(INT_MAX, pos));
    return MoveSubtree(HC, node, parent, static_cast<int>(pos));
}

/* ---- Subnode listing ------------------------------------------------------ */

int varSubnodes(HController HC, const char* nodename)
{
    HNodeObjectCollection coll = CreateNodeObjectCollection(HC);
    if (coll == -1) {
        emitLine("Could not create NodeObjectCollection");
        return 0;
    }
    HNodeObject hno = GetNode(HC, nodename);
    if (hno == -1) {
        printf("Could not find %s\n", textOf(nodename));
        fflush(stdout);
        DestroyNodeObjectCollection(HC, coll);
        return 0;
    }
    if (GetSubnodes(HC, hno, coll) != 0) {
        DestroyNodeObjectCollection(HC, coll);
        emitLine("Could not get subnodes");
        return 0;
    }
    int count = 0;
    if (GetNodeObjectCount(HC, coll, &count) != 0) {
        DestroyNodeObjectCollection(HC, coll);
        emitLine("\t ERROR getting Count");
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        HNodeObject entry = -1;
        if (GetNodeObjectAtIndex(HC, coll, i, &entry) != 0) {
            DestroyNodeObjectCollection(HC, coll);
            emitLine("Error getting NodeObject");
            return 0;
        }
        int len = GetNodeNameLen(HC, entry);
        if (len < 0) {
            continue;
        }
        bool copied = false;
        char* name = fetchNodeName(HC, entry, len, &copied);
        if (!name) {
            continue;
        }
        if (copied) {
            printf("% 3i: %s (%ld)\n", i + 1, name, static_cast<long>(entry));
            fflush(stdout);
        }
        free(name);
    }
    DestroyNodeObjectCollection(HC, coll);
    return 0;
}

/* ---- Job helpers --------------------------------------------------------- */

int selectJobByNum(HController HC, int jobnum)
{
    int len = 0;
    if (GetJobNamesLen(HC, &len) != 0 || len < 0) {
        return E_FAILURE;
    }
    int size = 0;
    char* names = allocText(len, 1, &size);
    if (!names) {
        return E_FAILURE;
    }
    int result = E_FAILURE; /* stays so when no name has the position */
    if (GetJobNames(HC, names, size) == 0) {
        terminate(names, size);
        /* strtok rules: runs of ";" count as one and empty names take no position. */
        char* save = nullptr;
        int pos = 0;
        for (char* name = strtok_r(names, ";", &save); name; name = strtok_r(nullptr, ";", &save), ++pos) {
            if (pos != jobnum) {
                continue;
            }
            HNodeObject job = GetNode(HC, name); /* a failed lookup shows as a refused selection */
            if (SelectNode(HC, job) != 0) {
                emitLine("ERROR: SelectNode failed");
            } else {
                result = E_OK;
            }
            break;
        }
    }
    free(names);
    return result;
}

int print_jobs(HController HC)
{
    XAL_JOBINFO* info = GetJobInfo(HC);
    if (!info) {
        return E_FAILURE;
    }
    if (info->jobcount == 0) {
        emitLine("No jobs on the controller.");
        DestroyJobInfo(info);
        return E_OK;
    }
    if (info->jobcount == 1) {
        printf("%i job on the controller:\n", static_cast<int>(info->jobcount));
    } else {
        printf("%i jobs on the controller:\n", static_cast<int>(info->jobcount));
    }
    fflush(stdout);

    const char* selected = textOf(info->selectednode);
    bool marked = false;
    for (int i = 0; i < info->jobcount; ++i) {
        /* A job whose full name is missing can't be the selected one. */
        const char* full = entryOf(info->fulljobnames, i);
        const char* name = textOf(entryOf(info->jobnames, i));
        if (full && strcmp(full, selected) == 0) {
            printf("\t*%i: %s\n", i, name);
            marked = true;
        } else {
            printf("\t %i: %s\n", i, name);
        }
        fflush(stdout);
    }
    if (!marked && selected[0] != '\0') {
        printf("\t Other node selected: %s\n", selected);
        fflush(stdout);
    }
    DestroyJobInfo(info);
    return E_OK;
}

int print_jobnodetypes(HController HC)
{
    int count = 0;
    if (GetJobNodeTypesCount(HC, &count) != 0) {
        emitLine("Failure getting the count of the JobNodeTypes");
        return E_FAILURE;
    }
    for (int i = 0; i < count; ++i) {
        /* These records stay the library's: nothing to give back. */
        const XAL_JOBNODEINFO* type = GetJobNodeTypeInfo(HC, i);
        if (!type) {
            continue;
        }
        emitLine("+-------------------+-----------------+---------------------------------------------------+");
        printf("| %-23s", textOf(type->fullname));
        fflush(stdout);
        printf("%s", type->usercreatable ? " | usercreatable" : " |              ");
        fflush(stdout);
        printf("%s", type->canmakelines ? " | canmakelines" : " |             ");
        fflush(stdout);
        printf("%s", type->canpasslines ? " | canpasslines" : " |             ");
        fflush(stdout);
        printf("%s", type->acceptssubnodes ? " | acceptssubnodes |" : " |                 |");
        fflush(stdout);
        emitChar('\n');
    }
    emitLine("+-----------------------------------------------------------------------------------------+");
    return E_OK;
}

/* ---- PLC state report ---------------------------------------------------- */

int cbs(unsigned int* fld, int bitnum)
{
    if (!fld || bitnum < 0 || bitnum > 31) {
        return E_FAILURE;
    }
    unsigned int bit = 1u << bitnum;
    if ((*fld & bit) == 0) {
        return E_FAILURE;
    }
    *fld &= ~bit;
    return E_OK;
}

void printPLCStates(unsigned int state)
{
    unsigned int rest = state;
    for (const PlcStateLine& row : kPlcStateLines) {
        if (cbs(&rest, row.bit) == E_OK) {
            emitLine(row.line);
        }
    }
    if (rest != 0) { /* bits 18..31 name no state */
        emitLine("\t ERROR unknown PLCState detected!");
    }
}

void getnPrintPLCStates(HController HC)
{
    unsigned int state = 0;
    unsigned int dummy = 0;
    if (GetPLCState(HC, &state, &dummy) != 0) {
        emitLine("ERROR: Could not GetPLCState!");
        return;
    }
    printPLCStates(state);
}

int PLCCallback(HController HC, unsigned int value, unsigned int reserved)
{
    (void)HC;
    (void)reserved;
    /* Runs on a library thread: localtime_r shares no buffer with other threads. */
    time_t now = time(nullptr);
    struct tm local;
    memset(&local, 0, sizeof local);
    if (!localtime_r(&now, &local)) {
        memset(&local, 0, sizeof local);
    }
    printf("\n**** %d:%d:%d   PLC-State\n", local.tm_hour, local.tm_min, local.tm_sec);
    fflush(stdout);
    printPLCStates(value);
    emitLine("****");
    return 0;
}

/* ---- Device and driver reports ------------------------------------------- */

int print_driverinfo(HController HC)
{
    XAL_DRIVERINFO* info = GetDriverInfo(HC);
    if (!info) {
        return E_FAILURE;
    }
    emitLine("\n");
    printf("Found %i drivers\n", static_cast<int>(info->drivercount));
    fflush(stdout);
    for (int i = 0; i < info->drivercount; ++i) {
        const XAL_SINGLEDRIVERINFO* drv = info->driver ? info->driver[i] : nullptr;
        if (!drv) {
            continue;
        }
        printf("Driver: %s (Version: %s)\n", textOf(drv->name), textOf(drv->version));
        fflush(stdout);
        printf("Vendor: %s\n", textOf(drv->vendor));
        fflush(stdout);
        printf("Comment: %s\n", textOf(drv->comment));
        fflush(stdout);
        emitChar('\n');
    }
    DestroyDriverInfo(info);
    return E_OK;
}

int print_deviceinfo(HController HC)
{
    XAL_DEVICEINFO* info = GetAllDeviceInfo(HC);
    if (!info) {
        return E_FAILURE;
    }
    /* Stand-alone devices first. */
    for (int i = 0; i < info->devicecount; ++i) {
        const XAL_SINGLEDEVICEINFO* dev = deviceAt(info, i);
        if (dev && dev->dependsoncount == 0 && dev->dependenciescount == 0) {
            printTopLevelDevice(dev);
        }
    }
    /* Then each device with dependencies, with a nested line per dependency name. */
    for (int i = 0; i < info->devicecount; ++i) {
        const XAL_SINGLEDEVICEINFO* dev = deviceAt(info, i);
        if (!dev || dev->dependenciescount <= 0) {
            continue;
        }
        printTopLevelDevice(dev);
        if (!dev->dependencies) {
            continue;
        }
        for (int j = 0; j < dev->dependenciescount; ++j) {
            const char* depName = textOf(dev->dependencies[j]);
            printf("   * %-13s ", depName);
            fflush(stdout);
            bool matched = false;
            for (int k = 0; k < info->devicecount; ++k) {
                const XAL_SINGLEDEVICEINFO* other = deviceAt(info, k);
                if (other && strcmp(textOf(other->name), depName) == 0) {
                    printDeviceStatus(other);
                    matched = true;
                }
            }
            /* A name of no listed device still ends its line, so the next one doesn't run on. */
            if (!matched) {
                emitChar('\n');
            }
        }
    }
    DestroyDeviceInfo(info);
    return E_OK;
}

/* ---- Event handlers ------------------------------------------------------ */

int ErrorCallback(int errorcode, const char* description, HController HC)
{
    (void)HC;
    printf("ERROR: %i %s\n", errorcode, textOf(description));
    fflush(stdout);
    return 0;
}

int OnSystemMessageCallback(HSysMsg HSM, void* userpointer)
{
    (void)userpointer;
    int len = GetSystemMessageXMLLen(HSM);
    if (len <= 0) {
        return 0;
    }
    int size = 0;
    char* text = allocText(len, 1, &size);
    if (!text) {
        return 0;
    }
    if (GetSystemMessageXML(HSM, text, size) == 0) {
        terminate(text, size);
        emitLine("SysMessage:");
        emitLine("+++++++++++:");
        printf("%s", text);
        fflush(stdout);
    }
    free(text);
    return 0;
}

int NodeCreatedCallback(HController HC, const char* varname)
{
    HNodeObject hno = GetNode(HC, varname);
    printf("Tessaro: Node Created %s (HNO: %ld)\n", textOf(varname), static_cast<long>(hno));
    fflush(stdout);
    if (hno == -1) {
        emitLine("Invalid Handle");
        return -1;
    }
    return 0;
}

int rename_callback(HController HC, HNodeObject HNO)
{
    /* A name of length 0 still gives the success line, with the empty name. */
    printNamedNodeEvent(HC, HNO, "RENAMECALLBACK", 0, "Renamed: ", "\n");
    return 0;
}

int delete_callback(HController HC, HNodeObject HNO)
{
    printNamedNodeEvent(HC, HNO, "Delete Callback", 1, "Deletecallback: ", " deleted\n");
    return 0;
}

int watch_callback1(HController HC, HNodeObject HNO, void* userpointer)
{
    emitLine(userpointer ? "Userpointer passt nicht" : "Userpointer passt ");
    printWatchedValue(HC, HNO, 1);
    return 0;
}

int watch_callback2(HController HC, HNodeObject HNO)
{
    printWatchedValue(HC, HNO, 2);
    return 0;
}

int on_nodemodified(HController HC, HNodeObject HNO, void* userpointer, int reserved)
{
    (void)userpointer;
    (void)reserved;
    XAL_NODEINFO* info = GetNodeInfo(HC, HNO);
    if (info) {
        printf("NodeModified: %s\n", textOf(info->fullname));
        fflush(stdout);
        DestroyNodeInfo(info);
    }
    return 0;
}

int NodeMovedCallback(HController HC, HNodeObject HNO, HNodeObject HNOoldparent, HNodeObject HNOnewparent,
                      void* userpointer)
{
    if (userpointer) {
        emitLine("Userpointer has wrong value. Should be NULL.");
    }
    if (HNO == -1) {
        emitLine("HNO is invalid");
    } else {
        printMovedNode(HC, HNO, "");
    }

    if (HNOoldparent == HNOnewparent) {
        if (HNOoldparent == -1) {
            emitLine("HNOoldparent and HNOnewparent are invalid");
            return 0;
        }
        /* Same parent: only the position changed. */
        XAL_NODEINFO* info = GetNodeInfo(HC, HNO);
        if (info) {
            printf("NodeMoved: %s\n", textOf(info->name));
            fflush(stdout);
            printf("Index changed to: %i\n", static_cast<int>(info->index));
            fflush(stdout);
            DestroyNodeInfo(info);
        }
        return 0;
    }

    if (HNOoldparent == -1) {
        emitLine("HNOoldparent is invalid");
    } else {
        printMovedNode(HC, HNOoldparent, "OldParent ");
    }
    if (HNOnewparent == -1) {
        emitLine("HNOnewparent is invalid");
    } else {
        printMovedNode(HC, HNOnewparent, "NewParent ");
    }
    return 0;
}

int on_requestlog(HController HC, const char* entry, void* userpointer)
{
    (void)HC;
    (void)entry;
    (void)userpointer;
    return 0;
}

int on_log(XAL_LOG_LEVEL level, const char* datetime, const char* msg, void* userpointer)
{
    (void)level;
    (void)userpointer;
    printf("%s -> %s\n", textOf(datetime), textOf(msg));
    fflush(stdout);
    return 0;
}

int state_callback(HController HC, HNodeObject HNO, int newstate, int oldstate, int err, void* up)
{
    (void)HC;
    (void)HNO;
    (void)newstate;
    (void)oldstate;
    (void)err;
    (void)up;
    return 0;
}

int on_devicecreate(HController HC, HDevice HD, void* userpointer)
{
    (void)userpointer;
    printDeviceLine(HC, HD, "New Device: ");
    return 0;
}

int on_devicedelete(HController HC, HDevice HD, void* userpointer)
{
    (void)userpointer;
    printDeviceLine(HC, HD, "Device Deleted: ");
    return 0;
}

int on_deviceactivated(HController HC, HDevice HD, void* userpointer)
{
    (void)userpointer;
    printDeviceLine(HC, HD, "Device Activated: ");
    return 0;
}

int on_devicedeactivated(HController HC, HDevice HD, void* userpointer)
{
    (void)userpointer;
    printDeviceLine(HC, HD, "Device Deactivated: ");
    return 0;
}

int on_devicedepadded(HController HC, HDevice MainHD, HDevice SubHD, const char* dep, void* userpointer)
{
    (void)userpointer;
    printf(" Device Dep Added (Deps Var: %s)\n", textOf(dep));
    fflush(stdout);
    printDependencyDevices(HC, MainHD, SubHD);
    return 0;
}

int on_devicedepremoved(HController HC, HDevice MainHD, HDevice SubHD, const char* dep, void* userpointer)
{
    (void)userpointer;
    printf(" Device Dep Removed (Deps Var: %s)\n", textOf(dep));
    fflush(stdout);
    printDependencyDevices(HC, MainHD, SubHD);
    return 0;
}
