// Loopback control channel of the fake runtime: the line protocol described
// at the top of fake_webview2.cpp, over TCP on 127.0.0.1, so a harness in
// another process can drive the launcher. Each connection is served on its
// own thread: the page link waits for posted events on one connection while
// the page's messages and the harness's checks go over others.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "fake_webview2_internal.h"

namespace {

std::string EnvironmentText(const char* name) {
    char buffer[1024];
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

struct Socket {
    SOCKET s = INVALID_SOCKET;
    ~Socket() {
        if (s != INVALID_SOCKET) closesocket(s);
    }
};

void Serve(SOCKET client) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const int n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        pending.append(buffer, n);
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            const std::string reply = ExecuteCommand(line) + "\n";
            size_t sent = 0;
            while (sent < reply.size()) {
                const int k = send(client, reply.data() + sent, static_cast<int>(reply.size() - sent), 0);
                if (k <= 0) return;
                sent += static_cast<size_t>(k);
            }
        }
    }
}

void ServerMain(Socket* listener) {
    for (;;) {
        const SOCKET accepted = accept(listener->s, nullptr, nullptr);
        if (accepted == INVALID_SOCKET) return;
        std::thread([accepted] {
            Socket client;
            client.s = accepted;
            Serve(client.s);
        }).detach();
    }
}

}  // namespace

void StartControlServer() {
    // Checked at every environment request until a server runs, so a test
    // process can ask for one after its first environment.
    static std::mutex mutex;
    static bool started = false;
    std::lock_guard lock(mutex);
    if (started) return;
    [] {
        const std::string port = EnvironmentText("VR_FAKE_WEBVIEW2_PORT");
        const std::string portFile = EnvironmentText("VR_FAKE_WEBVIEW2_PORT_FILE");
        if (port.empty() && portFile.empty()) return;
        started = true;
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return;
        auto* listener = new Socket;  // lives as long as the process
        listener->s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (listener->s == INVALID_SOCKET) return;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<u_short>(atoi(port.c_str())));
        int size = sizeof address;
        if (bind(listener->s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener->s, 4) != 0 || getsockname(listener->s, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return;
        if (!portFile.empty()) {
            // Written aside and renamed, so a harness polling the file never
            // reads half a number.
            const std::string text = std::to_string(ntohs(address.sin_port));
            const std::string temp = portFile + ".tmp";
            HANDLE file =
                CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                DWORD written = 0;
                WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
                CloseHandle(file);
                MoveFileExA(temp.c_str(), portFile.c_str(), MOVEFILE_REPLACE_EXISTING);
            }
        }
        std::thread(ServerMain, listener).detach();
    }();
}
