#include "patcher/patcher.h"

#include <gtest/gtest.h>

#include "patch_fixture.h"

namespace vr {
namespace {

TEST(PatcherConstruction, ServerListAndBaseDir) {
    LauncherConfig c;
    c.serverUrl = L"http://primary.example/Patch";
    c.mirrors = {};
    Patcher lone(c, L"C:\\Game");
    EXPECT_EQ(lone.Servers(), std::vector<std::wstring>{L"http://primary.example/Patch/"});
    EXPECT_EQ(lone.BaseDir(), L"C:\\Game\\");
    EXPECT_EQ(lone.CurrentServer(), 0u);
    EXPECT_TRUE(lone.LastUrl().empty());
    EXPECT_TRUE(lone.SelfUpdatePath().empty());
    EXPECT_EQ(PatcherTestAccess::UserAgent(lone), L"VeltruneClient/1.0");

    c.mirrors = {L"http://a.example/p/", L"http://b.example/q", L"http://c.example:8080/"};
    Patcher many(c, L"C:\\Game\\");
    EXPECT_EQ(many.Servers(),
              (std::vector<std::wstring>{L"http://a.example/p/", L"http://b.example/q/", L"http://c.example:8080/"}));
    EXPECT_EQ(many.BaseDir(), L"C:\\Game\\");
}

TEST(PatcherUrls, PercentEncoding) {
    EXPECT_EQ(PercentEncode("AZaz09-._~/"), "AZaz09-._~/");
    EXPECT_EQ(PercentEncode("a b#c%d+e?f"), "a%20b%23c%25d%2Be%3Ff");
    EXPECT_EQ(PercentEncode("\xC3\xA9\xE2\x82\xAC"), "%C3%A9%E2%82%AC");
    EXPECT_EQ(PercentEncode(std::string("\x00\x7f\xff", 3)), "%00%7F%FF");
    EXPECT_EQ(PercentEncode(""), "");
}

TEST(PatcherUrls, BuildUrlOnCurrentServer) {
    LauncherConfig c;
    c.mirrors = {L"http://a.example/p/", L"http://b.example/"};
    Patcher p(c, L"C:\\Game");
    EXPECT_EQ(p.BuildUrl(L"Data\\My File.dat"), L"http://a.example/p/Data/My%20File.dat.gz");
    PatcherTestAccess::SetCurrentServer(p, 1);
    EXPECT_EQ(p.BuildUrl(L"\u00e9t\u00e9\\#1/x.dat"), L"http://b.example/%C3%A9t%C3%A9/%231/x.dat.gz");
    EXPECT_EQ(p.BuildUrl(L"list.txt"), L"http://b.example/list.txt.gz");
}

TEST(PatcherUrls, HostOf) {
    EXPECT_EQ(HostOf(L"https://patch.example/Patch/"), L"patch.example");
    EXPECT_EQ(HostOf(L"http://127.0.0.1:8080/a/b"), L"127.0.0.1:8080");
    EXPECT_EQ(HostOf(L"http://host"), L"host");
    EXPECT_EQ(HostOf(L"a://b://c/d"), L"b:");
    EXPECT_EQ(HostOf(L""), L"");
}

}  // namespace
}  // namespace vr
