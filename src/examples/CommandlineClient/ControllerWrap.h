/*
 * ControllerWrap.h - wrapper helpers over the controller access library.
 *
 * Thin operations that read, write, create, rename, delete and move controller
 * variables, list a node's children, select and list jobs and job node types,
 * text reports of devices, drivers and PLC states, and notification handlers
 * with the signatures of the library's callbacks.
 *
 * Every helper writes to standard output only (its error lines included) and
 * flushes standard output after every single write, so its output keeps its
 * place among the writes of other threads and of the standard stream objects.
 * Records fetched from the library go back through the Destroy operation of
 * their family before a helper returns. A text field that the library leaves
 * NULL is shown as the empty text.
 *
 * None of the helpers keeps state between calls; they take no locks.
 */
#ifndef CONTROLLERWRAP_H
#define CONTROLLERWRAP_H

#include "xal_tessaro.h"

/* ---- Variable read and report ------------------------------------------- */

/**
 * Prints everything the library knows about the node `nodeName` as labelled
 * lines: name, path, own name, handle, node id, type, value (a size line and a
 * hex dump for VT_BIN), privileges, unit, limits, index and parent name.
 * `str` is accepted and never read or written.
 * Returns E_FAILURE, having printed nothing, when no node has that name, and
 * E_OK otherwise, even when a later step fails and the report is shorter.
 */
int readVar(HController HC, char* nodeName, char** str);

/**
 * Prints `bytes` bytes from `data` as lines of 16: a hexadecimal column
 * ("%02X " per byte, one extra blank after the eighth, always 49 characters
 * wide), a blank, and a character column (bytes 0x20..0x7E as themselves,
 * others as "."; one blank after the eighth). A count of 0 or less, or a
 * NULL `data`, prints nothing. Exported from the program under this exact C++ signature.
 */
void hexdump(const void* data, int bytes);

/* ---- Variable access helpers --------------------------------------------- */

/**
 * Reads the node's value as text into a buffer allocated with malloc and
 * stored in `*str` before the copy; the caller frees it. Returns E_OK, or
 * E_FAILURE when the node is unknown or its length can't be had (`*str`
 * untouched), when the buffer can't be allocated (`*str` set to NULL), or when
 * the copy fails (`*str` holds the buffer, which the caller frees).
 */
int readStr(HController HC, const char* nodeName, char** str);

/** readStr of "sys.BoardAddr" into `*ip`; E_OK or E_FAILURE. */
int readIp(HController HC, char** ip);

/**
 * Sets the node's value from the text `val` and writes it to the controller.
 * Returns E_FAILURE for an unknown node, the code of a refused
 * SetNodeValueString (then nothing is written), else WriteNodeSync's code.
 */
int setVar(HController HC, char* nodeName, char* val);

/** Creates the job node `nodeName` of the node type `nodetype`; the library's code. */
int createVar(HController HC, char* nodeName, char* nodetype);

/** Deletes the node; E_FAILURE for an unknown node, else the library's code. */
int deleteVar(HController HC, char* nodeName);

/**
 * Gives the node the new name `str`. Returns E_FAILURE when the node can't be
 * read (an unknown name included), else RenameNode's code.
 */
int renameVar(HController HC, char* nodeName, char* str);

/**
 * Moves `nodename` with its subtree under `target` at the position given by
 * the decimal text `index` (strtol rules, base 10; clamped to the int range).
 * Prints "Node not found" or "Target not found" and returns E_FAILURE when a
 * name is unknown (the node is checked first); else MoveSubtree's code.
 */
int MoveTree(HController HC, char* nodename, char* target, char* index);

/* ---- Subnode listing ------------------------------------------------------ */

/**
 * Lists the direct children of `nodename`, one line "% 3i: %s (%ld)\n" each
 * with the position plus one, the name and the handle; an entry whose name
 * can't be had leaves a gap in the numbering. The collection is released
 * exactly once on every path that created it. Returns -1 when the number of
 * children can't be had, 0 in every other case.
 */
int varSubnodes(HController HC, const char* nodename);

/* ---- Job helpers --------------------------------------------------------- */

/**
 * Selects the job at position `jobnum` (from 0) of the ";"-separated job names
 * list; empty names take no position. Returns E_OK, or E_FAILURE when the list
 * can't be had, no name has that position, or the selection is refused (then
 * "ERROR: SelectNode failed" is printed).
 */
int selectJobByNum(HController HC, int jobnum);

/**
 * Prints the job list with the selected job marked by "*" (matched on full
 * names) and, when another node is selected, that node's name. Returns E_OK,
 * or E_FAILURE without output when the library gives no job record.
 */
int print_jobs(HController HC);

/**
 * Prints the job node types as a table of 91-character rows with a closing
 * line. Returns E_OK, or E_FAILURE when the number of types can't be had.
 */
int print_jobnodetypes(HController HC);

/* ---- PLC state report ---------------------------------------------------- */

/**
 * Test-and-clear of bit `bitnum` in `*fld`: E_OK and the bit cleared when it
 * was set; E_FAILURE and the word unchanged when it was clear or when
 * `bitnum` lies outside 0..31.
 */
int cbs(unsigned int* fld, int bitnum);

/**
 * Prints one line per PLC state set in `state`, in report order, then
 * "\t ERROR unknown PLCState detected!" once if any of bits 18..31 is set.
 */
void printPLCStates(unsigned int state);

/**
 * Fetches the controller's PLC state word and prints it as printPLCStates
 * does; prints "ERROR: Could not GetPLCState!" when the query fails.
 */
void getnPrintPLCStates(HController HC);

/**
 * PLC-change notification handler: prints an empty line, a header with the
 * local time as H:M:S without leading zeros, the states of `value` and a
 * closing "****" line. `HC` and `reserved` are unused. Returns 0.
 */
int PLCCallback(HController HC, unsigned int value, unsigned int reserved);

/* ---- Device and driver reports ------------------------------------------- */

/**
 * Prints the controller's drivers with version, vendor and comment. Returns
 * E_OK, or E_FAILURE having printed nothing when the list can't be fetched.
 */
int print_driverinfo(HController HC);

/**
 * Prints the stand-alone devices, then each device with dependencies followed
 * by one nested line per dependency name with the named device's driver and
 * status. Returns E_OK, or E_FAILURE having printed nothing when the list
 * can't be fetched.
 */
int print_deviceinfo(HController HC);

/* ---- Event handlers ------------------------------------------------------
 * Each writes a short account of its event and returns 0 (NodeCreatedCallback
 * returns -1 for a name that does not resolve). Records fetched are given back
 * at once; buffers are freed before returning. */

/** Prints "ERROR: %i %s\n" with the code and the description. */
int ErrorCallback(int errorcode, const char* description, HController HC);

/** Prints "SysMessage:", "+++++++++++:" and the message text (no line end); nothing for an empty message. */
int OnSystemMessageCallback(HSysMsg HSM, void* userpointer);

/** Prints the created line with the resolved handle; "Invalid Handle" and -1 when it does not resolve. */
int NodeCreatedCallback(HController HC, const char* varname);

/** Prints "RENAMECALLBACK" and the node's new name. */
int rename_callback(HController HC, HNodeObject HNO);

/** Prints "Delete Callback" and the deleted node's name. */
int delete_callback(HController HC, HNodeObject HNO);

/** Prints whether `userpointer` is null, then "Watch1: name = value \n". */
int watch_callback1(HController HC, HNodeObject HNO, void* userpointer);

/** Prints "Watch2: name = value \n". */
int watch_callback2(HController HC, HNodeObject HNO);

/** Prints "NodeModified: %s\n" with the node's full name. */
int on_nodemodified(HController HC, HNodeObject HNO, void* userpointer, int reserved);

/**
 * Prints the moved node and either its new index (same parent) or its old and
 * new parents; warns first when `userpointer` is not null.
 */
int NodeMovedCallback(HController HC, HNodeObject HNO, HNodeObject HNOoldparent, HNodeObject HNOnewparent,
                      void* userpointer);

/** Log request: prints nothing. */
int on_requestlog(HController HC, const char* entry, void* userpointer);

/** Prints "%s -> %s\n" with the date/time and the message. */
int on_log(XAL_LOG_LEVEL level, const char* datetime, const char* msg, void* userpointer);

/** Node state change: prints nothing. */
int state_callback(HController HC, HNodeObject HNO, int newstate, int oldstate, int err, void* up);

/** Prints "New Device: name (driver)". */
int on_devicecreate(HController HC, HDevice HD, void* userpointer);

/** Prints "Device Deleted: name (driver)". */
int on_devicedelete(HController HC, HDevice HD, void* userpointer);

/** Prints "Device Activated: name (driver)". */
int on_deviceactivated(HController HC, HDevice HD, void* userpointer);

/** Prints "Device Deactivated: name (driver)". */
int on_devicedeactivated(HController HC, HDevice HD, void* userpointer);

/** Prints the dependency variable, then the main and the sub device. */
int on_devicedepadded(HController HC, HDevice MainHD, HDevice SubHD, const char* dep, void* userpointer);

/** Prints the dependency variable, then the main and the sub device. */
int on_devicedepremoved(HController HC, HDevice MainHD, HDevice SubHD, const char* dep, void* userpointer);

#endif /* CONTROLLERWRAP_H */
