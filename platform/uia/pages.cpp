// Chromium's page windows, and what makes Chromium serve and build a page for a client.
//
// Each tab's page lives in a child window of class Chrome_RenderWidgetHostHWND whose root object is
// a fragment root with the page's web content as its one child
// (ui/accessibility/platform/ax_fragment_root_win.cc). Reading a property of the fragment root
// itself tells Chromium nothing; a property read on web content turns its page tree on, and a
// request for the Text pattern there its text boxes, which selection rectangles are made of
// (ui/accessibility/platform/ax_platform_node_win.cc, NotifyAPIObserverForPropertyRequest and
// NotifyAPIObserverForPatternRequest). Only the shown page window of a browser window is touched:
// background tabs' windows are hidden, and each call to a page that does not answer costs up to
// UI Automation's time-out.
#include <set>
#include <string_view>

#include "platform/uia/internal.h"

namespace sw::platform::uia {
namespace {

BOOL CALLBACK addPageWindow(HWND child, LPARAM data) {
    if (isPageWindow(child) && isShown(child)) {
        reinterpret_cast<std::vector<HWND>*>(data)->push_back(child);
    }
    return TRUE;
}

}  // namespace

// The window's own state: a background tab's page window is hidden itself.
bool isShown(HWND window) { return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0; }

bool isPageWindow(HWND window) {
    wchar_t name[64] = {};
    return GetClassNameW(window, name, 64) > 0 &&
           std::wstring_view(name) == L"Chrome_RenderWidgetHostHWND";
}

std::vector<HWND> pageWindowsOf(HWND window) {
    std::vector<HWND> pages;
    if (window != nullptr) EnumChildWindows(window, addPageWindow, reinterpret_cast<LPARAM>(&pages));
    return pages;
}

AXError wakePageWindow(HWND page) {
    // Remembered per window; one that is gone leaves the set, so that a handle the system hands
    // out again is woken afresh.
    static auto* woken = new std::set<HWND>;
    std::erase_if(*woken, [](HWND w) { return !IsWindow(w); });
    if (woken->count(page) != 0) return kAXErrorSuccess;
    com::IUIAutomation* a = automation();
    if (a == nullptr) return kAXErrorAPIDisabled;
    Element root;
    ComRef<com::IUIAutomationTreeWalker> walker;
    Element content;
    HRESULT hr = a->ElementFromHandle(page, root.put());
    if (SUCCEEDED(hr) && root) hr = a->get_RawViewWalker(walker.put());
    if (SUCCEEDED(hr) && walker) hr = walker->GetFirstChildElement(root.get(), content.put());
    if (FAILED(hr)) return errorFor(hr);
    if (!content) return kAXErrorNoValue;  // no page yet: asked again next time
    int type = 0;
    hr = content->get_CurrentControlType(&type);
    ComRef<com::IUIAutomationTextPattern> pattern;
    if (SUCCEEDED(hr)) {
        hr = content->GetCurrentPatternAs(com::UIA_TextPatternId, com::IID_IUIAutomationTextPattern,
                                          reinterpret_cast<void**>(pattern.put()));
    }
    if (FAILED(hr)) return errorFor(hr);
    woken->insert(page);
    return kAXErrorSuccess;
}

}  // namespace sw::platform::uia
