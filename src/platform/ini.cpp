#include "platform/ini.h"

#include <windows.h>

#include "text/text.h"

namespace vr {
namespace {

constexpr DWORD kValueChars = 1024;

}  // namespace

bool ReadIniBool(const std::wstring& iniPath, const std::wstring& section, const std::wstring& key, bool current) {
    wchar_t buffer[kValueChars];
    const DWORD n = GetPrivateProfileStringW(section.c_str(), key.c_str(), current ? L"1" : L"0", buffer, kValueChars,
                                             iniPath.c_str());
    const std::wstring value(buffer, n);
    return value == L"1" || value == L"true" || value == L"True";
}

bool WriteIniInt(const std::wstring& iniPath, const std::wstring& section, const std::wstring& key, int32_t value) {
    return WritePrivateProfileStringW(section.c_str(), key.c_str(), std::to_wstring(value).c_str(), iniPath.c_str()) !=
           FALSE;
}

std::vector<std::wstring> SplitList(const std::wstring& text) {
    std::vector<std::wstring> items;
    std::wstring current;
    auto flush = [&] {
        std::wstring item = TrimBlanks(current);
        if (!item.empty()) items.push_back(std::move(item));
        current.clear();
    };
    for (wchar_t ch : text) {
        if (ch == L'|' || ch == L',') {
            flush();
        } else {
            current += ch;
        }
    }
    flush();
    return items;
}

}  // namespace vr
