// Wire encoding shared by libtessaro.so and tessaro-sim: frames, typed fields
// and the byte order. Everything on the wire is big-endian, so a cross-built
// client and a native simulator agree whatever their own byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessaro::wire {

constexpr char kMagic[] = "TSRO";            // first field of the handshake
constexpr uint32_t kProtocolVersion = 1;
constexpr uint32_t kMaxFrame = 4u << 20;     // largest body a peer accepts
constexpr size_t kFrameHeader = 4;           // u32 body length

// What a frame carries.
enum class Kind : uint8_t { Request = 1, Reply = 2, Event = 3 };

// Field tags: each field on the wire is its tag byte and then its payload.
enum class Tag : uint8_t {
    I32 = 'i', I64 = 'q', U32 = 'u', F32 = 'f',
    Str = 's', Bytes = 'b', Count = 'n',
};

// Builds one frame body: kind, sequence number, operation, then fields.
class Writer {
public:
    Writer(Kind kind, uint32_t seq, uint16_t op);
    Writer& i32(int32_t v);
    Writer& i64(int64_t v);
    Writer& u32(uint32_t v);
    Writer& f32(float v);
    Writer& str(const std::string& v);
    Writer& bytes(const void* data, size_t len);
    Writer& count(uint32_t n);
    const std::vector<uint8_t>& body() const { return buf_; }
    // The body with its length header in front, ready for the socket.
    std::vector<uint8_t> frame() const;

private:
    void raw32(uint32_t v);
    std::vector<uint8_t> buf_;
};

// Reads one frame body. Every getter checks the tag and the remaining length
// and, on a mismatch, marks the reader failed and leaves its output alone;
// once failed, every later getter fails too, so a caller may read a whole
// message and test ok() once at the end.
class Reader {
public:
    // A body shorter than the fixed part (kind, seq, op) yields a failed reader.
    explicit Reader(const std::vector<uint8_t>& body);
    Reader(const uint8_t* data, size_t len);

    Kind kind() const { return kind_; }
    uint32_t seq() const { return seq_; }
    uint16_t op() const { return op_; }

    bool i32(int32_t& v);
    bool i64(int64_t& v);
    bool u32(uint32_t& v);
    bool f32(float& v);
    bool str(std::string& v);
    bool bytes(std::vector<uint8_t>& v);
    // A list count; refused when the list could not fit in what remains
    // (each entry takes at least `min_entry` bytes), so a hostile count
    // cannot make the caller reserve memory for entries that are not there.
    bool count(uint32_t& n, size_t min_entry = 1);

    bool ok() const { return ok_; }
    bool at_end() const { return ok_ && pos_ == len_; }
    size_t remaining() const { return ok_ ? len_ - pos_ : 0; }

private:
    bool tag(Tag t, size_t payload);
    uint32_t raw32();
    const uint8_t* data_;
    size_t len_;
    size_t pos_ = 0;
    bool ok_ = true;
    Kind kind_ = Kind::Request;
    uint32_t seq_ = 0;
    uint16_t op_ = 0;
};

// Big-endian helpers for the frame header.
void put_be32(uint8_t* p, uint32_t v);
uint32_t get_be32(const uint8_t* p);

}  // namespace tessaro::wire
