// Every method we declare must sit in the vtable slot the runtime has it in:
// a wrong slot calls another method on real Windows. Each method is called
// through our declarations on an object whose vtable records the slot it was
// entered through, and compared with the slot table of the WebView2 ABI
// (SDK 1.0.3351.48; layouts of published interfaces never change).
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>

#include "text/text.h"
#include "webview2/iids.h"
#include "webview2/webview2.h"

using namespace vr;

namespace {

int g_enteredSlot = -1;

// On x64 there is one calling convention and the caller cleans up, so one
// entry per slot that ignores its arguments can stand in for any method.
template <int N>
HRESULT STDMETHODCALLTYPE EnterSlot(void*) {
    g_enteredSlot = N;
    return S_OK;
}

constexpr int kSlots = 80;

template <int... N>
std::array<void*, sizeof...(N)> MakeVtable(std::integer_sequence<int, N...>) {
    return {reinterpret_cast<void*>(&EnterSlot<N>)...};
}

struct SlotRecorder {
    void* const* vtable;
};

int SlotOf(void (*call)(void*)) {
    static const std::array<void*, kSlots> vtable = MakeVtable(std::make_integer_sequence<int, kSlots>());
    SlotRecorder recorder{vtable.data()};
    g_enteredSlot = -1;
    call(&recorder);
    return g_enteredSlot;
}

struct SlotCase {
    const char* interfaceName;
    const char* method;
    int slot;  // from the ABI sheet
    void (*call)(void*);
};

// Generated from the ABI sheet: every method we declare, with its slot.
const SlotCase kSlotCases[] = {
    {"ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler", "Invoke", 3,
     [](void* p) { static_cast<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*>(p)->Invoke({}, {}); }},
    {"ICoreWebView2CreateCoreWebView2ControllerCompletedHandler", "Invoke", 3,
     [](void* p) { static_cast<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler*>(p)->Invoke({}, {}); }},
    {"ICoreWebView2WebMessageReceivedEventHandler", "Invoke", 3,
     [](void* p) { static_cast<ICoreWebView2WebMessageReceivedEventHandler*>(p)->Invoke({}, {}); }},
    {"ICoreWebView2NavigationCompletedEventHandler", "Invoke", 3,
     [](void* p) { static_cast<ICoreWebView2NavigationCompletedEventHandler*>(p)->Invoke({}, {}); }},
    {"ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler", "Invoke", 3,
     [](void* p) {
         static_cast<ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler*>(p)->Invoke({}, {});
     }},
    {"ICoreWebView2Environment", "CreateCoreWebView2Controller", 3,
     [](void* p) { static_cast<ICoreWebView2Environment*>(p)->CreateCoreWebView2Controller({}, {}); }},
    {"ICoreWebView2Settings", "get_IsScriptEnabled", 3,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->get_IsScriptEnabled({}); }},
    {"ICoreWebView2Settings", "put_IsScriptEnabled", 4,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->put_IsScriptEnabled({}); }},
    {"ICoreWebView2Settings", "get_IsWebMessageEnabled", 5,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->get_IsWebMessageEnabled({}); }},
    {"ICoreWebView2Settings", "put_IsWebMessageEnabled", 6,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->put_IsWebMessageEnabled({}); }},
    {"ICoreWebView2Settings", "get_AreDefaultScriptDialogsEnabled", 7,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->get_AreDefaultScriptDialogsEnabled({}); }},
    {"ICoreWebView2Settings", "put_AreDefaultScriptDialogsEnabled", 8,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->put_AreDefaultScriptDialogsEnabled({}); }},
    {"ICoreWebView2Settings", "get_IsStatusBarEnabled", 9,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->get_IsStatusBarEnabled({}); }},
    {"ICoreWebView2Settings", "put_IsStatusBarEnabled", 10,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->put_IsStatusBarEnabled({}); }},
    {"ICoreWebView2Settings", "get_AreDevToolsEnabled", 11,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->get_AreDevToolsEnabled({}); }},
    {"ICoreWebView2Settings", "put_AreDevToolsEnabled", 12,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->put_AreDevToolsEnabled({}); }},
    {"ICoreWebView2Settings", "get_AreDefaultContextMenusEnabled", 13,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->get_AreDefaultContextMenusEnabled({}); }},
    {"ICoreWebView2Settings", "put_AreDefaultContextMenusEnabled", 14,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->put_AreDefaultContextMenusEnabled({}); }},
    {"ICoreWebView2Settings", "get_AreHostObjectsAllowed", 15,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->get_AreHostObjectsAllowed({}); }},
    {"ICoreWebView2Settings", "put_AreHostObjectsAllowed", 16,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->put_AreHostObjectsAllowed({}); }},
    {"ICoreWebView2Settings", "get_IsZoomControlEnabled", 17,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->get_IsZoomControlEnabled({}); }},
    {"ICoreWebView2Settings", "put_IsZoomControlEnabled", 18,
     [](void* p) { static_cast<ICoreWebView2Settings*>(p)->put_IsZoomControlEnabled({}); }},
    {"ICoreWebView2WebMessageReceivedEventArgs", "get_Source", 3,
     [](void* p) { static_cast<ICoreWebView2WebMessageReceivedEventArgs*>(p)->get_Source({}); }},
    {"ICoreWebView2WebMessageReceivedEventArgs", "get_WebMessageAsJson", 4,
     [](void* p) { static_cast<ICoreWebView2WebMessageReceivedEventArgs*>(p)->get_WebMessageAsJson({}); }},
    {"ICoreWebView2NavigationCompletedEventArgs", "get_IsSuccess", 3,
     [](void* p) { static_cast<ICoreWebView2NavigationCompletedEventArgs*>(p)->get_IsSuccess({}); }},
    {"ICoreWebView2NavigationCompletedEventArgs", "get_WebErrorStatus", 4,
     [](void* p) { static_cast<ICoreWebView2NavigationCompletedEventArgs*>(p)->get_WebErrorStatus({}); }},
    {"ICoreWebView2Controller", "get_IsVisible", 3,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->get_IsVisible({}); }},
    {"ICoreWebView2Controller", "put_IsVisible", 4,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->put_IsVisible({}); }},
    {"ICoreWebView2Controller", "get_Bounds", 5,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->get_Bounds({}); }},
    {"ICoreWebView2Controller", "put_Bounds", 6,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->put_Bounds({}); }},
    {"ICoreWebView2Controller", "get_ZoomFactor", 7,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->get_ZoomFactor({}); }},
    {"ICoreWebView2Controller", "put_ZoomFactor", 8,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->put_ZoomFactor({}); }},
    {"ICoreWebView2Controller", "add_ZoomFactorChanged", 9,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->add_ZoomFactorChanged({}, {}); }},
    {"ICoreWebView2Controller", "remove_ZoomFactorChanged", 10,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->remove_ZoomFactorChanged({}); }},
    {"ICoreWebView2Controller", "SetBoundsAndZoomFactor", 11,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->SetBoundsAndZoomFactor({}, {}); }},
    {"ICoreWebView2Controller", "MoveFocus", 12,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->MoveFocus({}); }},
    {"ICoreWebView2Controller", "add_MoveFocusRequested", 13,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->add_MoveFocusRequested({}, {}); }},
    {"ICoreWebView2Controller", "remove_MoveFocusRequested", 14,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->remove_MoveFocusRequested({}); }},
    {"ICoreWebView2Controller", "add_GotFocus", 15,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->add_GotFocus({}, {}); }},
    {"ICoreWebView2Controller", "remove_GotFocus", 16,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->remove_GotFocus({}); }},
    {"ICoreWebView2Controller", "add_LostFocus", 17,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->add_LostFocus({}, {}); }},
    {"ICoreWebView2Controller", "remove_LostFocus", 18,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->remove_LostFocus({}); }},
    {"ICoreWebView2Controller", "add_AcceleratorKeyPressed", 19,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->add_AcceleratorKeyPressed({}, {}); }},
    {"ICoreWebView2Controller", "remove_AcceleratorKeyPressed", 20,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->remove_AcceleratorKeyPressed({}); }},
    {"ICoreWebView2Controller", "get_ParentWindow", 21,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->get_ParentWindow({}); }},
    {"ICoreWebView2Controller", "put_ParentWindow", 22,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->put_ParentWindow({}); }},
    {"ICoreWebView2Controller", "NotifyParentWindowPositionChanged", 23,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->NotifyParentWindowPositionChanged(); }},
    {"ICoreWebView2Controller", "Close", 24, [](void* p) { static_cast<ICoreWebView2Controller*>(p)->Close(); }},
    {"ICoreWebView2Controller", "get_CoreWebView2", 25,
     [](void* p) { static_cast<ICoreWebView2Controller*>(p)->get_CoreWebView2({}); }},
    {"ICoreWebView2", "get_Settings", 3, [](void* p) { static_cast<ICoreWebView2*>(p)->get_Settings({}); }},
    {"ICoreWebView2", "get_Source", 4, [](void* p) { static_cast<ICoreWebView2*>(p)->get_Source({}); }},
    {"ICoreWebView2", "Navigate", 5, [](void* p) { static_cast<ICoreWebView2*>(p)->Navigate({}); }},
    {"ICoreWebView2", "NavigateToString", 6, [](void* p) { static_cast<ICoreWebView2*>(p)->NavigateToString({}); }},
    {"ICoreWebView2", "add_NavigationStarting", 7,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_NavigationStarting({}, {}); }},
    {"ICoreWebView2", "remove_NavigationStarting", 8,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_NavigationStarting({}); }},
    {"ICoreWebView2", "add_ContentLoading", 9,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_ContentLoading({}, {}); }},
    {"ICoreWebView2", "remove_ContentLoading", 10,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_ContentLoading({}); }},
    {"ICoreWebView2", "add_SourceChanged", 11,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_SourceChanged({}, {}); }},
    {"ICoreWebView2", "remove_SourceChanged", 12,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_SourceChanged({}); }},
    {"ICoreWebView2", "add_HistoryChanged", 13,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_HistoryChanged({}, {}); }},
    {"ICoreWebView2", "remove_HistoryChanged", 14,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_HistoryChanged({}); }},
    {"ICoreWebView2", "add_NavigationCompleted", 15,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_NavigationCompleted({}, {}); }},
    {"ICoreWebView2", "remove_NavigationCompleted", 16,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_NavigationCompleted({}); }},
    {"ICoreWebView2", "add_FrameNavigationStarting", 17,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_FrameNavigationStarting({}, {}); }},
    {"ICoreWebView2", "remove_FrameNavigationStarting", 18,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_FrameNavigationStarting({}); }},
    {"ICoreWebView2", "add_FrameNavigationCompleted", 19,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_FrameNavigationCompleted({}, {}); }},
    {"ICoreWebView2", "remove_FrameNavigationCompleted", 20,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_FrameNavigationCompleted({}); }},
    {"ICoreWebView2", "add_ScriptDialogOpening", 21,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_ScriptDialogOpening({}, {}); }},
    {"ICoreWebView2", "remove_ScriptDialogOpening", 22,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_ScriptDialogOpening({}); }},
    {"ICoreWebView2", "add_PermissionRequested", 23,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_PermissionRequested({}, {}); }},
    {"ICoreWebView2", "remove_PermissionRequested", 24,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_PermissionRequested({}); }},
    {"ICoreWebView2", "add_ProcessFailed", 25,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_ProcessFailed({}, {}); }},
    {"ICoreWebView2", "remove_ProcessFailed", 26,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_ProcessFailed({}); }},
    {"ICoreWebView2", "AddScriptToExecuteOnDocumentCreated", 27,
     [](void* p) { static_cast<ICoreWebView2*>(p)->AddScriptToExecuteOnDocumentCreated({}, {}); }},
    {"ICoreWebView2", "RemoveScriptToExecuteOnDocumentCreated", 28,
     [](void* p) { static_cast<ICoreWebView2*>(p)->RemoveScriptToExecuteOnDocumentCreated({}); }},
    {"ICoreWebView2", "ExecuteScript", 29, [](void* p) { static_cast<ICoreWebView2*>(p)->ExecuteScript({}, {}); }},
    {"ICoreWebView2", "CapturePreview", 30,
     [](void* p) { static_cast<ICoreWebView2*>(p)->CapturePreview({}, {}, {}); }},
    {"ICoreWebView2", "Reload", 31, [](void* p) { static_cast<ICoreWebView2*>(p)->Reload(); }},
    {"ICoreWebView2", "PostWebMessageAsJson", 32,
     [](void* p) { static_cast<ICoreWebView2*>(p)->PostWebMessageAsJson({}); }},
    {"ICoreWebView2", "PostWebMessageAsString", 33,
     [](void* p) { static_cast<ICoreWebView2*>(p)->PostWebMessageAsString({}); }},
    {"ICoreWebView2", "add_WebMessageReceived", 34,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_WebMessageReceived({}, {}); }},
    {"ICoreWebView2", "remove_WebMessageReceived", 35,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_WebMessageReceived({}); }},
    {"ICoreWebView2", "CallDevToolsProtocolMethod", 36,
     [](void* p) { static_cast<ICoreWebView2*>(p)->CallDevToolsProtocolMethod({}, {}, {}); }},
    {"ICoreWebView2", "get_BrowserProcessId", 37,
     [](void* p) { static_cast<ICoreWebView2*>(p)->get_BrowserProcessId({}); }},
    {"ICoreWebView2", "get_CanGoBack", 38, [](void* p) { static_cast<ICoreWebView2*>(p)->get_CanGoBack({}); }},
    {"ICoreWebView2", "get_CanGoForward", 39, [](void* p) { static_cast<ICoreWebView2*>(p)->get_CanGoForward({}); }},
    {"ICoreWebView2", "GoBack", 40, [](void* p) { static_cast<ICoreWebView2*>(p)->GoBack(); }},
    {"ICoreWebView2", "GoForward", 41, [](void* p) { static_cast<ICoreWebView2*>(p)->GoForward(); }},
    {"ICoreWebView2", "GetDevToolsProtocolEventReceiver", 42,
     [](void* p) { static_cast<ICoreWebView2*>(p)->GetDevToolsProtocolEventReceiver({}, {}); }},
    {"ICoreWebView2", "Stop", 43, [](void* p) { static_cast<ICoreWebView2*>(p)->Stop(); }},
    {"ICoreWebView2", "add_NewWindowRequested", 44,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_NewWindowRequested({}, {}); }},
    {"ICoreWebView2", "remove_NewWindowRequested", 45,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_NewWindowRequested({}); }},
    {"ICoreWebView2", "add_DocumentTitleChanged", 46,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_DocumentTitleChanged({}, {}); }},
    {"ICoreWebView2", "remove_DocumentTitleChanged", 47,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_DocumentTitleChanged({}); }},
    {"ICoreWebView2", "get_DocumentTitle", 48, [](void* p) { static_cast<ICoreWebView2*>(p)->get_DocumentTitle({}); }},
    {"ICoreWebView2", "AddHostObjectToScript", 49,
     [](void* p) { static_cast<ICoreWebView2*>(p)->AddHostObjectToScript({}, {}); }},
    {"ICoreWebView2", "RemoveHostObjectFromScript", 50,
     [](void* p) { static_cast<ICoreWebView2*>(p)->RemoveHostObjectFromScript({}); }},
    {"ICoreWebView2", "OpenDevToolsWindow", 51, [](void* p) { static_cast<ICoreWebView2*>(p)->OpenDevToolsWindow(); }},
    {"ICoreWebView2", "add_ContainsFullScreenElementChanged", 52,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_ContainsFullScreenElementChanged({}, {}); }},
    {"ICoreWebView2", "remove_ContainsFullScreenElementChanged", 53,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_ContainsFullScreenElementChanged({}); }},
    {"ICoreWebView2", "get_ContainsFullScreenElement", 54,
     [](void* p) { static_cast<ICoreWebView2*>(p)->get_ContainsFullScreenElement({}); }},
    {"ICoreWebView2", "add_WebResourceRequested", 55,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_WebResourceRequested({}, {}); }},
    {"ICoreWebView2", "remove_WebResourceRequested", 56,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_WebResourceRequested({}); }},
    {"ICoreWebView2", "AddWebResourceRequestedFilter", 57,
     [](void* p) { static_cast<ICoreWebView2*>(p)->AddWebResourceRequestedFilter({}, {}); }},
    {"ICoreWebView2", "RemoveWebResourceRequestedFilter", 58,
     [](void* p) { static_cast<ICoreWebView2*>(p)->RemoveWebResourceRequestedFilter({}, {}); }},
    {"ICoreWebView2", "add_WindowCloseRequested", 59,
     [](void* p) { static_cast<ICoreWebView2*>(p)->add_WindowCloseRequested({}, {}); }},
    {"ICoreWebView2", "remove_WindowCloseRequested", 60,
     [](void* p) { static_cast<ICoreWebView2*>(p)->remove_WindowCloseRequested({}); }},
    {"ICoreWebView2_2", "add_WebResourceResponseReceived", 61,
     [](void* p) { static_cast<ICoreWebView2_2*>(p)->add_WebResourceResponseReceived({}, {}); }},
    {"ICoreWebView2_2", "remove_WebResourceResponseReceived", 62,
     [](void* p) { static_cast<ICoreWebView2_2*>(p)->remove_WebResourceResponseReceived({}); }},
    {"ICoreWebView2_2", "NavigateWithWebResourceRequest", 63,
     [](void* p) { static_cast<ICoreWebView2_2*>(p)->NavigateWithWebResourceRequest({}); }},
    {"ICoreWebView2_2", "add_DOMContentLoaded", 64,
     [](void* p) { static_cast<ICoreWebView2_2*>(p)->add_DOMContentLoaded({}, {}); }},
    {"ICoreWebView2_2", "remove_DOMContentLoaded", 65,
     [](void* p) { static_cast<ICoreWebView2_2*>(p)->remove_DOMContentLoaded({}); }},
    {"ICoreWebView2_2", "get_CookieManager", 66,
     [](void* p) { static_cast<ICoreWebView2_2*>(p)->get_CookieManager({}); }},
    {"ICoreWebView2_2", "get_Environment", 67, [](void* p) { static_cast<ICoreWebView2_2*>(p)->get_Environment({}); }},
    {"ICoreWebView2_3", "TrySuspend", 68, [](void* p) { static_cast<ICoreWebView2_3*>(p)->TrySuspend({}); }},
    {"ICoreWebView2_3", "Resume", 69, [](void* p) { static_cast<ICoreWebView2_3*>(p)->Resume(); }},
    {"ICoreWebView2_3", "get_IsSuspended", 70, [](void* p) { static_cast<ICoreWebView2_3*>(p)->get_IsSuspended({}); }},
    {"ICoreWebView2_3", "SetVirtualHostNameToFolderMapping", 71,
     [](void* p) { static_cast<ICoreWebView2_3*>(p)->SetVirtualHostNameToFolderMapping({}, {}, {}); }},
};

struct IidCase {
    const char* interfaceName;
    const char* text;  // from the ABI sheet
    const IID& iid;
};

const IidCase kIidCases[] = {
    {"ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler", "4E8A3389-C9D8-4BD2-B6B5-124FEE6CC14D",
     IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler},
    {"ICoreWebView2CreateCoreWebView2ControllerCompletedHandler", "6C4819F3-C9B7-4260-8127-C9F5BDE7F68C",
     IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler},
    {"ICoreWebView2WebMessageReceivedEventHandler", "57213F19-00E6-49FA-8E07-898EA01ECBD2",
     IID_ICoreWebView2WebMessageReceivedEventHandler},
    {"ICoreWebView2NavigationCompletedEventHandler", "D33A35BF-1C49-4F98-93AB-006E0533FE1C",
     IID_ICoreWebView2NavigationCompletedEventHandler},
    {"ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler", "B99369F3-9B11-47B5-BC6F-8E7895FCEA17",
     IID_ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler},
    {"ICoreWebView2Environment", "B96D755E-0319-4E92-A296-23436F46A1FC", IID_ICoreWebView2Environment},
    {"ICoreWebView2Settings", "E562E4F0-D7FA-43AC-8D71-C05150499F00", IID_ICoreWebView2Settings},
    {"ICoreWebView2WebMessageReceivedEventArgs", "0F99A40C-E962-4207-9E92-E3D542EFF849",
     IID_ICoreWebView2WebMessageReceivedEventArgs},
    {"ICoreWebView2NavigationCompletedEventArgs", "30D68B7D-20D9-4752-A9CA-EC8448FBB5C1",
     IID_ICoreWebView2NavigationCompletedEventArgs},
    {"ICoreWebView2Controller", "4D00C0D1-9434-4EB6-8078-8697A560334F", IID_ICoreWebView2Controller},
    {"ICoreWebView2", "76ECEACB-0462-4D94-AC83-423A6793775E", IID_ICoreWebView2},
    {"ICoreWebView2_2", "9E8F0CF8-E670-4B5E-B2BC-73E061E3184C", IID_ICoreWebView2_2},
    {"ICoreWebView2_3", "A0D6DF20-3B92-416D-AA0C-437A9C727857", IID_ICoreWebView2_3},
    {"ICoreWebView2EnvironmentOptions", "2FDE08A8-1E9A-4766-8C05-95A9CEB9D1C5", IID_ICoreWebView2EnvironmentOptions},
};

TEST(WebView2Declarations, EveryDeclaredMethodSitsInItsAbiSlot) {
    for (const SlotCase& c : kSlotCases) EXPECT_EQ(SlotOf(c.call), c.slot) << c.interfaceName << "::" << c.method;
}

TEST(WebView2Declarations, TheMethodsWeCallAreAllDeclared) {
    // The calls the views make, by name; a method missing from the table
    // above would never have had its slot checked.
    const std::pair<const char*, const char*> called[] = {
        {"ICoreWebView2Environment", "CreateCoreWebView2Controller"},
        {"ICoreWebView2Controller", "put_IsVisible"},
        {"ICoreWebView2Controller", "put_Bounds"},
        {"ICoreWebView2Controller", "get_CoreWebView2"},
        {"ICoreWebView2", "get_Settings"},
        {"ICoreWebView2", "get_Source"},
        {"ICoreWebView2", "Navigate"},
        {"ICoreWebView2", "add_NavigationCompleted"},
        {"ICoreWebView2", "AddScriptToExecuteOnDocumentCreated"},
        {"ICoreWebView2", "PostWebMessageAsJson"},
        {"ICoreWebView2", "add_WebMessageReceived"},
        {"ICoreWebView2_3", "SetVirtualHostNameToFolderMapping"},
        {"ICoreWebView2Settings", "put_IsStatusBarEnabled"},
        {"ICoreWebView2Settings", "put_AreDevToolsEnabled"},
        {"ICoreWebView2Settings", "put_AreDefaultContextMenusEnabled"},
        {"ICoreWebView2Settings", "put_IsZoomControlEnabled"},
        {"ICoreWebView2WebMessageReceivedEventArgs", "get_Source"},
        {"ICoreWebView2WebMessageReceivedEventArgs", "get_WebMessageAsJson"},
        {"ICoreWebView2NavigationCompletedEventArgs", "get_IsSuccess"},
        {"ICoreWebView2NavigationCompletedEventArgs", "get_WebErrorStatus"},
    };
    for (const auto& [iface, method] : called) {
        bool found = false;
        for (const SlotCase& c : kSlotCases)
            found = found || (std::string(c.interfaceName) == iface && std::string(c.method) == method);
        EXPECT_TRUE(found) << iface << "::" << method;
    }
    // The sheet's key slots, spelled out once more by hand.
    EXPECT_EQ(SlotOf([](void* p) { static_cast<ICoreWebView2Controller*>(p)->get_CoreWebView2(nullptr); }), 25);
    EXPECT_EQ(SlotOf([](void* p) {
                  static_cast<ICoreWebView2_3*>(p)->SetVirtualHostNameToFolderMapping(nullptr, nullptr, {});
              }),
              71);
    EXPECT_EQ(SlotOf([](void* p) { static_cast<ICoreWebView2*>(p)->PostWebMessageAsJson(nullptr); }), 32);
    EXPECT_EQ(SlotOf([](void* p) { static_cast<ICoreWebView2*>(p)->add_WebMessageReceived(nullptr, nullptr); }), 34);
}

TEST(WebView2Declarations, InterfaceIdsMatchTheAbi) {
    for (const IidCase& c : kIidCases) {
        wchar_t text[64] = {};
        ASSERT_GT(StringFromGUID2(c.iid, text, 64), 0);
        EXPECT_EQ(WideToUtf8(text), std::string("{") + c.text + "}") << c.interfaceName;
    }
}

TEST(WebView2Declarations, AbiTypesHaveTheirWireSizes) {
    EXPECT_EQ(sizeof(BOOL), 4u);
    EXPECT_EQ(sizeof(EventRegistrationToken), 8u);
    EXPECT_EQ(sizeof(RECT), 16u);
    EXPECT_EQ(sizeof(COREWEBVIEW2_WEB_ERROR_STATUS), 4u);
    EXPECT_EQ(sizeof(COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND), 4u);
}

}  // namespace
