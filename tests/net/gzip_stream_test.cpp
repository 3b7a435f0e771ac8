// The streaming gzip decoder against members made by zlib.
#include "net/gzip_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/gzip_util.h"
#include "support/log_capture.h"
#include "support/test_data.h"

namespace vr {
namespace {

using test::Gzip;

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Feeds `input` in pieces of `step` bytes; Feed's and Finish's verdict together.
bool Decode(const std::string& input, size_t step, std::string& out) {
    out.clear();
    GzipStream stream([&out](const uint8_t* data, uint64_t size) {
        out.append(reinterpret_cast<const char*>(data), size);
        return true;
    });
    for (size_t at = 0; at < input.size(); at += step)
        if (!stream.Feed(Bytes(input) + at, std::min(step, input.size() - at))) return false;
    return stream.Finish();
}

// What a decode that is to succeed put out; a failure prints as such.
std::string Decoded(const std::string& input, size_t step) {
    std::string out;
    return Decode(input, step, out) ? out : "(failed after " + std::to_string(out.size()) + " bytes)";
}

TEST(GzipStreamTest, EveryHeaderFieldAnyFeedSizeNoChecksumsAndOnlyTheFirstMember) {
    const std::string data = test::GameLikeContent(8000, 7);
    for (int mask = 0; mask < 16; ++mask) {
        test::GzipHeader header{mask & 1 ? std::string(300, 'x') : "", mask & 2 ? "Data/Some File.dat" : "",
                                mask & 4 ? "made for the decoder test" : "", (mask & 8) != 0};
        std::string member = Gzip(data, header);
        // Neither the header checksum nor the trailer is verified.
        if (mask & 8) member[10 + (mask & 1 ? 302 : 0) + (mask & 2 ? 19 : 0) + (mask & 4 ? 26 : 0)] ^= 0x5A;
        member[member.size() - 3] ^= 0x77;
        for (size_t step : {member.size(), size_t{1}, size_t{11}})
            EXPECT_EQ(Decoded(member + Gzip("second") + "junk", step), data) << "mask " << mask << ", step " << step;
    }
}

TEST(GzipStreamTest, DamagedStreamsFailAndStayFailed) {
    const test::LogCapture log;
    // A cut anywhere inside the DEFLATE data fails at Finish; what came out is right.
    const std::string data = test::GameLikeContent(60000, 5), member = Gzip(data);
    std::string out;
    for (size_t cut = 10; cut < member.size() - 8; cut += cut < 100 ? 1 : 499) {
        EXPECT_FALSE(Decode(member.substr(0, cut), 4096, out)) << cut;
        EXPECT_EQ(out, data.substr(0, out.size())) << cut;
    }
    EXPECT_FALSE(Decode(member.substr(0, 9), 1, out));

    std::string bad = member;
    bad[2] = 9;  // not DEFLATE
    EXPECT_FALSE(Decode(bad, 1, out));

    const auto keep = [](const uint8_t*, uint64_t) { return true; };
    GzipStream cut(keep), reserved(keep);
    EXPECT_TRUE(cut.Feed(Bytes(member), 100));
    EXPECT_FALSE(cut.Finish());
    EXPECT_FALSE(cut.Feed(Bytes(member) + 100, member.size() - 100)) << "stays failed";
    const std::string blockType3 = member.substr(0, 10) + "\x07";  // BFINAL with the reserved block type
    EXPECT_FALSE(reserved.Feed(Bytes(blockType3), blockType3.size()));
    EXPECT_FALSE(reserved.Feed(Bytes(member), member.size())) << "stays failed";
    for (const char* line : {"Gzip: inflate failed", "Gzip: stream ended before header", "Gzip: malformed header"})
        EXPECT_TRUE(log.Has(line)) << line;
}

TEST(GzipStreamTest, HeaderThatNeverEndsIsRefusedPastOneMiB) {
    const test::LogCapture log;
    const test::GzipHeader header{"", std::string(200000, 'n'), "", false};  // long, but it ends
    EXPECT_EQ(Decoded(Gzip("data", header), 65536), "data");
    const std::string endless = Gzip("", header).substr(0, 10) + std::string(1100000, 'n');
    GzipStream stream([](const uint8_t*, uint64_t) { return true; });
    size_t at = 0;
    while (at < endless.size() && stream.Feed(Bytes(endless) + at, std::min<size_t>(65536, endless.size() - at)))
        at += 65536;
    EXPECT_GE(at, size_t{1} << 20);
    EXPECT_LT(at, endless.size());
    EXPECT_TRUE(log.Has("Gzip: malformed header"));
}

// Ended decoders are reused: what a stream left (half a header, a cut, a fault, a refusing
// sink) must not reach the next; more end at once than are kept, as in parallel downloads.
TEST(GzipStreamTest, AStreamAfterAnyKindOfEndDecodesAsIfFresh) {
    const std::string data = test::GameLikeContent(300000, 21), member = Gzip(data, 9);
    std::string corrupt = member;
    corrupt[member.size() / 2] ^= 0xFF;
    {
        std::vector<GzipStream> ended;
        for (int i = 0; i < 20; ++i) {
            ended.emplace_back([i](const uint8_t*, uint64_t) { return i % 4 != 3; });
            ended.back().Feed(Bytes(i % 4 == 2 ? corrupt : member), i % 4 == 0 ? 7 : i % 4 == 1 ? 5000 : member.size());
        }
    }
    for (size_t step : {size_t{4093}, size_t{1}}) EXPECT_EQ(Decoded(member, step), data) << "step " << step;
}

}  // namespace
}  // namespace vr
