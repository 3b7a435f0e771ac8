#include "net/gzip_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/log.h"
#include "support/gzip_util.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vr {
namespace {

using test::Gzip;
using test::GzipHeader;

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

using test::Noise;

// Text-like data whose pieces repeat from up to 32 KiB back, so the encoder
// emits long-distance matches that cross the decoder's window boundary.
std::string LongReferences(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string out = Noise(40000, seed);
    while (out.size() < size) {
        size_t distance = 20000 + rng() % 12700;
        size_t length = 64 + rng() % 3000;
        size_t from = out.size() - distance;
        for (size_t i = 0; i < length; ++i) out.push_back(out[from + i]);
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(rng()));
    }
    out.resize(size);
    return out;
}

class GzipStreamTest : public ::testing::Test {
protected:
    void SetUp() override { InitLog(dir.path()); }
    std::string Log() const { return dir.Read(L"Veltrune.log"); }

    // Decodes `input` fed in pieces of `step` bytes; returns Feed's and Finish's
    // combined verdict, the output in `out`.
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

    test::TempDir dir;
};

TEST_F(GzipStreamTest, EveryHeaderFlagCombinationDecodesAlikeInOneBlockOrByteByByte) {
    const std::string data = "The quick brown fox jumps over the lazy dog. " + Noise(3000, 7) + std::string(5000, 'z');
    for (int mask = 0; mask < 16; ++mask) {
        GzipHeader header;
        if (mask & 1) header.extra = std::string("ab\0cd", 5) + std::string(300, 'x');
        if (mask & 2) header.name = "Data/Some File.dat";
        if (mask & 4) header.comment = "made for the decoder test";
        header.headerCrc = (mask & 8) != 0;
        const std::string member = Gzip(data, header);
        const uint8_t flags = static_cast<uint8_t>(member[3]);
        ASSERT_EQ((flags & 0x04) != 0, (mask & 1) != 0) << mask;
        ASSERT_EQ((flags & 0x08) != 0, (mask & 2) != 0) << mask;
        ASSERT_EQ((flags & 0x10) != 0, (mask & 4) != 0) << mask;
        ASSERT_EQ((flags & 0x02) != 0, (mask & 8) != 0) << mask;

        for (size_t step : {member.size(), size_t{1}, size_t{3}, size_t{11}}) {
            std::string out;
            EXPECT_TRUE(Decode(member, step, out)) << "flags " << mask << " step " << step;
            EXPECT_EQ(out, data) << "flags " << mask << " step " << step;
        }
    }
    EXPECT_EQ(Log().find("Gzip:"), std::string::npos);
}

TEST_F(GzipStreamTest, HeaderChecksumAndTrailerAreNotVerified) {
    const std::string data = Noise(10000, 3);
    GzipHeader header;
    header.name = "x";
    header.headerCrc = true;
    std::string member = Gzip(data, header);
    // FHCRC sits right after the name's terminator: 10 + "x\0".
    member[12] = static_cast<char>(member[12] ^ 0x5A);
    member[13] = static_cast<char>(member[13] ^ 0xA5);
    std::string out;
    EXPECT_TRUE(Decode(member, member.size(), out));
    EXPECT_EQ(out, data);

    std::string wrongTrailer = Gzip(data);
    for (size_t i = wrongTrailer.size() - 8; i < wrongTrailer.size(); ++i) wrongTrailer[i] = '\x77';
    EXPECT_TRUE(Decode(wrongTrailer, 4096, out));
    EXPECT_EQ(out, data);

    std::string noTrailer = Gzip(data);
    noTrailer.resize(noTrailer.size() - 8);
    for (size_t step : {noTrailer.size(), size_t{1}}) {
        EXPECT_TRUE(Decode(noTrailer, step, out)) << step;
        EXPECT_EQ(out, data);
    }
}

TEST_F(GzipStreamTest, BadMagicOrMethodFailsOnlyOnceFourBytesArrived) {
    const std::string good = Gzip("payload");
    for (int wrong = 0; wrong < 3; ++wrong) {
        std::string bad = good;
        bad[wrong] = static_cast<char>(bad[wrong] ^ 0x01);
        int sinkCalls = 0;
        GzipStream stream([&](const uint8_t*, uint64_t) {
            ++sinkCalls;
            return true;
        });
        EXPECT_TRUE(stream.Feed(Bytes(bad), 1));
        EXPECT_TRUE(stream.Feed(Bytes(bad) + 1, 1));
        EXPECT_TRUE(stream.Feed(Bytes(bad) + 2, 1));
        EXPECT_FALSE(stream.Feed(Bytes(bad) + 3, 1)) << "byte " << wrong;
        EXPECT_FALSE(stream.Feed(Bytes(bad) + 4, bad.size() - 4));
        EXPECT_FALSE(stream.Finish());
        EXPECT_EQ(sinkCalls, 0);
    }
    EXPECT_NE(Log().find("Gzip: malformed header"), std::string::npos);
    EXPECT_EQ(Log().find("Gzip: inflate failed"), std::string::npos);
}

TEST_F(GzipStreamTest, OnlyTheFirstMemberIsDecoded) {
    const std::string first = Noise(5000, 1) + "end of first";
    const std::string both = Gzip(first) + Gzip("second member");
    for (size_t step : {both.size(), size_t{1}, size_t{100}}) {
        std::string out;
        EXPECT_TRUE(Decode(both, step, out)) << step;
        EXPECT_EQ(out, first);
    }
    // Whatever follows the member is never looked at.
    std::string out;
    EXPECT_TRUE(Decode(Gzip(first) + "\xFF\xFFjunk that is not gzip", 7, out));
    EXPECT_EQ(out, first);
}

TEST_F(GzipStreamTest, BodyCutInsideTheDeflateDataFailsAtFinish) {
    const std::string data = LongReferences(60000, 5);
    const std::string member = Gzip(data);
    const size_t deflateEnd = member.size() - 8;
    size_t checked = 0;
    for (size_t cut = 10; cut < deflateEnd; cut += (cut < 200 ? 1 : 997)) {
        std::string out;
        GzipStream stream([&out](const uint8_t* d, uint64_t n) {
            out.append(reinterpret_cast<const char*>(d), n);
            return true;
        });
        EXPECT_TRUE(stream.Feed(Bytes(member), cut)) << cut;
        EXPECT_FALSE(stream.Finish()) << "cut at " << cut;
        EXPECT_FALSE(stream.Finish()) << "stays failed";
        EXPECT_LT(out.size(), data.size());
        EXPECT_EQ(out, data.substr(0, out.size())) << "what came out is still right";
        ++checked;
    }
    EXPECT_GT(checked, 150u);
    // The last byte of the DEFLATE data still matters.
    std::string out;
    EXPECT_FALSE(Decode(member.substr(0, deflateEnd - 1), 1, out));
    EXPECT_TRUE(Decode(member.substr(0, deflateEnd), 1, out));
    EXPECT_NE(Log().find("Gzip: inflate failed"), std::string::npos);
}

TEST_F(GzipStreamTest, MissingOrPartialHeaderFailsAtFinish) {
    for (size_t length : {size_t{0}, size_t{3}, size_t{9}}) {
        std::string out;
        EXPECT_FALSE(Decode(Gzip("abc").substr(0, length), 1, out)) << length;
    }
    // A name that never ends keeps the stream waiting for the header.
    GzipHeader header;
    header.name = "name";
    std::string member = Gzip("abc", header);
    std::string out;
    EXPECT_FALSE(Decode(member.substr(0, 12), 1, out));
    EXPECT_EQ(Log().find("Gzip: inflate failed"), std::string::npos);
    EXPECT_NE(Log().find("Gzip: stream ended before header"), std::string::npos);
}

TEST_F(GzipStreamTest, HeaderThatNeverEndsIsRefusedInsteadOfBuffered) {
    GzipHeader header;
    header.name = std::string(200000, 'n');  // long, but a real header
    const std::string data = Noise(1000, 8);
    std::string out;
    EXPECT_TRUE(Decode(Gzip(data, header), 65536, out));
    EXPECT_EQ(out, data);

    // FNAME set, then a megabyte and more without the terminating zero.
    std::string endless = Gzip("", header).substr(0, 10) + std::string(1100000, 'n');
    GzipStream stream([](const uint8_t*, uint64_t) { return true; });
    bool ok = true;
    size_t at = 0;
    for (; at < endless.size() && ok; at += 65536)
        ok = stream.Feed(Bytes(endless) + at, std::min<size_t>(65536, endless.size() - at));
    EXPECT_FALSE(ok);
    EXPECT_GT(at, size_t{1} << 20) << "gave up only past the limit";
    EXPECT_FALSE(stream.Finish());
    EXPECT_NE(Log().find("Gzip: malformed header"), std::string::npos);
}

TEST_F(GzipStreamTest, CorruptDeflateDataFailsForGood) {
    // BFINAL=1 with the reserved block type 3.
    std::string member = Gzip("");
    member.resize(10);
    member += "\x07\x00\x00\x00";
    int sinkCalls = 0;
    GzipStream stream([&](const uint8_t*, uint64_t) {
        ++sinkCalls;
        return true;
    });
    EXPECT_FALSE(stream.Feed(Bytes(member), member.size()));
    const std::string good = Gzip("more");
    EXPECT_FALSE(stream.Feed(Bytes(good), good.size()));
    EXPECT_FALSE(stream.Finish());
    EXPECT_EQ(sinkCalls, 0);
    EXPECT_NE(Log().find("Gzip: inflate failed"), std::string::npos);
}

TEST_F(GzipStreamTest, SinkRefusalIsStickyAndSilent) {
    const std::string member = Gzip(Noise(100000, 9));
    int sinkCalls = 0;
    GzipStream stream([&](const uint8_t*, uint64_t) {
        ++sinkCalls;
        return false;
    });
    EXPECT_FALSE(stream.Feed(Bytes(member), member.size()));
    EXPECT_EQ(sinkCalls, 1);
    EXPECT_FALSE(stream.Feed(Bytes(member), 10));
    EXPECT_FALSE(stream.Finish());
    EXPECT_EQ(sinkCalls, 1);
    EXPECT_EQ(Log().find("Gzip:"), std::string::npos);

    // Refusing a later run stops the stream there too.
    const std::string data = LongReferences(300000, 2);
    const std::string big = Gzip(data);
    std::string out;
    GzipStream later([&](const uint8_t* d, uint64_t n) {
        if (out.size() >= 100000) return false;
        out.append(reinterpret_cast<const char*>(d), n);
        return true;
    });
    bool ok = true;
    for (size_t at = 0; at < big.size() && ok; at += 1000)
        ok = later.Feed(Bytes(big) + at, std::min<size_t>(1000, big.size() - at));
    EXPECT_FALSE(ok);
    EXPECT_FALSE(later.Finish());
    EXPECT_EQ(out, data.substr(0, out.size()));
}

TEST_F(GzipStreamTest, LargeOutputsWithFarBackReferencesDecodeExactlyInWindowSizedRuns) {
    struct Case {
        size_t size;
        int level;
        size_t step;
    };
    for (const Case& c :
         {Case{6u << 20, 9, 262144}, Case{3u << 20, 1, 4093}, Case{2u << 20, 0, 65536}, Case{1u << 20, 6, 1}}) {
        const std::string data = LongReferences(c.size, static_cast<uint32_t>(c.size + c.level));
        const std::string member = Gzip(data, c.level);
        std::string out;
        out.reserve(data.size());
        size_t largestRun = 0;
        const uint8_t* lowest = nullptr;
        const uint8_t* highest = nullptr;
        GzipStream stream([&](const uint8_t* d, uint64_t n) {
            largestRun = std::max<size_t>(largestRun, n);
            if (!lowest || d < lowest) lowest = d;
            if (!highest || d + n > highest) highest = d + n;
            out.append(reinterpret_cast<const char*>(d), n);
            return true;
        });
        bool ok = true;
        for (size_t at = 0; at < member.size() && ok; at += c.step) {
            ok = stream.Feed(Bytes(member) + at, std::min(c.step, member.size() - at));
        }
        EXPECT_TRUE(ok && stream.Finish()) << "level " << c.level;
        EXPECT_TRUE(out == data) << "level " << c.level << ": " << out.size() << " of " << data.size() << " bytes";
        // Output comes straight out of one fixed 32 KiB window.
        EXPECT_LE(largestRun, 32768u);
        EXPECT_LE(static_cast<size_t>(highest - lowest), 32768u);
    }
}

TEST_F(GzipStreamTest, MovedStreamCarriesOn) {
    const std::string data = Noise(70000, 4);
    const std::string member = Gzip(data);
    std::string out;
    GzipStream first([&out](const uint8_t* d, uint64_t n) {
        out.append(reinterpret_cast<const char*>(d), n);
        return true;
    });
    ASSERT_TRUE(first.Feed(Bytes(member), 5000));
    GzipStream second(std::move(first));
    ASSERT_TRUE(second.Feed(Bytes(member) + 5000, member.size() - 5000));
    EXPECT_TRUE(second.Finish());
    EXPECT_EQ(out, data);
}

// Decoders are reused by later streams once they end; whatever an earlier
// stream left behind (a half-read header, a stream cut in the middle of its
// DEFLATE data, a fault, a sink that refused) must not reach the next one.
// More streams end at once than are kept, as with many parallel downloads.
TEST_F(GzipStreamTest, AStreamAfterAnyKindOfEndDecodesAsIfFresh) {
    const std::string data = LongReferences(200000, 21);
    const std::string member = Gzip(data);
    std::string corrupt = member;
    corrupt[member.size() / 2] = static_cast<char>(~corrupt[member.size() / 2]);
    std::string ignored;
    const auto sink = [&ignored](const uint8_t* d, uint64_t n) {
        ignored.append(reinterpret_cast<const char*>(d), n);
        return true;
    };
    for (int round = 0; round < 3; ++round) {
        {
            std::vector<GzipStream> ended;
            for (int i = 0; i < 20; ++i) {
                ended.emplace_back(sink);
                GzipStream& s = ended.back();
                switch (i % 4) {
                    case 0: s.Feed(Bytes(member), 7); break;                   // inside the header
                    case 1: s.Feed(Bytes(member), member.size() / 3); break;  // inside the data
                    case 2: s.Feed(Bytes(corrupt), corrupt.size()); break;    // after a fault
                    case 3:
                        s.Feed(Bytes(member), member.size());
                        s.Finish();
                        break;
                }
            }
        }
        GzipStream refusing([](const uint8_t*, uint64_t) { return false; });
        EXPECT_FALSE(refusing.Feed(Bytes(member), member.size()));
    }
    for (const size_t step : {member.size(), size_t{1000}, size_t{1}}) {
        std::string out;
        EXPECT_TRUE(Decode(member, step, out)) << step;
        EXPECT_TRUE(out == data) << "step " << step << ": " << out.size() << " bytes";
    }
    std::string out;
    EXPECT_FALSE(Decode(member.substr(0, member.size() / 2), 4096, out));
    EXPECT_TRUE(Decode(member, 4096, out));
    EXPECT_TRUE(out == data);
}

}  // namespace
}  // namespace vr
