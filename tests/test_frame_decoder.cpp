// The direct frame reader against protobuf's parser: whatever bytes it takes, it must
// make of them what parsing them with protobuf makes.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/framebuffer.h"
#include "platform/framedecoder.h"
#include "platform/frameencoder.h"
#include "platform/wirecodec.h"

using namespace Platform;

namespace {

// What the socket transport makes of a frame that the direct reader leaves alone.
struct Outcome {
    bool parsed = false;  // false: the frame is refused
    // A refused frame's message was at fault, not its encoding: protobuf parsed it.
    bool messageRefused = false;
    Wire::DecodedFrame frame;
};

Outcome viaProtobuf(const std::string& bytes) {
    Outcome out;
    tarvik::wire::Frame frame;
    if (!frame.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) return out;
    try {
        auto decoded = Wire::fromParsedFrame(frame, nullptr);
        if (!decoded) return out;
        out.frame = std::move(*decoded);
    } catch (const hresult_error&) {
        out.messageRefused = true;
        return out;
    }
    out.parsed = true;
    return out;
}

// nullopt: left to protobuf. A value with parsed false: refused (it threw).
std::optional<Outcome> direct(const std::string& bytes) {
    Wire::KeyCache keys;
    try {
        auto decoded = Wire::decodeCommonFrame(bytes.data(), bytes.size(), &keys);
        if (!decoded) return std::nullopt;
        return Outcome{true, false, std::move(*decoded)};
    } catch (const hresult_error&) {
        return Outcome{false, true, {}};
    }
}

bool sameMessage(const ValueSet& a, const ValueSet& b) {
    if (!a || !b) return !a && !b;
    return a.equals(b);
}

// Fails the test when the direct reader took the bytes and made something else of them.
bool agrees(const std::string& bytes) {
    const auto fast = direct(bytes);
    if (!fast) return true;
    const Outcome slow = viaProtobuf(bytes);
    if (fast->parsed != slow.parsed) {
        ADD_FAILURE() << "direct " << (fast->parsed ? "took" : "refused") << " what protobuf "
                      << (slow.parsed ? "took" : "refused");
        return false;
    }
    if (!fast->parsed) {
        // Refused for its message only where protobuf parsed the frame and refused it
        // for the same reason, not for bytes protobuf cannot read at all.
        EXPECT_TRUE(slow.messageRefused) << "direct refused a message that protobuf never read";
        return slow.messageRefused;
    }
    const auto& f = fast->frame;
    const auto& s = slow.frame;
    const bool same = f.kind == s.kind && f.sequence == s.sequence && f.status == s.status &&
                      sameMessage(f.message, s.message);
    EXPECT_TRUE(same) << "the two readers disagree on a frame of " << bytes.size() << " bytes";
    return same;
}

std::string body(const std::optional<std::string>& framed) {
    return framed->substr(Wire::kLengthPrefixSize);
}

ValueSet asciiTypes() {
    ValueSet v;
    v.Insert(L"i32", int32_t{-1});
    v.Insert(L"u32", uint32_t{4000000000u});
    v.Insert(L"i64", int64_t{-9000000000});
    v.Insert(L"u64", uint64_t{18446744073709551615ull});
    v.Insert(L"b", true);
    v.Insert(L"f", false);
    v.Insert(L"s", hstring(L"text"));
    v.Insert(L"e", hstring(L""));
    v.Insert(L"null", PropertyValue());
    v.Insert(L"", int32_t{7});  // the empty key is left out of the entry
    v.Insert(L"zero", uint64_t{0});
    return v;
}

std::vector<std::string> sampleFrames() {
    const ValueSet many;
    for (int i = 0; i < 40; ++i) many.Insert(L"k" + std::to_wstring(i), int64_t{i} * -7);
    const ValueSet empty;
    const ValueSet none = nullptr;
    std::vector<std::string> frames;
    std::size_t size = 0;
    for (const ValueSet* m : {&many, &empty, &none}) {
        frames.push_back(body(Wire::encodeRequest(300, *m, size)));
        frames.push_back(body(Wire::encodeResponse(~uint64_t{0}, 1, *m, size)));
    }
    const ValueSet ascii = asciiTypes();
    frames.push_back(body(Wire::encodeRequest(0, ascii, size)));
    frames.push_back(body(Wire::encodeResponse(5, -1, ascii, size)));
    return frames;
}

}  // namespace

TEST(FrameDecoder, ReadsWhatTheEncoderWritesAsProtobufDoes) {
    const ValueSet ascii = asciiTypes();
    const ValueSet none = nullptr;
    std::size_t size = 0;
    for (uint64_t seq : {uint64_t{0}, uint64_t{1}, uint64_t{300}, ~uint64_t{0}}) {
        for (const ValueSet* m : {&ascii, &none}) {
            const std::string request = body(Wire::encodeRequest(seq, *m, size));
            ASSERT_TRUE(direct(request).has_value()) << "a common request went the slow way";
            EXPECT_TRUE(agrees(request));
            for (int32_t status : {0, 1, -1, 5, 2147483647}) {
                const std::string response = body(Wire::encodeResponse(seq, status, *m, size));
                ASSERT_TRUE(direct(response).has_value());
                EXPECT_TRUE(agrees(response));
            }
        }
    }
    // A request without a message reads as an empty one, a response without one as null.
    const auto request = direct(body(Wire::encodeRequest(9, none, size)));
    ASSERT_TRUE(request && request->parsed && request->frame.message);
    EXPECT_EQ(request->frame.message.Size(), 0u);
    const auto response = direct(body(Wire::encodeResponse(9, 0, none, size)));
    ASSERT_TRUE(response && response->parsed);
    EXPECT_FALSE(response->frame.message);
}

TEST(FrameDecoder, LeavesOtherFramesToProtobuf) {
    std::size_t size = 0;
    ValueSet wide;
    wide.Insert(L"s", hstring(L"caf\u00e9"));
    EXPECT_FALSE(direct(body(Wire::encodeRequest(1, wide, size))));
    ValueSet wideKey;
    wideKey.Insert(L"k\u00fc", int32_t{1});
    EXPECT_FALSE(direct(body(Wire::encodeResponse(1, 0, wideKey, size))));

    tarvik::wire::Frame close;
    close.mutable_close()->set_status(0);
    EXPECT_FALSE(direct(close.SerializeAsString()));
    EXPECT_FALSE(direct(std::string()));

    // A field twice: protobuf keeps the last (or merges), so these take its path.
    const std::string twoSequences = "\x1a\x04\x08\x01\x08\x02";
    EXPECT_FALSE(direct(twoSequences));
    EXPECT_TRUE(viaProtobuf(twoSequences).parsed);
    // An unknown field, which protobuf keeps aside.
    EXPECT_FALSE(direct(std::string("\x1a\x02\x18\x01", 4)));
    // An entry whose value is missing.
    EXPECT_FALSE(direct(std::string("\x1a\x07\x12\x05\x0a\x03\x0a\x01k", 9)));
}

TEST(FrameDecoder, RepeatedKeysAreRefusedOnlyInMessagesThatAreRead) {
    // Two entries "k" = 1: a request with them is refused by both readers alike.
    const std::string entry("\x0a\x07\x0a\x01k\x12\x02\x10\x01", 9);
    const std::string set = entry + entry;
    const std::string request =
        std::string("\x1a") + char(2 + set.size()) + "\x12" + char(set.size()) + set;
    ASSERT_TRUE(direct(request).has_value());
    EXPECT_FALSE(direct(request)->parsed);
    EXPECT_TRUE(agrees(request));
    // The same message followed by a truncated field: protobuf refuses the frame
    // itself, so the direct reader must leave it, not refuse the message first.
    const std::string cut =
        std::string("\x1a") + char(3 + set.size()) + "\x12" + char(set.size()) + set + "\x0a";
    EXPECT_FALSE(direct(cut).has_value());
    EXPECT_FALSE(viaProtobuf(cut).parsed);
    // In a response that says it carries no message, nobody looks at them.
    const std::string response =
        std::string("\x22") + char(2 + set.size()) + "\x22" + char(set.size()) + set;
    ASSERT_TRUE(direct(response).has_value());
    EXPECT_TRUE(direct(response)->parsed);
    EXPECT_TRUE(agrees(response));
}

// Damaged frames: whatever the direct reader takes from them, protobuf must read alike.
TEST(FrameDecoder, DamagedFramesReadAlikeOrGoToProtobuf) {
    const auto frames = sampleFrames();
    std::mt19937 rng(20261209);
    int taken = 0, left = 0, failures = 0;
    for (int round = 0; round < 50000 && failures < 5; ++round) {
        std::string bytes = frames[rng() % frames.size()];
        const int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits && !bytes.empty(); ++e) {
            const std::size_t at = rng() % bytes.size();
            switch (rng() % 4) {
                case 0:
                    bytes[at] = static_cast<char>(rng());
                    break;
                case 1:
                    bytes.resize(at);
                    break;
                case 2:
                    bytes.insert(at, 1, static_cast<char>(rng()));
                    break;
                default:
                    bytes.insert(at, bytes.substr(at, 1 + rng() % 8));
                    break;
            }
        }
        if (direct(bytes))
            ++taken;
        else
            ++left;
        if (!agrees(bytes)) ++failures;
    }
    // Both ways must have been exercised for the comparison to mean anything.
    EXPECT_GT(taken, 500);
    EXPECT_GT(left, 1000);
}

namespace {
std::string prefixed(uint32_t size, std::string_view body) {
    std::string bytes = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                         static_cast<char>(size >> 8), static_cast<char>(size)};
    return bytes.append(body);
}
void feed(Platform::Wire::FrameBuffer& buffer, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto room = buffer.space();
        const std::size_t n = std::min(room.size(), bytes.size());
        std::copy_n(bytes.data(), n, room.data());
        buffer.commit(n);
        bytes.remove_prefix(n);
    }
}
}  // namespace

TEST(FrameBuffer, MemoryFollowsTheBytesThatArrivedNotTheAnnouncedLength) {
    using Platform::Wire::FrameBuffer;
    constexpr std::size_t kChunk = 64 * 1024;
    FrameBuffer buffer(kChunk);
    const uint32_t announced = static_cast<uint32_t>(Platform::Wire::kMaxFrameSize);
    feed(buffer, prefixed(announced, "a few bytes"));
    std::string_view body;
    uint32_t size = 0;
    EXPECT_EQ(buffer.next(body, size), FrameBuffer::Next::Partial);
    EXPECT_LE(buffer.capacity(), kChunk);
    // Half the frame arrives: the buffer is at most about twice that.
    const std::string half(announced / 2, 'h');
    feed(buffer, half);
    EXPECT_LE(buffer.capacity(), 2 * buffer.buffered() + kChunk);
    feed(buffer, std::string(announced - half.size() - 11, 't'));
    EXPECT_LE(buffer.capacity(), std::size_t{announced} + 2 * kChunk);
    // The whole frame, then a small one behind it in the same read.
    feed(buffer, prefixed(3, "abc"));
    ASSERT_EQ(buffer.next(body, size), FrameBuffer::Next::Frame);
    EXPECT_EQ(body.size(), announced);
    EXPECT_EQ(body.substr(0, 11), "a few bytes");
    EXPECT_EQ(body.back(), 't');
    ASSERT_EQ(buffer.next(body, size), FrameBuffer::Next::Frame);
    EXPECT_EQ(body, "abc");
    EXPECT_EQ(buffer.next(body, size), FrameBuffer::Next::Partial);
    buffer.settle();
    EXPECT_LE(buffer.capacity(), 2 * kChunk) << "the large frame's memory was kept";
}

TEST(FrameBuffer, FramesSplitAnywhereComeOutWholeAndTooLargeIsSaid) {
    using Platform::Wire::FrameBuffer;
    FrameBuffer buffer(16);
    const std::string stream =
        prefixed(5, "hello") + prefixed(0, "") + prefixed(40, std::string(40, 'z'));
    std::vector<std::string> frames;
    for (char c : stream) {
        feed(buffer, std::string_view(&c, 1));
        std::string_view body;
        uint32_t size = 0;
        while (buffer.next(body, size) == FrameBuffer::Next::Frame) frames.emplace_back(body);
        buffer.settle();
    }
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], "hello");
    EXPECT_EQ(frames[1], "");
    EXPECT_EQ(frames[2], std::string(40, 'z'));
    feed(buffer, prefixed(static_cast<uint32_t>(Platform::Wire::kMaxFrameSize) + 1, ""));
    std::string_view body;
    uint32_t size = 0;
    EXPECT_EQ(buffer.next(body, size), FrameBuffer::Next::TooLarge);
    EXPECT_EQ(size, Platform::Wire::kMaxFrameSize + 1);
    EXPECT_LE(buffer.capacity(), 16u);
}
