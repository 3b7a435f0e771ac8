// --verify finds what a broken copy, a half upload or a mix-up did to the
// published objects.
#include "publish_fixture.h"

namespace vr::publish::test {
namespace {

struct Fixture {
    TempFolder t;
    fs::path out = t / "out";
    Fixture() {
        WriteBytes(t / "game" / "a.txt", std::string(50000, 'a') + "end");
        WriteBytes(t / "game" / "sub dir" / "b.bin", std::string(70000, 'b'));
        WriteBytes(t / "game" / "sub dir" / "c.bin", std::string(70000, 'c'));
        WriteBytes(t / "game" / "empty", "");
        WriteBytes(t / "launcher.exe", "MZ");
        const ToolRun r = Publish(t / "game", out, 4, {"--launcher", (t / "launcher.exe").string()});
        if (r.code != 0) throw std::runtime_error(r.err);
    }
    ToolRun Verify() { return RunTool({"--verify", out.string()}); }
};

TEST(Verify, CleanPublicationPasses) {
    Fixture f;
    const ToolRun r = f.Verify();
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("verified 5 objects of version 4: 0 problem(s)"), std::string::npos) << r.out;
}

TEST(Verify, FindsEachKindOfDamage) {
    const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> damages = {
        {"corrupt",
         [](const fs::path& out) {
             std::string m = ReadBytes(out / "a.txt.gz");
             m[m.size() / 2] ^= 0x55;
             WriteBytes(out / "a.txt.gz", m);
         }},
        {"truncated gzip member",
         [](const fs::path& out) {
             const std::string m = ReadBytes(out / "sub dir" / "b.bin.gz");
             WriteBytes(out / "sub dir" / "b.bin.gz", m.substr(0, m.size() - 12));
         }},
        {"cannot open", [](const fs::path& out) { fs::remove(out / "empty.gz"); }},
        {"content differs from the list",
         [](const fs::path& out) {
             fs::copy_file(out / "sub dir" / "c.bin.gz", out / "sub dir" / "b.bin.gz",
                           fs::copy_options::overwrite_existing);
         }},
        {"data after the gzip member",
         [](const fs::path& out) { WriteBytes(out / "a.txt.gz", ReadBytes(out / "a.txt.gz") + "junk"); }},
        {"the list says 0",
         [](const fs::path& out) {
             fs::copy_file(out / "a.txt.gz", out / "empty.gz", fs::copy_options::overwrite_existing);
         }},
        {"newLauncher.exe.gz", [](const fs::path& out) { WriteBytes(out / "newLauncher.exe.gz", "MZ"); }},
    };
    for (const auto& [expect, damage] : damages) {
        SCOPED_TRACE(expect);
        Fixture f;
        damage(f.out);
        const ToolRun r = f.Verify();
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find(expect), std::string::npos) << r.err;
        EXPECT_NE(r.out.find(": 1 problem(s)"), std::string::npos) << r.out;
    }
}

TEST(Verify, MissingOrUnreadableListFails) {
    Fixture f;
    WriteBytes(f.out / "list.txt.gz", "plain text, not gzip");
    ToolRun r = f.Verify();
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("list.txt.gz"), std::string::npos) << r.err;
    fs::remove(f.out / "list.txt.gz");
    r = f.Verify();
    EXPECT_EQ(r.code, 1);
}

}  // namespace
}  // namespace vr::publish::test
