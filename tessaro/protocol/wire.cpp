#include "wire.h"

#include <cstring>

namespace tessaro::wire {

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t get_be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

Writer::Writer(Kind kind, uint32_t seq, uint16_t op) {
    buf_.reserve(64);
    buf_.push_back(static_cast<uint8_t>(kind));
    raw32(seq);
    buf_.push_back(static_cast<uint8_t>(op >> 8));
    buf_.push_back(static_cast<uint8_t>(op));
}

void Writer::raw32(uint32_t v) {
    uint8_t b[4];
    put_be32(b, v);
    buf_.insert(buf_.end(), b, b + 4);
}

Writer& Writer::i32(int32_t v) {
    buf_.push_back(static_cast<uint8_t>(Tag::I32));
    raw32(static_cast<uint32_t>(v));
    return *this;
}

Writer& Writer::u32(uint32_t v) {
    buf_.push_back(static_cast<uint8_t>(Tag::U32));
    raw32(v);
    return *this;
}

Writer& Writer::i64(int64_t v) {
    buf_.push_back(static_cast<uint8_t>(Tag::I64));
    uint64_t u = static_cast<uint64_t>(v);
    raw32(static_cast<uint32_t>(u >> 32));
    raw32(static_cast<uint32_t>(u));
    return *this;
}

Writer& Writer::f32(float v) {
    static_assert(sizeof(float) == 4, "IEEE-754 single precision expected");
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    buf_.push_back(static_cast<uint8_t>(Tag::F32));
    raw32(bits);
    return *this;
}

Writer& Writer::str(const std::string& v) {
    buf_.push_back(static_cast<uint8_t>(Tag::Str));
    raw32(static_cast<uint32_t>(v.size()));
    buf_.insert(buf_.end(), v.begin(), v.end());
    return *this;
}

Writer& Writer::bytes(const void* data, size_t len) {
    buf_.push_back(static_cast<uint8_t>(Tag::Bytes));
    raw32(static_cast<uint32_t>(len));
    const uint8_t* p = static_cast<const uint8_t*>(data);
    buf_.insert(buf_.end(), p, p + len);
    return *this;
}

Writer& Writer::count(uint32_t n) {
    buf_.push_back(static_cast<uint8_t>(Tag::Count));
    raw32(n);
    return *this;
}

std::vector<uint8_t> Writer::frame() const {
    std::vector<uint8_t> out(kFrameHeader + buf_.size());
    put_be32(out.data(), static_cast<uint32_t>(buf_.size()));
    std::memcpy(out.data() + kFrameHeader, buf_.data(), buf_.size());
    return out;
}

Reader::Reader(const std::vector<uint8_t>& body) : Reader(body.data(), body.size()) {}

Reader::Reader(const uint8_t* data, size_t len) : data_(data), len_(len) {
    if (len_ < 7) {
        ok_ = false;
        return;
    }
    kind_ = static_cast<Kind>(data_[0]);
    seq_ = get_be32(data_ + 1);
    op_ = static_cast<uint16_t>((data_[5] << 8) | data_[6]);
    pos_ = 7;
}

bool Reader::tag(Tag t, size_t payload) {
    if (!ok_ || len_ - pos_ < 1 + payload || data_[pos_] != static_cast<uint8_t>(t)) {
        ok_ = false;
        return false;
    }
    ++pos_;
    return true;
}

uint32_t Reader::raw32() {
    uint32_t v = get_be32(data_ + pos_);
    pos_ += 4;
    return v;
}

bool Reader::i32(int32_t& v) {
    if (!tag(Tag::I32, 4)) return false;
    v = static_cast<int32_t>(raw32());
    return true;
}

bool Reader::u32(uint32_t& v) {
    if (!tag(Tag::U32, 4)) return false;
    v = raw32();
    return true;
}

bool Reader::i64(int64_t& v) {
    if (!tag(Tag::I64, 8)) return false;
    uint64_t hi = raw32();
    uint64_t lo = raw32();
    v = static_cast<int64_t>((hi << 32) | lo);
    return true;
}

bool Reader::f32(float& v) {
    if (!tag(Tag::F32, 4)) return false;
    uint32_t bits = raw32();
    std::memcpy(&v, &bits, 4);
    return true;
}

bool Reader::str(std::string& v) {
    size_t start = pos_;
    if (!tag(Tag::Str, 4)) return false;
    uint32_t n = raw32();
    if (len_ - pos_ < n) {
        pos_ = start;
        ok_ = false;
        return false;
    }
    v.assign(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return true;
}

bool Reader::bytes(std::vector<uint8_t>& v) {
    size_t start = pos_;
    if (!tag(Tag::Bytes, 4)) return false;
    uint32_t n = raw32();
    if (len_ - pos_ < n) {
        pos_ = start;
        ok_ = false;
        return false;
    }
    v.assign(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return true;
}

bool Reader::count(uint32_t& n, size_t min_entry) {
    size_t start = pos_;
    if (!tag(Tag::Count, 4)) return false;
    uint32_t c = raw32();
    if (min_entry == 0) min_entry = 1;
    if (c > (len_ - pos_) / min_entry) {
        pos_ = start;
        ok_ = false;
        return false;
    }
    n = c;
    return true;
}

}  // namespace tessaro::wire
