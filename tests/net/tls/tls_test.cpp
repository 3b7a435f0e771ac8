// HTTPS against a loopback server whose certificate chains to a throwaway CA
// made by the ctest fixture (tests/support/tls_setup.sh). The CA is trusted
// only inside the test Wine prefix, and only while a test needs it.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "net/gzip_stream.h"
#include "net/http.h"
#include "text/text.h"

namespace vr {
namespace {

// The fixture's folder as a Windows path (Wine maps the host's / to Z:).
std::string FixtureDir() {
    const char* dir = std::getenv("VR_TLS_DIR");
    if (!dir || !*dir) return {};
    std::string path = std::string("Z:") + dir;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

struct CertStore {
    HCERTSTORE h = nullptr;
    CertStore() { h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"); }
    ~CertStore() {
        if (h) CertCloseStore(h, 0);
    }
};

// Removes every certificate of the throwaway CA's name, this run's or an
// earlier one's, so the prefix never keeps trusting it.
int RemoveThrowawayCas() {
    CertStore store;
    if (!store.h) return -1;
    int removed = 0;
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertFindCertificateInStore(store.h, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W,
                                              L"Veltrune Throwaway Test CA", cert)) != nullptr) {
        // Deleting frees the context; the search restarts from the top.
        CertDeleteCertificateFromStore(CertDuplicateCertificateContext(cert));
        CertFreeCertificateContext(cert);
        cert = nullptr;
        ++removed;
    }
    return removed;
}

class TlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = FixtureDir();
        if (dir.empty()) GTEST_SKIP() << "VR_TLS_DIR not set: run through ctest (net_tls fixture)";
        port = ReadFile(dir + "\\port");
        ASSERT_FALSE(port.empty());
        base = L"https://localhost:" + Utf8ToWide(port) + L"/";
    }

    void TearDown() override {
        if (trusted) RemoveThrowawayCas();
    }

    // Trusts the fixture's CA until the end of the test.
    void TrustThrowawayCa() {
        const std::string der = ReadFile(dir + "\\ca.der");
        ASSERT_FALSE(der.empty());
        CertStore store;
        ASSERT_NE(store.h, nullptr);
        ASSERT_TRUE(
            CertAddEncodedCertificateToStore(store.h, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                             static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
        trusted = true;
    }

    bool trusted = false;
    std::string dir;
    std::string port;
    std::wstring base;
    Http http;
};

// Runs in its own process before the CA is ever trusted: the system keeps
// the Root store it read for the life of a process.
TEST_F(TlsTest, UntrustedServerIsRefused) {
    ASSERT_GE(RemoveThrowawayCas(), 0);
    std::string out;
    EXPECT_EQ(http.GetBytes(base + L"maintenance.txt", out, nullptr), HttpStatus::Failed);
    EXPECT_EQ(out, "");
    EXPECT_EQ(http.Probe(base + L"maintenance.txt", nullptr), -1);
}

TEST_F(TlsTest, TrustedServerDeliversAGzipObject) {
    ASSERT_NO_FATAL_FAILURE(TrustThrowawayCa());

    const std::string expected = ReadFile(dir + "\\payload.bin");
    ASSERT_GT(expected.size(), 1000000u);
    std::string out;
    GzipStream stream([&out](const uint8_t* data, uint64_t size) {
        out.append(reinterpret_cast<const char*>(data), size);
        return true;
    });
    uint64_t lastReceived = 0;
    uint64_t lastTotal = 0;
    HttpStatus st = http.Get(
        base + L"payload.bin.gz", [&stream](const uint8_t* d, uint64_t n) { return stream.Feed(d, n); },
        [&](uint64_t received, uint64_t total) {
            lastReceived = received;
            lastTotal = total;
        },
        nullptr);
    ASSERT_EQ(st, HttpStatus::Ok);
    EXPECT_TRUE(stream.Finish());
    EXPECT_TRUE(out == expected) << out.size() << " of " << expected.size() << " bytes";
    EXPECT_GT(lastTotal, 0u);
    EXPECT_EQ(lastReceived, lastTotal);

    std::string flag;
    EXPECT_EQ(http.GetBytes(base + L"maintenance.txt", flag, nullptr), HttpStatus::Ok);
    EXPECT_EQ(flag, "false");
    EXPECT_EQ(http.GetBytes(base + L"absent.gz", flag, nullptr), HttpStatus::NotFound);
    EXPECT_GE(http.Probe(base + L"payload.bin.gz", nullptr), 0);

    // The name in the certificate is localhost; an address does not match it.
    std::string byAddress;
    EXPECT_EQ(http.GetBytes(L"https://127.0.0.1:" + Utf8ToWide(port) + L"/maintenance.txt", byAddress, nullptr),
              HttpStatus::Failed);

    EXPECT_NE(ReadFile(dir + "\\requests.log").find("VeltruneClient/1.0 \"GET /payload.bin.gz"), std::string::npos);
}

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// TLS 1.3 is asked for beside 1.0-1.2, so an old server that stops at 1.2
// keeps working and, on Windows 11 / Server 2022, a server that speaks only
// 1.3 works too, all through one session. Wine 8 takes the 1.3 flag without
// complaint but never negotiates 1.3: a 1.3-only server fails the handshake
// there, which this records rather than hides.
TEST_F(TlsTest, OldAndTls13OnlyServersInOneSession) {
    ASSERT_NO_FATAL_FAILURE(TrustThrowawayCa());
    const std::string port12 = ReadFile(dir + "\\port12");
    const std::string port13 = ReadFile(dir + "\\port13");
    ASSERT_FALSE(port12.empty());
    ASSERT_FALSE(port13.empty());

    ASSERT_TRUE(http.BeginSession());
    for (int round = 0; round < 2; ++round) {  // the second round reuses the connections
        std::string flag;
        EXPECT_EQ(http.GetBytes(L"https://localhost:" + Utf8ToWide(port12) + L"/maintenance.txt", flag, nullptr),
                  HttpStatus::Ok);
        EXPECT_EQ(flag, "false");
        flag.clear();
        const HttpStatus tls13 =
            http.GetBytes(L"https://localhost:" + Utf8ToWide(port13) + L"/maintenance.txt", flag, nullptr);
        if (UnderWine()) {
            EXPECT_EQ(tls13, HttpStatus::Failed) << "this Wine negotiates TLS 1.3 now; update the note";
        } else {
            EXPECT_EQ(tls13, HttpStatus::Ok);
            EXPECT_EQ(flag, "false");
        }
    }
    http.EndSession();
}

}  // namespace
}  // namespace vr
