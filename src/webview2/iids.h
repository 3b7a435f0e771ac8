#pragma once
// Interface identifiers of the WebView2 interfaces we declare (webview2.h).
// mingw-w64 has no __declspec(uuid), so they are plain constants.
#include <windows.h>

namespace vr {

// True when `iid` is the one the ABI sheet spells as `text`; each constant
// below is checked this way at compile time.
constexpr bool IidIs(const IID& iid, const char (&text)[37]) {
    auto hex = [&text](int at, int digits) {
        unsigned long long value = 0;
        for (int i = at; i < at + digits; ++i)
            value = value * 16 + (text[i] <= '9' ? text[i] - '0' : text[i] - 'A' + 10);
        return value;
    };
    bool same = iid.Data1 == hex(0, 8) && iid.Data2 == hex(9, 4) && iid.Data3 == hex(14, 4);
    for (int i = 0; i < 8; ++i) same = same && iid.Data4[i] == hex(i < 2 ? 19 + 2 * i : 20 + 2 * i, 2);
    return same;
}

inline constexpr IID IID_ICoreWebView2Environment = {
    0xB96D755E, 0x0319, 0x4E92, {0xA2, 0x96, 0x23, 0x43, 0x6F, 0x46, 0xA1, 0xFC}};
static_assert(IidIs(IID_ICoreWebView2Environment, "B96D755E-0319-4E92-A296-23436F46A1FC"));
inline constexpr IID IID_ICoreWebView2Controller = {
    0x4D00C0D1, 0x9434, 0x4EB6, {0x80, 0x78, 0x86, 0x97, 0xA5, 0x60, 0x33, 0x4F}};
static_assert(IidIs(IID_ICoreWebView2Controller, "4D00C0D1-9434-4EB6-8078-8697A560334F"));
inline constexpr IID IID_ICoreWebView2 = {0x76ECEACB, 0x0462, 0x4D94, {0xAC, 0x83, 0x42, 0x3A, 0x67, 0x93, 0x77, 0x5E}};
static_assert(IidIs(IID_ICoreWebView2, "76ECEACB-0462-4D94-AC83-423A6793775E"));
inline constexpr IID IID_ICoreWebView2_2 = {
    0x9E8F0CF8, 0xE670, 0x4B5E, {0xB2, 0xBC, 0x73, 0xE0, 0x61, 0xE3, 0x18, 0x4C}};
static_assert(IidIs(IID_ICoreWebView2_2, "9E8F0CF8-E670-4B5E-B2BC-73E061E3184C"));
inline constexpr IID IID_ICoreWebView2_3 = {
    0xA0D6DF20, 0x3B92, 0x416D, {0xAA, 0x0C, 0x43, 0x7A, 0x9C, 0x72, 0x78, 0x57}};
static_assert(IidIs(IID_ICoreWebView2_3, "A0D6DF20-3B92-416D-AA0C-437A9C727857"));
inline constexpr IID IID_ICoreWebView2Settings = {
    0xE562E4F0, 0xD7FA, 0x43AC, {0x8D, 0x71, 0xC0, 0x51, 0x50, 0x49, 0x9F, 0x00}};
static_assert(IidIs(IID_ICoreWebView2Settings, "E562E4F0-D7FA-43AC-8D71-C05150499F00"));
inline constexpr IID IID_ICoreWebView2WebMessageReceivedEventArgs = {
    0x0F99A40C, 0xE962, 0x4207, {0x9E, 0x92, 0xE3, 0xD5, 0x42, 0xEF, 0xF8, 0x49}};
static_assert(IidIs(IID_ICoreWebView2WebMessageReceivedEventArgs, "0F99A40C-E962-4207-9E92-E3D542EFF849"));
inline constexpr IID IID_ICoreWebView2NavigationCompletedEventArgs = {
    0x30D68B7D, 0x20D9, 0x4752, {0xA9, 0xCA, 0xEC, 0x84, 0x48, 0xFB, 0xB5, 0xC1}};
static_assert(IidIs(IID_ICoreWebView2NavigationCompletedEventArgs, "30D68B7D-20D9-4752-A9CA-EC8448FBB5C1"));
inline constexpr IID IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler = {
    0x4E8A3389, 0xC9D8, 0x4BD2, {0xB6, 0xB5, 0x12, 0x4F, 0xEE, 0x6C, 0xC1, 0x4D}};
static_assert(IidIs(IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                    "4E8A3389-C9D8-4BD2-B6B5-124FEE6CC14D"));
inline constexpr IID IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler = {
    0x6C4819F3, 0xC9B7, 0x4260, {0x81, 0x27, 0xC9, 0xF5, 0xBD, 0xE7, 0xF6, 0x8C}};
static_assert(IidIs(IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                    "6C4819F3-C9B7-4260-8127-C9F5BDE7F68C"));
inline constexpr IID IID_ICoreWebView2WebMessageReceivedEventHandler = {
    0x57213F19, 0x00E6, 0x49FA, {0x8E, 0x07, 0x89, 0x8E, 0xA0, 0x1E, 0xCB, 0xD2}};
static_assert(IidIs(IID_ICoreWebView2WebMessageReceivedEventHandler, "57213F19-00E6-49FA-8E07-898EA01ECBD2"));
inline constexpr IID IID_ICoreWebView2NavigationCompletedEventHandler = {
    0xD33A35BF, 0x1C49, 0x4F98, {0x93, 0xAB, 0x00, 0x6E, 0x05, 0x33, 0xFE, 0x1C}};
static_assert(IidIs(IID_ICoreWebView2NavigationCompletedEventHandler, "D33A35BF-1C49-4F98-93AB-006E0533FE1C"));
inline constexpr IID IID_ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler = {
    0xB99369F3, 0x9B11, 0x47B5, {0xBC, 0x6F, 0x8E, 0x78, 0x95, 0xFC, 0xEA, 0x17}};
static_assert(IidIs(IID_ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler,
                    "B99369F3-9B11-47B5-BC6F-8E7895FCEA17"));
inline constexpr IID IID_ICoreWebView2EnvironmentOptions = {
    0x2FDE08A8, 0x1E9A, 0x4766, {0x8C, 0x05, 0x95, 0xA9, 0xCE, 0xB9, 0xD1, 0xC5}};
static_assert(IidIs(IID_ICoreWebView2EnvironmentOptions, "2FDE08A8-1E9A-4766-8C05-95A9CEB9D1C5"));

}  // namespace vr
