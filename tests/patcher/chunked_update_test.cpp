// Files published in chunks: only chunks no local copy holds cross the wire,
// each is proven before use, and the old file stays until the new one is whole.
#include <gtest/gtest.h>
#include <zlib.h>

#include "net/sha256.h"
#include "patcher/chunk_index.h"
#include "patcher/patcher.h"
#include "support/file_times.h"
#include "support/gzip_util.h"
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "text/text.h"

namespace vr {
namespace {

using test::Gzip;
using test::HttpServer;

std::string Hex(const std::string& bytes) { return Sha256Hex(bytes.data(), bytes.size()); }

// Small chunks, so a file of a few hundred KiB has dozens of them.
constexpr ChunkParams kTestParams{4096, 16384, 65536};
constexpr int64_t kMtime = 1600000000;

// The whole-file object as the tool writes it for a chunked file: one gzip
// member with a full flush before every chunk, placed in the index if `place`.
std::string GzipWithFlushes(const std::string& bytes, std::vector<ChunkEntry>& chunks, bool place) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out;
    const auto run = [&](const char* data, size_t size, int flush) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        z.avail_in = static_cast<uInt>(size);
        char buffer[65536];
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            deflate(&z, flush);
            out.append(buffer, sizeof buffer - z.avail_out);
        } while (z.avail_out == 0);
    };
    run(nullptr, 0, Z_FULL_FLUSH);
    for (ChunkEntry& c : chunks) {
        if (place) c.wholeAt = static_cast<int64_t>(out.size());
        run(bytes.data() + c.offset, c.size, Z_FULL_FLUSH);
    }
    run(nullptr, 0, Z_FINISH);
    deflateEnd(&z);
    return out;
}

// What the publishing tool writes for one file, served from loopback: with
// `ranged`, an index that places every chunk in the whole-file object.
struct ChunkedFile {
    ChunkIndex index;
    std::string list;
    std::vector<std::string> chunkPaths;  // request paths, in file order
    std::string whole;                    // the whole-file object

    ChunkedFile(const std::vector<HttpServer*>& servers, const std::string& bytes, bool ranged = true) {
        index.params = kTestParams;
        index.fileSize = bytes.size();
        for (size_t pos = 0; pos < bytes.size();) {
            const auto* data = reinterpret_cast<const uint8_t*>(bytes.data()) + pos;
            const size_t n = FindChunkEnd(data, bytes.size() - pos, kTestParams);
            const std::string chunk = bytes.substr(pos, n);
            index.chunks.push_back({pos, static_cast<uint32_t>(n), Hex(chunk), FastChunkHash(data, n)});
            chunkPaths.push_back("/" + ChunkObjectPath(index.chunks.back().sha256) + ".gz");
            for (HttpServer* s : servers) s->Serve(chunkPaths.back(), Gzip(chunk));
            pos += n;
        }
        whole = GzipWithFlushes(bytes, index.chunks, ranged);
        const std::string text = FormatChunkIndex(index);
        list = "v 29\n#hash sha256\n" + FormatChunksLine(Hex(bytes), Hex(text)) + "\nf " + std::to_string(kMtime) +
               " " + std::to_string(bytes.size()) + " " + Hex(bytes) + " big.dat\n";
        for (HttpServer* s : servers) {
            s->Serve("/" + IndexObjectPath(Hex(text)) + ".gz", Gzip(text));
            s->Serve("/big.dat.gz", whole);  // older launchers read it whole
            s->Serve("/list.txt.gz", Gzip(list));
        }
    }

    // The request path of the chunk that holds byte `at`.
    std::string ChunkAt(size_t at) const {
        size_t k = 0;
        while (k + 1 < index.chunks.size() && index.chunks[k + 1].offset <= at) ++k;
        return chunkPaths[k];
    }
    // Requests of the whole object: with a Range header, and without.
    static std::pair<int, int> WholeRequests(const HttpServer& s) {
        std::pair<int, int> n{0, 0};
        for (const auto& r : s.Requests()) {
            if (r.method == "GET" && r.path == "/big.dat.gz") ++(r.Header("Range").empty() ? n.second : n.first);
        }
        return n;
    }
    int ChunkRequests(const HttpServer& s) const {
        int n = 0;
        for (const std::string& path : chunkPaths) n += s.CountRequests(path);
        return n;
    }
};

// v1 with 1000 bytes inserted (shifting everything after them) and 64 rewritten.
std::string Edited(const std::string& v1) {
    std::string v2 = v1;
    v2.insert(200000, std::string(1000, 'i'));
    return v2.replace(450000, 64, std::string(64, 'r'));
}

class ChunkedUpdateTest : public ::testing::Test {
protected:
    Patcher Make(const std::vector<std::wstring>& urls) {
        LauncherConfig c;
        c.mirrors = urls;
        c.serverUrl = urls.front();
        c.listFile = L"list.txt";
        c.patchVersion = 29;
        c.connections = 4;
        Patcher::Seams seams;
        seams.pause = [](uint32_t) {};
        // s2 answers its probe last, so a pass starts on s1.
        seams.probeLatency = [this](const std::wstring& s, int64_t ms) { return s == s2.WUrl() ? 60000 : ms; };
        return Patcher(c, game.path(), seams);
    }
    PatchCallbacks Figures() {
        PatchCallbacks c;
        c.transfer = [this](int64_t toDownload, int64_t downloaded, int64_t reusedBytes) {
            planned = toDownload;
            fetched = downloaded;
            reused = reusedBytes;
        };
        return c;
    }

    test::TempDir game;
    test::LogCapture log;
    std::atomic<bool> cancel{false};
    HttpServer s1, s2;
    int64_t planned = -1, fetched = -1, reused = -1;
    const std::string v1 = test::GameLikeContent(600u << 10, 1), v2 = Edited(v1);
};

// An insertion and a small rewrite cost the chunks around them; the rest
// comes from the old copy. A repair later fetches only the damaged chunk.
TEST_F(ChunkedUpdateTest, OnlyChunksNoLocalCopyHoldsCrossTheWire) {
    const ChunkedFile pub({&s1}, v2);
    game.Write(L"big.dat", v1);
    Patcher p = Make({s1.WUrl()});
    ASSERT_EQ(p.Run(cancel, Figures()), PatchResult::Finished);
    EXPECT_TRUE(game.Read(L"big.dat") == v2);
    EXPECT_EQ(test::UnixMtime(game.Join(L"big.dat")), kMtime);
    // Each changed run of chunks is one range of the whole object.
    const auto [ranges, whole] = ChunkedFile::WholeRequests(s1);
    EXPECT_EQ(whole, 0);
    EXPECT_GE(ranges, 2);
    EXPECT_LE(ranges, 4) << "of " << pub.chunkPaths.size() << " chunks";
    EXPECT_EQ(pub.ChunkRequests(s1), 0);
    // The figures count what crossed the wire, not the file's size.
    EXPECT_EQ(planned, fetched);
    EXPECT_EQ(planned + reused, static_cast<int64_t>(v2.size()));
    EXPECT_LT(planned, static_cast<int64_t>(v2.size() / 10));
    EXPECT_FALSE(game.Exists(L"big.dat.veltrune-staged"));

    std::string damaged = v2;
    damaged[300000] ^= 0x55;
    game.Write(L"big.dat", damaged);
    test::SetUnixMtime(game.Join(L"big.dat"), kMtime);
    ASSERT_EQ(p.Run(cancel, {}, true), PatchResult::Finished);
    EXPECT_TRUE(game.Read(L"big.dat") == v2);
    EXPECT_EQ(ChunkedFile::WholeRequests(s1).first, ranges + 1);
}

// A server answering ranges with the whole object, or whose whole object is
// another version by now, still serves the update by chunk objects.
TEST_F(ChunkedUpdateTest, WithoutUsableRangesTheChunkObjectsServe) {
    const ChunkedFile pub({&s1}, v2);
    test::Reply noRanges = test::Reply::Ok(pub.whole);
    noRanges.acceptRanges = false;
    s1.Set("/big.dat.gz", noRanges);
    game.Write(L"big.dat", v1);
    ASSERT_EQ(Make({s1.WUrl()}).Run(cancel, {}), PatchResult::Finished);
    EXPECT_TRUE(game.Read(L"big.dat") == v2);
    EXPECT_GE(pub.ChunkRequests(s1), 2);

    const ChunkedFile newer({}, test::GameLikeContent(600u << 10, 7));
    s1.Serve("/big.dat.gz", newer.whole);
    s1.ClearRequests();
    game.Write(L"big.dat", v1);
    ASSERT_EQ(Make({s1.WUrl()}).Run(cancel, {}), PatchResult::Finished);
    EXPECT_TRUE(game.Read(L"big.dat") == v2);
    EXPECT_GE(ChunkedFile::WholeRequests(s1).first, 1);
    EXPECT_GE(pub.ChunkRequests(s1), 2);
}

// Wrong bytes from one mirror are refused and fetched from the next; a chunk
// no mirror has fails the pass, and the file keeps its old bytes exactly.
TEST_F(ChunkedUpdateTest, ABadChunkIsHealedElsewhereAndAMissingOneLeavesTheOldFile) {
    const ChunkedFile pub({&s1, &s2}, v2, false);
    const std::string wanted = pub.chunkPaths[pub.chunkPaths.size() / 2];
    s1.Serve(wanted, Gzip(std::string(1000, 'x')));
    EXPECT_EQ(Make({s1.WUrl(), s2.WUrl()}).Run(cancel, {}), PatchResult::Finished);  // fresh: every chunk
    EXPECT_TRUE(game.Read(L"big.dat") == v2);
    EXPECT_EQ(s2.CountRequests(wanted), 1);

    game.Write(L"big.dat", v1);
    const std::string inserted = pub.ChunkAt(200500);  // no old copy holds it
    s1.Remove(inserted);
    s2.Remove(inserted);
    Patcher p = Make({s1.WUrl(), s2.WUrl()});
    EXPECT_EQ(p.Run(cancel, {}), PatchResult::FileMissing);
    EXPECT_EQ(p.LastUrl(), s2.WUrl() + Utf8ToWide(inserted.substr(1)));
    EXPECT_TRUE(game.Read(L"big.dat") == v1);
}

// A killed pass's staged copy: proven chunks in it are kept, torn ones fetched
// again, and it never passes for the file itself.
TEST_F(ChunkedUpdateTest, AKilledPassResumesFromItsStagedChunks) {
    const std::string v3 = test::GameLikeContent(600u << 10, 2);  // nothing in common with v1
    const ChunkedFile pub({&s1}, v3);
    game.Write(L"big.dat", v1);
    std::string staged = v3.substr(0, 360000) + std::string(v3.size() - 360000, '\0');
    staged[100000] ^= 1;  // a chunk torn by the kill
    game.Write(L"big.dat.veltrune-staged", staged);
    game.Write(L"gone.dat.veltrune-staged", "of a file no longer listed");
    ASSERT_EQ(Make({s1.WUrl()}).Run(cancel, Figures()), PatchResult::Finished);
    EXPECT_TRUE(game.Read(L"big.dat") == v3);
    EXPECT_FALSE(game.Exists(L"gone.dat.veltrune-staged"));
    // Everything after the staged part, plus the torn chunk, and little else.
    EXPECT_GE(fetched, static_cast<int64_t>(v3.size() - 360000));
    EXPECT_LE(fetched, static_cast<int64_t>(v3.size() - 360000) + 3 * 65536);
    EXPECT_GE(reused, 360000 - 3 * 65536);

    // A complete staged copy makes nothing current until a pass commits it.
    game.Write(L"big.dat.veltrune-staged", v3);
    game.Write(L"big.dat", v1);
    s1.ClearRequests();
    ASSERT_EQ(Make({s1.WUrl()}).Run(cancel, {}), PatchResult::Finished);
    EXPECT_TRUE(game.Read(L"big.dat") == v3);
    EXPECT_EQ(pub.ChunkRequests(s1), 0);
}

}  // namespace
}  // namespace vr
