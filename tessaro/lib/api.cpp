// The C operations of xal_tessaro.h: argument checks that need no controller,
// then one request/reply exchange each, then the reply turned into the
// operation's result. Exactly these functions are exported (libtessaro.map).
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "address.h"
#include "connection.h"
#include "diag_log.h"
#include "dial.h"
#include "protocol/messages.h"
#include "records.h"
#include "registry.h"
#include "rpc.h"
#include "settings.h"
#include "xal_tessaro.h"

using tessaro::proto::Op;
namespace lib = tessaro::lib;
namespace proto = tessaro::proto;

namespace {

// No exception may cross into a C caller; the only ones expected are
// allocation failures.
template <typename R, typename F>
R guarded(const char* op, R fallback, F&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        lib::log_event("%s: %s", op, e.what());
    } catch (...) {
        lib::log_event("%s: unexpected exception", op);
    }
    return fallback;
}

template <typename F>
int int_op(const char* op, F&& body) noexcept {
    return guarded(op, static_cast<int>(E_NOMEM), body);
}

template <typename F>
DWORD handle_op(const char* op, F&& body) noexcept {
    return guarded(op, static_cast<DWORD>(-1), body);
}

template <typename R, typename F>
R* record_op(const char* op, F&& body) noexcept {
    return guarded(op, static_cast<R*>(nullptr), body);
}

// Copies a text reply plus its terminator into the caller's buffer, which the
// controller was told the size of; a reply that still does not fit is refused
// rather than cut short.
int copy_text(lib::Rpc& rpc, char* buffer, int size) {
    std::string text;
    rpc.fields().str(text);
    if (!rpc.decoded()) return rpc.code();
    if (text.size() >= static_cast<size_t>(size)) {
        lib::log_event("hc=%d: a text of %zu bytes came for a buffer of %d", rpc.connection()->handle(),
                       text.size(), size);
        return E_NOSPACE;
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return E_OK;
}

// An i32 out-value that follows a result of 0; written only when it decodes
// and is not negative (a negative count or length would be nonsense).
int int_out(lib::Rpc& rpc, int* out) {
    if (!rpc.run()) return rpc.code();
    if (rpc.result() != 0) return rpc.result();
    int32_t value = 0;
    rpc.fields().i32(value);
    if (!rpc.decoded()) return rpc.code();
    if (value < 0) {
        lib::log_event("hc=%d: negative count %d in a reply", rpc.connection()->handle(), value);
        return E_FAILURE;
    }
    *out = value;
    return E_OK;
}

// A record reply: the record follows a result of 0.
template <typename Value, typename Record>
Record* record_reply(lib::Rpc& rpc) {
    if (!rpc.run() || rpc.result() != 0) return nullptr;
    Value value;
    proto::get(rpc.fields(), value);
    if (!rpc.decoded()) return nullptr;
    Record* rec = lib::records::make(value);
    if (rec == nullptr) lib::log_event("out of memory for a record");
    return rec;
}

}  // namespace

// Default visibility for the definitions below only; the library is built with
// hidden visibility, and libtessaro.map names what is exported.
#pragma GCC visibility push(default)
extern "C" {

/* ---- Connection ---------------------------------------------------------- */

HController DetectRemoteController(const char* address, int port) {
    return handle_op(__func__, [&]() -> DWORD {
        auto start = std::chrono::steady_clock::now();
        auto deadline = start + std::chrono::milliseconds(lib::kConnectBudgetMs);
        std::string text = address != nullptr ? address : "";  // no address: the local controller
        lib::log_event("connecting to '%s' (port %d)", lib::printable(text).c_str(), port);

        lib::Endpoint ep;
        std::string why;
        std::vector<lib::SocketAddress> addrs;
        if (!lib::parse_address(text, port, ep, why)) {
            lib::log_event("connect to '%s' failed: malformed address: %s", lib::printable(text).c_str(),
                           why.c_str());
            return -1;
        }
        if (!lib::resolve(ep, deadline, addrs, why)) {
            lib::log_event("connect to '%s' failed: %s", lib::printable(text).c_str(), why.c_str());
            return -1;
        }
        std::string server;
        int fd = lib::dial(addrs, deadline, server, why);
        if (fd < 0) {
            lib::log_event("connect to '%s' port %u failed: %s", lib::printable(text).c_str(),
                           static_cast<unsigned>(ep.port), why.c_str());
            return -1;
        }
        std::string peer = lib::printable(ep.host) + ":" + std::to_string(ep.port);
        lib::Connection* conn = nullptr;
        try {
            conn = new lib::Connection(fd, lib::call_timeout_ms(), peer);
        } catch (...) {
            ::close(fd);
            throw;
        }
        HController hc = lib::registry::add(conn);
        if (hc < 0) {
            lib::log_event("connect to '%s' failed: cannot start the connection", peer.c_str());
            return -1;
        }
        long ms = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        lib::log_event("hc=%d: connected to %s (controller '%s') in %ld ms", hc, peer.c_str(),
                       lib::printable(server).c_str(), ms);
        return hc;
    });
}

/* ---- Nodes --------------------------------------------------------------- */

HNodeObject GetNode(HController HC, const char* fullname) {
    return handle_op(__func__, [&]() -> DWORD {
        if (fullname == nullptr) return -1;
        lib::Rpc rpc(HC, Op::GetNode);
        rpc.args().str(fullname);
        return rpc.handle_or_none();
    });
}

HNodeObject GetParentNode(HController HC, HNodeObject HNO) {
    return handle_op(__func__, [&]() -> DWORD {
        lib::Rpc rpc(HC, Op::GetParentNode);
        rpc.args().i32(HNO);
        return rpc.handle_or_none();
    });
}

int ReadNode(HController HC, HNodeObject HNO) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(HC, Op::ReadNode);
        rpc.args().i32(HNO);
        return rpc.result_or_code();
    });
}

XAL_NODEINFO* GetNodeInfo(HController HC, HNodeObject HNO) {
    return record_op<XAL_NODEINFO>(__func__, [&]() -> XAL_NODEINFO* {
        lib::Rpc rpc(HC, Op::GetNodeInfo);
        rpc.args().i32(HNO);
        return record_reply<proto::NodeInfo, XAL_NODEINFO>(rpc);
    });
}

int DestroyNodeInfo(XAL_NODEINFO* info) {
    return int_op(__func__, [&]() -> int { return lib::records::destroy(info); });
}

/* ---- Values -------------------------------------------------------------- */

int GetNodeValueStringLen(HController HC, HNodeObject HNO) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(HC, Op::GetNodeValueStringLen);
        rpc.args().i32(HNO);
        return rpc.result_or_code();
    });
}

int GetNodeValueString(HController HC, HNodeObject HNO, char* buffer, int size) {
    return int_op(__func__, [&]() -> int {
        if (buffer == nullptr || size <= 0) return E_INVALID;
        lib::Rpc rpc(HC, Op::GetNodeValueString);
        rpc.args().i32(HNO).i32(size);
        if (!rpc.run()) return rpc.code();
        if (rpc.result() != 0) return rpc.result();
        return copy_text(rpc, buffer, size);
    });
}

int GetNodeValueBinCopyLen(HController HC, HNodeObject HNO) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(HC, Op::GetNodeValueBinCopyLen);
        rpc.args().i32(HNO);
        return rpc.result_or_code();
    });
}

int GetNodeValueBinCopy(HController HC, HNodeObject HNO, void* buffer, int size) {
    return int_op(__func__, [&]() -> int {
        if (buffer == nullptr || size <= 0) return E_INVALID;
        lib::Rpc rpc(HC, Op::GetNodeValueBinCopy);
        rpc.args().i32(HNO).i32(size);
        if (!rpc.run()) return rpc.code();
        if (rpc.result() != 0) return rpc.result();
        std::vector<uint8_t> value;
        rpc.fields().bytes(value);
        if (!rpc.decoded()) return rpc.code();
        // The caller sized the buffer from the length query: a value of any
        // other length (changed since, or a controller sending fewer bytes
        // than asked) is refused, never delivered in part.
        if (value.size() != static_cast<size_t>(size)) {
            lib::log_event("hc=%d: a binary value of %zu bytes came for a buffer of %d", HC, value.size(), size);
            return E_NOSPACE;
        }
        std::memcpy(buffer, value.data(), value.size());
        return E_OK;
    });
}

int SetNodeValueString(HController HC, HNodeObject HNO, const char* value) {
    return int_op(__func__, [&]() -> int {
        if (value == nullptr) return E_INVALID;
        lib::Rpc rpc(HC, Op::SetNodeValueString);
        rpc.args().i32(HNO).str(value);
        return rpc.result_or_code();
    });
}

int WriteNodeSync(HController HC, HNodeObject HNO) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(HC, Op::WriteNodeSync);
        rpc.args().i32(HNO);
        return rpc.result_or_code();
    });
}

/* ---- Names --------------------------------------------------------------- */

int GetNodeNameLen(HController HC, HNodeObject HNO) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(HC, Op::GetNodeNameLen);
        rpc.args().i32(HNO);
        return rpc.result_or_code();
    });
}

int GetNodeName(HController HC, HNodeObject HNO, char* buffer, int size) {
    return int_op(__func__, [&]() -> int {
        if (buffer == nullptr || size <= 0) return E_INVALID;
        lib::Rpc rpc(HC, Op::GetNodeName);
        rpc.args().i32(HNO).i32(size);
        if (!rpc.run()) return rpc.code();
        if (rpc.result() != 0) return rpc.result();
        return copy_text(rpc, buffer, size);
    });
}

/* ---- Tree ---------------------------------------------------------------- */

int CreateNodeOnController(HController HC, const char* fullname, VAR_TYPE type, int reserved) {
    return int_op(__func__, [&]() -> int {
        if (fullname == nullptr) return E_INVALID;
        lib::Rpc rpc(HC, Op::CreateNodeOnController);
        rpc.args().str(fullname).i32(static_cast<int32_t>(type)).i32(reserved);
        return rpc.result_or_code();
    });
}

int CreateJobNodeOnController(HController HC, const char* fullname, const char* nodetype, int reserved) {
    return int_op(__func__, [&]() -> int {
        if (fullname == nullptr || nodetype == nullptr) return E_INVALID;
        lib::Rpc rpc(HC, Op::CreateJobNodeOnController);
        rpc.args().str(fullname).str(nodetype).i32(reserved);
        return rpc.result_or_code();
    });
}

int DeleteSingleNodeOnController(HController HC, HNodeObject HNO) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(HC, Op::DeleteSingleNodeOnController);
        rpc.args().i32(HNO);
        return rpc.result_or_code();
    });
}

int RenameNode(HController HC, HNodeObject HNO, const char* newname) {
    return int_op(__func__, [&]() -> int {
        if (newname == nullptr) return E_INVALID;
        lib::Rpc rpc(HC, Op::RenameNode);
        rpc.args().i32(HNO).str(newname);
        return rpc.result_or_code();
    });
}

int MoveSubtree(HController HC, HNodeObject HNO, HNodeObject newparent, int position) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(HC, Op::MoveSubtree);
        rpc.args().i32(HNO).i32(newparent).i32(position);
        return rpc.result_or_code();
    });
}

/* ---- Collections --------------------------------------------------------- */

HNodeObjectCollection CreateNodeObjectCollection(HController HC) {
    return handle_op(__func__, [&]() -> DWORD {
        lib::Rpc rpc(HC, Op::CreateNodeObjectCollection);
        return rpc.handle_or_none();
    });
}

int GetSubnodes(HController HC, HNodeObject HNO, HNodeObjectCollection collection) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(HC, Op::GetSubnodes);
        rpc.args().i32(HNO).i32(collection);
        return rpc.result_or_code();
    });
}

int GetNodeObjectCount(HController HC, HNodeObjectCollection collection, int* count) {
    return int_op(__func__, [&]() -> int {
        if (count == nullptr) return E_INVALID;
        lib::Rpc rpc(HC, Op::GetNodeObjectCount);
        rpc.args().i32(collection);
        return int_out(rpc, count);
    });
}

int GetNodeObjectAtIndex(HController HC, HNodeObjectCollection collection, int position, HNodeObject* out) {
    return int_op(__func__, [&]() -> int {
        if (out == nullptr) return E_INVALID;
        lib::Rpc rpc(HC, Op::GetNodeObjectAtIndex);
        rpc.args().i32(collection).i32(position);
        if (!rpc.run()) return rpc.code();
        if (rpc.result() != 0) return rpc.result();
        int32_t node = -1;
        rpc.fields().i32(node);
        if (!rpc.decoded()) return rpc.code();
        *out = node;
        return E_OK;
    });
}

int DestroyNodeObjectCollection(HController HC, HNodeObjectCollection collection) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(HC, Op::DestroyNodeObjectCollection);
        rpc.args().i32(collection);
        return rpc.result_or_code();
    });
}

/* ---- Jobs ---------------------------------------------------------------- */

XAL_JOBINFO* GetJobInfo(HController HC) {
    return record_op<XAL_JOBINFO>(__func__, [&]() -> XAL_JOBINFO* {
        lib::Rpc rpc(HC, Op::GetJobInfo);
        return record_reply<proto::JobInfo, XAL_JOBINFO>(rpc);
    });
}

int DestroyJobInfo(XAL_JOBINFO* info) {
    return int_op(__func__, [&]() -> int { return lib::records::destroy(info); });
}

int GetJobNamesLen(HController HC, int* length) {
    return int_op(__func__, [&]() -> int {
        if (length == nullptr) return E_INVALID;
        lib::Rpc rpc(HC, Op::GetJobNamesLen);
        return int_out(rpc, length);
    });
}

int GetJobNames(HController HC, char* buffer, int size) {
    return int_op(__func__, [&]() -> int {
        if (buffer == nullptr || size <= 0) return E_INVALID;
        lib::Rpc rpc(HC, Op::GetJobNames);
        rpc.args().i32(size);
        if (!rpc.run()) return rpc.code();
        if (rpc.result() != 0) return rpc.result();
        return copy_text(rpc, buffer, size);
    });
}

int SelectNode(HController HC, HNodeObject HNO) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(HC, Op::SelectNode);
        rpc.args().i32(HNO);
        return rpc.result_or_code();
    });
}

int JobStart(HController HC) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(HC, Op::JobStart);
        return rpc.result_or_code();
    });
}

int GetJobNodeTypesCount(HController HC, int* count) {
    return int_op(__func__, [&]() -> int {
        if (count == nullptr) return E_INVALID;
        lib::Rpc rpc(HC, Op::GetJobNodeTypesCount);
        return int_out(rpc, count);
    });
}

XAL_JOBNODEINFO* GetJobNodeTypeInfo(HController HC, int position) {
    return record_op<XAL_JOBNODEINFO>(__func__, [&]() -> XAL_JOBNODEINFO* {
        if (position < 0) return nullptr;
        lib::Rpc rpc(HC, Op::GetJobNodeTypeInfo);
        rpc.args().i32(position);
        if (!rpc.run() || rpc.result() != 0) return nullptr;
        proto::JobNodeType value;
        proto::get(rpc.fields(), value);
        if (!rpc.decoded()) return nullptr;
        return lib::records::job_node_type(HC, position, value);
    });
}

/* ---- PLC state ----------------------------------------------------------- */

int GetPLCState(HController HC, unsigned int* state, unsigned int* reserved) {
    return int_op(__func__, [&]() -> int {
        if (state == nullptr || reserved == nullptr) return E_INVALID;
        lib::Rpc rpc(HC, Op::GetPLCState);
        if (!rpc.run()) return rpc.code();
        if (rpc.result() != 0) return rpc.result();
        uint32_t s = 0, r = 0;
        rpc.fields().u32(s);
        rpc.fields().u32(r);
        if (!rpc.decoded()) return rpc.code();
        *state = s;
        *reserved = r;
        return E_OK;
    });
}

int RegisterOnPLCChanged(HController HC, XAL_PLC_CHANGED_CALLBACK handler) {
    return int_op(__func__, [&]() -> int {
        if (handler == nullptr) return E_INVALID;
        lib::Rpc rpc(HC, Op::RegisterOnPLCChanged);
        lib::Connection* conn = rpc.connection();
        if (conn == nullptr) return E_INVALID;
        // Installed before the request goes out, so that no event sent right
        // after the controller's reply can find the connection without it.
        XAL_PLC_CHANGED_CALLBACK previous = conn->set_handler(handler);
        int rc = rpc.result_or_code();
        if (rc != E_OK) conn->restore_handler(handler, previous);
        return rc;
    });
}

int UnregisterOnPLCChanged(HController HC) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(HC, Op::UnregisterOnPLCChanged);
        lib::Connection* conn = rpc.connection();
        if (conn == nullptr) return E_INVALID;
        // Locally first: whatever the controller answers, the handler is not
        // called again once this returns.
        int drained = conn->clear_handler();
        int rc = rpc.result_or_code();
        return rc != E_OK ? rc : drained;
    });
}

/* ---- Devices ------------------------------------------------------------- */

XAL_DRIVERINFO* GetDriverInfo(HController HC) {
    return record_op<XAL_DRIVERINFO>(__func__, [&]() -> XAL_DRIVERINFO* {
        lib::Rpc rpc(HC, Op::GetDriverInfo);
        return record_reply<std::vector<proto::Driver>, XAL_DRIVERINFO>(rpc);
    });
}

XAL_DEVICEINFO* GetAllDeviceInfo(HController HC) {
    return record_op<XAL_DEVICEINFO>(__func__, [&]() -> XAL_DEVICEINFO* {
        lib::Rpc rpc(HC, Op::GetAllDeviceInfo);
        return record_reply<std::vector<proto::Device>, XAL_DEVICEINFO>(rpc);
    });
}

XAL_SINGLEDEVICEINFO* GetDeviceInfo(HController HC, HDevice HD) {
    return record_op<XAL_SINGLEDEVICEINFO>(__func__, [&]() -> XAL_SINGLEDEVICEINFO* {
        lib::Rpc rpc(HC, Op::GetDeviceInfo);
        rpc.args().i32(HD);
        return record_reply<proto::Device, XAL_SINGLEDEVICEINFO>(rpc);
    });
}

int DestroyDriverInfo(XAL_DRIVERINFO* info) {
    return int_op(__func__, [&]() -> int { return lib::records::destroy(info); });
}

int DestroyDeviceInfo(XAL_DEVICEINFO* info) {
    return int_op(__func__, [&]() -> int { return lib::records::destroy(info); });
}

int DestroySingleDeviceInfo(XAL_SINGLEDEVICEINFO* info) {
    return int_op(__func__, [&]() -> int { return lib::records::destroy(info); });
}

/* ---- System messages: on the newest connection still alive --------------- */

int GetSystemMessageXMLLen(HSysMsg HSM) {
    return int_op(__func__, [&]() -> int {
        lib::Rpc rpc(lib::registry::latest_alive(), Op::GetSystemMessageXMLLen);
        rpc.args().i32(HSM);
        return rpc.result_or_code();
    });
}

int GetSystemMessageXML(HSysMsg HSM, char* buffer, int size) {
    return int_op(__func__, [&]() -> int {
        if (buffer == nullptr || size <= 0) return E_INVALID;
        lib::Rpc rpc(lib::registry::latest_alive(), Op::GetSystemMessageXML);
        rpc.args().i32(HSM).i32(size);
        if (!rpc.run()) return rpc.code();
        if (rpc.result() != 0) return rpc.result();
        return copy_text(rpc, buffer, size);
    });
}

}  // extern "C"
#pragma GCC visibility pop
