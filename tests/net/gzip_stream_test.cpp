// The streaming gzip decoder against members made by zlib.
#include "net/gzip_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/gzip_util.h"
#include "support/log_capture.h"
#include "support/test_data.h"

namespace vr {
namespace {

using test::Gzip;
using test::GzipHeader;
using test::Noise;

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Pieces repeated from 20-32 KiB back, so references cross the decoder's window.
std::string LongReferences(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string out = Noise(40000, seed);
    while (out.size() < size) {
        const size_t from = out.size() - 20000 - rng() % 12700;
        const size_t length = 64 + rng() % 3000;
        for (size_t i = 0; i < length; ++i) out.push_back(out[from + i]);
        out.push_back(static_cast<char>(rng()));
    }
    out.resize(size);
    return out;
}

// Feeds `input` in pieces of `step` bytes; Feed's and Finish's verdict together.
bool Decode(const std::string& input, size_t step, std::string& out) {
    out.clear();
    GzipStream stream([&out](const uint8_t* data, uint64_t size) {
        out.append(reinterpret_cast<const char*>(data), size);
        return true;
    });
    for (size_t at = 0; at < input.size(); at += step) {
        if (!stream.Feed(Bytes(input) + at, std::min(step, input.size() - at))) return false;
    }
    return stream.Finish();
}

TEST(GzipStreamTest, EveryHeaderFieldAnyFeedSizeNoChecksumsAndOnlyTheFirstMember) {
    const std::string data = Noise(3000, 7) + std::string(5000, 'z');
    for (int mask = 0; mask < 16; ++mask) {
        GzipHeader header;
        if (mask & 1) header.extra = std::string("ab\0cd", 5) + std::string(300, 'x');
        if (mask & 2) header.name = "Data/Some File.dat";
        if (mask & 4) header.comment = "made for the decoder test";
        header.headerCrc = (mask & 8) != 0;
        std::string member = Gzip(data, header);
        // Neither the header checksum nor the trailer is verified.
        if (header.headerCrc) member[10 + (mask & 1 ? 307 : 0) + (mask & 2 ? 19 : 0) + (mask & 4 ? 26 : 0)] ^= 0x5A;
        member[member.size() - 3] ^= 0x77;
        for (size_t step : {member.size(), size_t{1}, size_t{11}}) {
            std::string out;
            EXPECT_TRUE(Decode(member + Gzip("second") + "junk", step, out) && out == data) << mask << " " << step;
        }
    }
    const std::string member = Gzip(data);
    std::string out;
    EXPECT_TRUE(Decode(member.substr(0, member.size() - 8), 100, out) && out == data) << "no trailer";
}

TEST(GzipStreamTest, OutputComesInWindowSizedRunsFromOneWindow) {
    for (int level : {0, 9}) {
        const std::string data = LongReferences(300000, 3);
        const std::string member = Gzip(data, level);
        std::string out;
        const uint8_t* lowest = nullptr;
        const uint8_t* highest = nullptr;
        GzipStream stream([&](const uint8_t* d, uint64_t n) {
            lowest = lowest && lowest < d ? lowest : d;
            highest = std::max(highest, d + n);
            out.append(reinterpret_cast<const char*>(d), n);
            return true;
        });
        for (size_t at = 0; at < member.size(); at += 4093)
            ASSERT_TRUE(stream.Feed(Bytes(member) + at, std::min<size_t>(4093, member.size() - at)));
        EXPECT_TRUE(stream.Finish());
        EXPECT_TRUE(out == data) << "level " << level;
        EXPECT_LE(highest - lowest, 32768) << "level " << level;
    }
}

TEST(GzipStreamTest, DamagedStreamsFailAndStayFailed) {
    const test::LogCapture log;
    // A cut anywhere inside the DEFLATE data fails at Finish; what came out is right.
    const std::string data = LongReferences(60000, 5);
    const std::string member = Gzip(data);
    const size_t deflateEnd = member.size() - 8;
    for (size_t cut = 10; cut < deflateEnd; cut += cut < 100 ? 1 : 499) {
        std::string out;
        GzipStream stream([&out](const uint8_t* d, uint64_t n) {
            out.append(reinterpret_cast<const char*>(d), n);
            return true;
        });
        EXPECT_TRUE(stream.Feed(Bytes(member), cut));
        EXPECT_FALSE(stream.Finish()) << cut;
        EXPECT_FALSE(stream.Feed(Bytes(member) + cut, member.size() - cut)) << cut << ": stays failed";
        EXPECT_TRUE(out == data.substr(0, out.size())) << cut;
    }
    EXPECT_TRUE(log.Has("Gzip: inflate failed"));
    std::string out;
    EXPECT_FALSE(Decode(member.substr(0, deflateEnd - 1), 1, out));
    EXPECT_TRUE(Decode(member.substr(0, deflateEnd), 1, out));
    EXPECT_FALSE(Decode(Gzip("abc").substr(0, 9), 1, out));

    int sinkCalls = 0;
    const auto count = [&](const uint8_t*, uint64_t) { return ++sinkCalls > 0; };
    for (int wrong = 0; wrong < 3; ++wrong) {  // magic or method: known once four bytes are in
        std::string bad = Gzip("payload");
        bad[wrong] ^= 1;
        GzipStream stream(count);
        EXPECT_TRUE(stream.Feed(Bytes(bad), 3));
        EXPECT_FALSE(stream.Feed(Bytes(bad) + 3, 1)) << wrong;
        EXPECT_FALSE(stream.Finish());
    }
    GzipStream reserved(count);
    const std::string good = Gzip("more");
    const std::string blockType3 = good.substr(0, 10) + "\x07";  // BFINAL with the reserved block type
    EXPECT_FALSE(reserved.Feed(Bytes(blockType3), blockType3.size()));
    EXPECT_FALSE(reserved.Feed(Bytes(good), good.size()));
    EXPECT_FALSE(reserved.Finish());
    EXPECT_EQ(sinkCalls, 0);
    EXPECT_TRUE(log.Has("Gzip: malformed header") && log.Has("Gzip: stream ended before header"));

    // A sink that refuses stops the stream for good, without a log line.
    const size_t lines = log.Lines().size();
    GzipStream refused([&](const uint8_t*, uint64_t) { return ++sinkCalls < 0; });
    EXPECT_FALSE(refused.Feed(Bytes(member), member.size()));
    EXPECT_FALSE(refused.Feed(Bytes(member), 10));
    EXPECT_FALSE(refused.Finish());
    EXPECT_EQ(sinkCalls, 1);
    EXPECT_EQ(log.Lines().size(), lines);
}

TEST(GzipStreamTest, HeaderThatNeverEndsIsRefusedPastOneMiB) {
    const test::LogCapture log;
    GzipHeader header;
    header.name = std::string(200000, 'n');  // long, but it ends
    std::string out;
    EXPECT_TRUE(Decode(Gzip("data", header), 65536, out) && out == "data");
    const std::string endless = Gzip("", header).substr(0, 10) + std::string(1100000, 'n');
    GzipStream stream([](const uint8_t*, uint64_t) { return true; });
    size_t at = 0;
    while (at < endless.size() && stream.Feed(Bytes(endless) + at, std::min<size_t>(65536, endless.size() - at)))
        at += 65536;
    EXPECT_GE(at, size_t{1} << 20) << "gave up only past the limit";
    EXPECT_LT(at, endless.size());
    EXPECT_TRUE(log.Has("Gzip: malformed header"));
}

// Ended decoders are reused; whatever a stream left behind (a half-read
// header, a cut, a fault, a refusing sink) must not reach the next one. More
// streams end at once than are kept, as with many parallel downloads.
TEST(GzipStreamTest, AStreamAfterAnyKindOfEndDecodesAsIfFresh) {
    const std::string data = LongReferences(100000, 21);
    const std::string member = Gzip(data);
    std::string corrupt = member;
    corrupt[member.size() / 2] = static_cast<char>(~corrupt[member.size() / 2]);
    {
        std::vector<GzipStream> ended;
        for (int i = 0; i < 20; ++i) {
            ended.emplace_back([](const uint8_t*, uint64_t) { return true; });
            const std::string& input = i % 3 == 2 ? corrupt : member;
            ended.back().Feed(Bytes(input), i % 3 == 0 ? 7 : i % 3 == 1 ? member.size() / 3 : input.size());
        }
    }
    GzipStream refusing([](const uint8_t*, uint64_t) { return false; });
    EXPECT_FALSE(refusing.Feed(Bytes(member), member.size()));
    for (const size_t step : {member.size(), size_t{1000}, size_t{1}}) {
        std::string out;
        EXPECT_TRUE(Decode(member, step, out) && out == data) << "step " << step << ": " << out.size() << " bytes";
    }
}

}  // namespace
}  // namespace vr
