#include "rpc.h"

#include "diag_log.h"
#include "registry.h"

namespace tessaro::lib {

Rpc::Rpc(HController hc, proto::Op op) : Rpc(registry::find(hc), op) {
    if (conn_ == nullptr) code_ = E_INVALID;
}

Rpc::Rpc(Connection* conn, proto::Op op)
    : conn_(conn),
      op_(op),
      code_(E_UNAVAIL),
      seq_(conn != nullptr ? conn->next_seq() : 0),
      request_(wire::Kind::Request, seq_, static_cast<uint16_t>(op)) {}

bool Rpc::run() {
    if (conn_ == nullptr) return false;
    if (request_.body().size() > wire::kMaxFrame) {
        // The controller would refuse the frame and drop the connection.
        log_event("hc=%d: %s request of %zu bytes exceeds the frame limit", conn_->handle(), proto::op_name(op_),
                  request_.body().size());
        code_ = E_INVALID;
        return false;
    }
    code_ = conn_->call(seq_, op_, request_.frame(), reply_);
    if (code_ != E_OK) return false;
    reader_.emplace(reply_);
    if (!reader_->i32(result_)) {
        decoded();
        return false;
    }
    return true;
}

bool Rpc::decoded() {
    if (reader_ && reader_->ok()) return true;
    conn_->fail(std::string("undecodable reply to ") + proto::op_name(op_));
    code_ = E_UNAVAIL;
    return false;
}

}  // namespace tessaro::lib
