// One library operation as one request/reply exchange with the controller.
//
//   Rpc rpc(hc, Op::GetNodeName);
//   rpc.args().i32(node).i32(size);
//   if (!rpc.run()) return rpc.code();      // no reply: E_INVALID/E_UNAVAIL/E_TIMEOUT
//   if (rpc.result() != 0) return rpc.result();
//   std::string name;
//   rpc.fields().str(name);
//   if (!rpc.decoded()) return rpc.code();  // the reply broke the protocol
#pragma once

#include <optional>
#include <vector>

#include "connection.h"
#include "protocol/messages.h"
#include "protocol/wire.h"
#include "xal_tessaro.h"

namespace tessaro::lib {

class Rpc {
public:
    // Looks the connection up; a handle never issued makes run() fail with
    // E_INVALID, a broken connection with E_UNAVAIL.
    Rpc(HController hc, proto::Op op);
    // For operations without a connection argument: the connection given
    // (nullptr: run() fails with E_UNAVAIL).
    Rpc(Connection* conn, proto::Op op);

    Connection* connection() const { return conn_; }

    // The request's fields, to append to before run().
    wire::Writer& args() { return request_; }

    // Sends the request and waits for the reply. True when a reply came that
    // starts with its result code; false with code() set otherwise.
    bool run();

    int code() const { return code_; }
    int32_t result() const { return result_; }

    // The reply's fields after the result code (only after run() gave true).
    wire::Reader& fields() { return *reader_; }

    // After the fields were read: true when they all decoded. Otherwise the
    // connection is broken, since the peer no longer speaks the protocol, and
    // code() is E_UNAVAIL.
    bool decoded();

    // Shorthands for operations whose whole answer is the result code.
    int result_or_code() { return run() ? result_ : code_; }
    int32_t handle_or_none() { return run() ? result_ : -1; }

private:
    Connection* conn_;
    proto::Op op_;
    int code_;
    uint32_t seq_;
    wire::Writer request_;
    std::vector<uint8_t> reply_;
    std::optional<wire::Reader> reader_;
    int32_t result_ = 0;
};

}  // namespace tessaro::lib
