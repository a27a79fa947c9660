// Frame I/O over a stream socket: whole frames, refused length headers and
// bounded waits.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "protocol/frame_io.h"
#include "protocol/wire.h"

namespace wire = tessaro::wire;
using wire::IoStatus;

namespace {

class Pair : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd_), 0); }
    void TearDown() override {
        for (int& fd : fd_) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }
    void reopen() {
        TearDown();
        SetUp();
    }
    void close_writer() {
        ::close(fd_[1]);
        fd_[1] = -1;
    }
    void send_bytes(const std::vector<uint8_t>& b) {
        ASSERT_EQ(::send(fd_[1], b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
    }
    int reader() const { return fd_[0]; }
    int writer() const { return fd_[1]; }

    int fd_[2] = {-1, -1};
};

std::vector<uint8_t> header(uint32_t len) {
    std::vector<uint8_t> h(4);
    wire::put_be32(h.data(), len);
    return h;
}

long ms_since(std::chrono::steady_clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
}

}  // namespace

TEST_F(Pair, FramesArriveWholeAndInOrder) {
    wire::Writer a(wire::Kind::Event, 0, 200);
    a.u32(1).u32(2);
    wire::Writer b(wire::Kind::Reply, 9, 10);
    b.i32(-1).str(std::string(5000, 'x'));
    ASSERT_EQ(wire::write_frame(writer(), a.frame(), 1000), IoStatus::Ok);
    ASSERT_EQ(wire::write_frame(writer(), b.frame(), 1000), IoStatus::Ok);
    std::vector<uint8_t> body;
    ASSERT_EQ(wire::read_frame(reader(), body, 1000), IoStatus::Ok);
    EXPECT_EQ(body, a.body());
    ASSERT_EQ(wire::read_frame(reader(), body, 1000), IoStatus::Ok);
    EXPECT_EQ(body, b.body());
}

TEST_F(Pair, LengthHeaderOfZeroOrAboveTheCapIsABadFrame) {
    std::vector<uint8_t> body;
    send_bytes(header(0));
    EXPECT_EQ(wire::read_frame(reader(), body, 1000), IoStatus::BadFrame);
    send_bytes(header(wire::kMaxFrame + 1));
    EXPECT_EQ(wire::read_frame(reader(), body, 1000), IoStatus::BadFrame);
    send_bytes(header(0xffffffffu));
    EXPECT_EQ(wire::read_frame(reader(), body, 1000), IoStatus::BadFrame);
}

TEST_F(Pair, FrameOfExactlyTheCapIsAccepted) {
    std::vector<uint8_t> frame = header(wire::kMaxFrame);
    frame.resize(4 + wire::kMaxFrame, 0x5a);
    std::thread t([&] { EXPECT_EQ(wire::write_frame(writer(), frame, 5000), IoStatus::Ok); });
    std::vector<uint8_t> body;
    EXPECT_EQ(wire::read_frame(reader(), body, 5000), IoStatus::Ok);
    t.join();
    EXPECT_EQ(body.size(), wire::kMaxFrame);
}

TEST_F(Pair, ReadWaitsAreBounded) {
    std::vector<uint8_t> body;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(wire::read_frame(reader(), body, 150), IoStatus::Timeout);
    EXPECT_GE(ms_since(t0), 140);
    EXPECT_LT(ms_since(t0), 1500);

    // A frame that stops halfway times out as well.
    std::vector<uint8_t> partial = header(10);
    partial.push_back(1);
    send_bytes(partial);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(wire::read_frame(reader(), body, 150), IoStatus::Timeout);
    EXPECT_LT(ms_since(t0), 1500);
}

TEST_F(Pair, CloseBetweenFramesIsCleanButInsideAFrameIsAnError) {
    std::vector<uint8_t> body;
    for (const std::vector<uint8_t>& sent : {std::vector<uint8_t>{}, std::vector<uint8_t>{0x00, 0x00},
                                             std::vector<uint8_t>{0x00, 0x00, 0x00, 0x0a, 1, 2, 3}}) {
        reopen();
        if (!sent.empty()) send_bytes(sent);
        close_writer();
        EXPECT_EQ(wire::read_frame(reader(), body, 1000), sent.empty() ? IoStatus::Closed : IoStatus::Error)
            << sent.size() << " bytes sent";
    }
}

TEST_F(Pair, WriteToAPeerThatDoesNotReadTimesOut) {
    std::vector<uint8_t> frame = header(wire::kMaxFrame);
    frame.resize(4 + wire::kMaxFrame);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(wire::write_frame(writer(), frame, 200), IoStatus::Timeout);
    EXPECT_GE(ms_since(t0), 190);
    EXPECT_LT(ms_since(t0), 2000);
}
