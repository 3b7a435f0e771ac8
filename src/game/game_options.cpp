#include "game/game_options.h"

#include <windows.h>

#include <cwctype>
#include <sstream>
#include <vector>

#include "platform/handles.h"
#include "platform/log.h"
#include "text/text.h"

namespace vr {
namespace {

constexpr DWORD kReadBlock = 8192;
constexpr DWORD kIniValueChars = 1024;
constexpr UINT kWindows1252 = 1252;
constexpr wchar_t kSection[] = L"option";

// Splits the way std::getline does: a final LF ends the last line rather
// than starting an empty one, so repeated saves never grow the file.
std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t lf = text.find(L'\n', start);
        if (lf == std::wstring::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    return lines;
}

std::wstring LowerCase(std::wstring text) {
    for (wchar_t& ch : text) ch = static_cast<wchar_t>(std::towlower(ch));
    return text;
}

// The line's first whitespace-delimited token, lower-cased; `rest` is left
// positioned just after it.
std::wstring ReadKey(std::wistringstream& rest) {
    std::wstring key;
    rest >> key;
    return LowerCase(key);
}

void ApplyLine(const std::wstring& line, GameOptions& options) {
    std::wistringstream in(line);
    const std::wstring key = ReadKey(in);
    // Extraction straight into the field: what a non-number yields is the
    // stream's own rule.
    if (key == L"detail") {
        in >> options.detail;
    } else if (key == L"distant") {
        in >> options.distant;
    } else if (key == L"view") {
        in >> options.view;
    } else if (key == L"shadow") {
        in >> options.shadow;
    } else if (key == L"fullscreen") {
        int32_t value = 0;
        in >> value;
        options.fullscreen = value != 0;
    } else if (key == L"resolution") {
        in >> options.resW >> options.resH;
    }
}

// The replacement for a line whose key is one of ours; false for any other key.
bool ReplacementLine(const std::wstring& key, const GameOptions& options, std::wstring& out) {
    if (key == L"detail") {
        out = L"detail " + std::to_wstring(options.detail);
    } else if (key == L"distant") {
        out = L"distant " + std::to_wstring(options.distant);
    } else if (key == L"view") {
        out = L"view " + std::to_wstring(options.view);
    } else if (key == L"shadow") {
        out = L"shadow " + std::to_wstring(options.shadow);
    } else if (key == L"fullscreen") {
        out = options.fullscreen ? L"fullscreen 1" : L"fullscreen 0";
    } else if (key == L"resolution") {
        out = L"resolution " + std::to_wstring(options.resW) + L" " + std::to_wstring(options.resH);
    } else {
        return false;
    }
    return true;
}

std::string WideToCp1252(const std::wstring& text) {
    if (text.empty()) return {};
    const int inLen = static_cast<int>(text.size());
    const int outLen = WideCharToMultiByte(kWindows1252, 0, text.data(), inLen, nullptr, 0, nullptr, nullptr);
    if (outLen <= 0) return {};
    std::string out(static_cast<size_t>(outLen), '\0');
    // The buffer has the size the first call asked for, which is all this
    // call can fail on.
    static_cast<void>(WideCharToMultiByte(kWindows1252, 0, text.data(), inLen, out.data(), outLen, nullptr, nullptr));
    return out;
}

// The new text goes to a sibling file that then replaces the original, so a
// short write (a full disk) never leaves the player's settings truncated.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    const std::wstring temp = path + L".new";
    bool ok = false;
    {
        const KernelHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        DWORD written = 0;
        ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
             written == bytes.size() && FlushFileBuffers(file.get());
    }
    if (ok) ok = MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    // A sibling that cannot be removed is harmless: the next save replaces it.
    if (!ok) static_cast<void>(DeleteFileW(temp.c_str()));
    return ok;
}

GameOptions LoadLineFormat(const std::wstring& path) {
    GameOptions options;
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) return options;
    for (const std::wstring& line : SplitLines(Cp1252ToWide(bytes))) ApplyLine(line, options);
    return options;
}

bool SaveLineFormat(const std::wstring& path, const GameOptions& options, const ReadBlockFn& readBlock) {
    std::string bytes;
    bool complete = false;
    if (!ReadWholeFile(path, bytes, &complete, readBlock)) {
        LogLine("GameConfig: game config file not found on save");
        return false;
    }
    // The save rewrites the whole file from what was read, so a shortened
    // text would silently drop the player's other settings.
    if (!complete) {
        LogFormat("GameConfig: could not read %ls to the end (err %lu); settings not saved", path.c_str(),
                  GetLastError());
        return false;
    }
    std::wstring text;
    for (std::wstring line : SplitLines(Cp1252ToWide(bytes))) {
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        std::wistringstream in(line);
        std::wstring replacement;
        text += ReplacementLine(ReadKey(in), options, replacement) ? replacement : line;
        text += L"\r\n";
    }
    return WriteWholeFile(path, WideToCp1252(text));
}

GameOptions LoadIniFormat(const std::wstring& path) {
    GameOptions options;
    const wchar_t* file = path.c_str();
    options.detail = static_cast<int32_t>(GetPrivateProfileIntW(kSection, L"detail", options.detail, file));
    options.distant = static_cast<int32_t>(GetPrivateProfileIntW(kSection, L"distant", options.distant, file));
    options.view = static_cast<int32_t>(GetPrivateProfileIntW(kSection, L"view", options.view, file));
    options.shadow = static_cast<int32_t>(GetPrivateProfileIntW(kSection, L"shadow", options.shadow, file));
    options.fullscreen = GetPrivateProfileIntW(kSection, L"fullscreen", 0, file) != 0;
    wchar_t buffer[kIniValueChars] = L"";
    const DWORD n = GetPrivateProfileStringW(kSection, L"resolution", L"1024 768", buffer, kIniValueChars, file);
    std::wistringstream in(std::wstring(buffer, n));
    in >> options.resW >> options.resH;
    return options;
}

bool SaveIniFormat(const std::wstring& path, const GameOptions& options) {
    const wchar_t* file = path.c_str();
    auto write = [&](const wchar_t* key, const std::wstring& value) {
        // Not looked at: the INI save reports success whatever the platform did.
        static_cast<void>(WritePrivateProfileStringW(kSection, key, value.c_str(), file));
    };
    write(L"detail", std::to_wstring(options.detail));
    write(L"distant", std::to_wstring(options.distant));
    write(L"view", std::to_wstring(options.view));
    write(L"shadow", std::to_wstring(options.shadow));
    write(L"fullscreen", options.fullscreen ? L"1" : L"0");
    write(L"resolution", std::to_wstring(options.resW) + L" " + std::to_wstring(options.resH));
    return true;
}

}  // namespace

bool ReadWholeFile(const std::wstring& path, std::string& out, bool* complete, const ReadBlockFn& readBlock) {
    KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    out.clear();
    char block[kReadBlock];
    for (;;) {
        uint32_t got = 0;
        bool ok = false;
        if (readBlock) {
            ok = readBlock(file.get(), block, kReadBlock, got);
        } else {
            DWORD n = 0;
            ok = ReadFile(file.get(), block, kReadBlock, &n, nullptr);
            got = n;
        }
        if (!ok) {
            // The caller reads the error code; closing the file must not change it.
            const DWORD error = GetLastError();
            if (complete) *complete = false;
            file.Reset();
            SetLastError(error);
            return true;
        }
        if (got == 0) break;
        out.append(block, got);
    }
    if (complete) *complete = true;
    return true;
}

GameOptions LoadGameOptions(const std::wstring& path, bool useNewConfigFormat) {
    return useNewConfigFormat ? LoadIniFormat(path) : LoadLineFormat(path);
}

bool SaveGameOptions(const std::wstring& path, const GameOptions& options, bool useNewConfigFormat,
                     const ReadBlockFn& readBlock) {
    return useNewConfigFormat ? SaveIniFormat(path, options) : SaveLineFormat(path, options, readBlock);
}

}  // namespace vr
