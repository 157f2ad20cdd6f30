// The socket transport's own writer and reader: a full socket, a queue at its limit,
// and the reading thread's end.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <vector>

#include "platform/framedio.h"
#include "platform/frameencoder.h"
#include "platform/sockettransport.h"
#include "platform/wirecodec.h"
#include "testsupport.h"

using namespace Platform;
using namespace std::chrono_literals;
using TestSupport::eventually;

namespace {

// Counts what a transport delivers, in order.
struct RecordingSink : AppServiceTransport::Sink {
    std::mutex m;
    std::vector<uint64_t> responses;
    int closes = 0;
    void onRequestFrame(uint64_t, ValueSet) override {}
    void onResponseFrame(uint64_t sequence, AppServiceResponseStatus, ValueSet) override {
        std::lock_guard g(m);
        responses.push_back(sequence);
    }
    void onTransportClosed(AppServiceClosedStatus) override {
        std::lock_guard g(m);
        ++closes;
    }
    std::size_t answered() {
        std::lock_guard g(m);
        return responses.size();
    }
};

void sendAnswer(int fd, uint64_t sequence) {
    std::size_t size = 0;
    const auto bytes = Wire::encodeResponse(sequence, 0, ValueSet(), size);
    ASSERT_TRUE(bytes);
    ASSERT_EQ(::send(fd, bytes->data(), bytes->size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes->size()));
}

}  // namespace

// What the socket does not take is written later by the I/O thread; meanwhile the
// transport still reads what its peer sends, and nothing is lost or reordered.
TEST(SocketTransportWriter, AFullSocketQueuesInOrderAndStillReads) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const int peer = fds[1];
    auto transport = SocketTransport::adopt(fds[0], "writer test");
    ASSERT_TRUE(transport);
    auto sink = std::make_shared<RecordingSink>();
    transport->start(sink);

    ValueSet big;
    big.Insert(L"padding", hstring(std::wstring(1u << 20, L'p')));
    constexpr uint64_t kFrames = 12;
    for (uint64_t seq = 1; seq <= kFrames; ++seq)
        ASSERT_EQ(transport->sendRequest(seq, big), AppServiceResponseStatus::Success);
    // The socket holds far less than 12 MiB, so the rest waits for the I/O thread.
    sendAnswer(peer, 100);
    EXPECT_TRUE(eventually([&] { return sink->answered() == 1; }, 5s))
        << "a transport with a full socket stopped reading";

    std::string error;
    for (uint64_t seq = 1; seq <= kFrames; ++seq) {
        auto frame = FramedIo::readFrame(peer, 5000, error);
        ASSERT_TRUE(frame) << error;
        ASSERT_TRUE(frame->has_request());
        EXPECT_EQ(frame->request().sequence(), seq);
    }
    // With the queue written out the transport still hears the peer.
    sendAnswer(peer, 101);
    EXPECT_TRUE(eventually([&] { return sink->answered() == 2; }, 5s));

    transport->close();
    auto closing = FramedIo::readFrame(peer, 5000, error);
    ASSERT_TRUE(closing) << error;
    EXPECT_TRUE(closing->has_close());
    char b;
    EXPECT_EQ(::recv(peer, &b, 1, 0), 0) << "the socket was not ended after the close frame";
    // The reading thread ends and lets the transport go.
    std::weak_ptr<SocketTransport> gone = transport;
    transport.reset();
    EXPECT_TRUE(eventually([&] { return gone.expired(); }, 5s)) << "the reader never ended";
    std::lock_guard g(sink->m);
    EXPECT_EQ(sink->responses, (std::vector<uint64_t>{100, 101}));
    EXPECT_EQ(sink->closes, 0) << "the own close reached the own sink";
    ::close(peer);
}

// A peer that never reads: past the queue's limit a send is refused, and the peer
// going away ends the transport with everything queued dropped.
TEST(SocketTransportWriter, APeerThatNeverReadsHitsTheQueueLimitAndItsEndIsHeard) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    auto transport = SocketTransport::adopt(fds[0], "stuck test");
    auto sink = std::make_shared<RecordingSink>();
    transport->start(sink);
    ValueSet big;
    big.Insert(L"padding", hstring(std::wstring(15u << 20, L'p')));
    AppServiceResponseStatus last = AppServiceResponseStatus::Success;
    uint64_t seq = 0;
    while (last == AppServiceResponseStatus::Success && seq < 8)
        last = transport->sendRequest(++seq, big);
    EXPECT_EQ(last, AppServiceResponseStatus::ResourceLimitsExceeded);
    // The socket takes a sliver of the first; four frames of 15 MiB fit under 64 MiB.
    EXPECT_EQ(seq, 5u);

    ::close(fds[1]);
    EXPECT_TRUE(eventually(
        [&] {
            std::lock_guard g(sink->m);
            return sink->closes == 1;
        },
        5s));
    EXPECT_EQ(transport->sendRequest(++seq, ValueSet()), AppServiceResponseStatus::Failure);
    std::weak_ptr<SocketTransport> gone = transport;
    transport.reset();
    EXPECT_TRUE(eventually([&] { return gone.expired(); }, 5s));
}

// Peers that announce the largest frame and send a few bytes of it hold the bytes they
// sent, not the size they announced; the heap is counted, not timed.
TEST(SocketTransportReader, AnnouncedLengthsAreNotAllocatedBeforeTheirBytesArrive) {
    constexpr int kPeers = 8;
    const auto heap = [] {
        const auto m = ::mallinfo2();
        return m.uordblks + m.hblkhd;
    };
    const std::size_t before = heap();
    std::vector<std::shared_ptr<SocketTransport>> transports;
    std::vector<int> peers, watches;
    auto sink = std::make_shared<RecordingSink>();
    for (int i = 0; i < kPeers; ++i) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        watches.push_back(::dup(fds[0]));  // to see when the reader has taken the bytes
        transports.push_back(SocketTransport::adopt(fds[0], "announcer"));
        transports.back()->start(sink);
        peers.push_back(fds[1]);
        const uint32_t size = static_cast<uint32_t>(Wire::kMaxFrameSize);
        std::string bytes = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                             static_cast<char>(size >> 8), static_cast<char>(size)};
        bytes += std::string(100, 'x');
        ASSERT_EQ(::send(fds[1], bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    const auto unread = [&] {
        int total = 0;
        for (int fd : watches) {
            int n = 0;
            ::ioctl(fd, FIONREAD, &n);
            total += n;
        }
        return total;
    };
    ASSERT_TRUE(eventually([&] { return unread() == 0; }, 10s));
    const std::size_t held = heap() - std::min(heap(), before);
    EXPECT_LT(held, std::size_t{kPeers} << 20) << "held " << (held >> 20) << " MiB";
    for (auto& t : transports) t->close();
    for (int fd : peers) ::close(fd);
    for (int fd : watches) ::close(fd);
    EXPECT_EQ(sink->answered(), 0u);
}
