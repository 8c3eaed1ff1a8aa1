// The backend over a stand-in for UI Automation (Wine has none): selections and their rectangles,
// the page windows woken and heard, registrations that run out, and handlers called late.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/uia/internal.h"

namespace {

namespace platform = sw::platform;
namespace uia = sw::platform::uia;
namespace com = sw::platform::uia::com;

// Reference counts that never free: every stand-in lives as long as its test.
template <typename I>
struct Fake : I {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

struct Range : Fake<com::IUIAutomationTextRange> {
    std::wstring text;
    std::vector<double> rects;  // left, top, width, height of each line
    HRESULT answer = S_OK;
    HRESULT STDMETHODCALLTYPE GetText(int most, BSTR* out) override {
        *out = SysAllocStringLen(text.data(), std::min<UINT>(most, text.size()));
        return answer;
    }
    HRESULT STDMETHODCALLTYPE GetBoundingRectangles(SAFEARRAY** out) override {
        if (FAILED(answer)) return answer;
        *out = SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(rects.size()));
        for (LONG i = 0; i < static_cast<LONG>(rects.size()); ++i) SafeArrayPutElement(*out, &i, &rects[i]);
        return S_OK;
    }
};

// A Text pattern and its selection: the ranges selected.
struct Pattern : Fake<com::IUIAutomationTextPattern>, Fake<com::IUIAutomationTextRangeArray> {
    std::vector<Range*> ranges;
    HRESULT STDMETHODCALLTYPE GetSelection(com::IUIAutomationTextRangeArray** out) override {
        return *out = this, S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Length(int* n) override { return *n = int(ranges.size()), S_OK; }
    HRESULT STDMETHODCALLTYPE GetElement(int i, com::IUIAutomationTextRange** out) override {
        return *out = ranges[i], S_OK;
    }
};

std::string calls;  // what the stand-ins were asked, in order

struct Element : Fake<com::IUIAutomationElement> {
    const char* name = "";
    int type = 0;
    Pattern* pattern = nullptr;
    Element* parent = nullptr;
    Element* child = nullptr;
    RECT rect{};
    HRESULT STDMETHODCALLTYPE get_CurrentControlType(int* out) override {
        calls += std::string("type ") + name + ", ";
        return *out = type, S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentPatternAs(int, REFIID, void** out) override {
        calls += std::string("text ") + name + ", ";
        return *out = pattern, S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CurrentBoundingRectangle(RECT* out) override { return *out = rect, S_OK; }
};

// UI Automation, and the walker of its trees.
struct Automation : Fake<com::IUIAutomation>, Fake<com::IUIAutomationTreeWalker> {
    std::map<HWND, Element*> windows;
    std::vector<HRESULT> answers;  // of the next registrations, then S_OK
    std::vector<std::pair<Element*, com::IUIAutomationEventHandler*>> heard, removed;
    HRESULT STDMETHODCALLTYPE ElementFromHandle(void* hwnd, com::IUIAutomationElement** out) override {
        return *out = windows[static_cast<HWND>(hwnd)], S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ControlViewWalker(com::IUIAutomationTreeWalker** out) override {
        return *out = this, S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_RawViewWalker(com::IUIAutomationTreeWalker** out) override {
        return *out = this, S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetParentElement(com::IUIAutomationElement* e,
                                               com::IUIAutomationElement** out) override {
        return *out = static_cast<Element*>(e)->parent, S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetFirstChildElement(com::IUIAutomationElement* e,
                                                   com::IUIAutomationElement** out) override {
        return *out = static_cast<Element*>(e)->child, S_OK;
    }
    HRESULT STDMETHODCALLTYPE AddAutomationEventHandler(com::EVENTID, com::IUIAutomationElement* e,
                                                        com::TreeScope, com::IUIAutomationCacheRequest*,
                                                        com::IUIAutomationEventHandler* h) override {
        const HRESULT answer = answers.empty() ? S_OK : answers.front();
        if (!answers.empty()) answers.erase(answers.begin());
        calls += std::string("heard ") + static_cast<Element*>(e)->name + ", ";
        if (SUCCEEDED(answer)) h->AddRef(), heard.emplace_back(static_cast<Element*>(e), h);
        return answer;
    }
    HRESULT STDMETHODCALLTYPE RemoveAutomationEventHandler(com::EVENTID, com::IUIAutomationElement* e,
                                                           com::IUIAutomationEventHandler* h) override {
        std::erase(heard, std::make_pair(static_cast<Element*>(e), h));
        removed.emplace_back(static_cast<Element*>(e), h);  // kept: UI Automation may still call it
        return S_OK;
    }
};

Automation& automation() {
    static auto* a = [] {
        auto* made = new Automation;
        uia::replaceAutomation(static_cast<com::IUIAutomation*>(made));
        return made;
    }();
    return *a;
}

platform::Owned object(Element& e) { return uia::elementObject(uia::Element::share(&e)); }

TEST(Backend, RectanglesAreTheUnionOfLinesWithAnAreaAndNoAreaIsNoAnswerYet) {
    automation();
    const struct {
        std::vector<std::vector<double>> ranges;
        std::vector<double> bounds;  // none: no answer yet
        HRESULT answer = S_OK;
        platform::AXError error = platform::kAXErrorSuccess;
    } rows[] = {
        {{{10, 20, 30, 8}, {5, 28, 50, 8}}, {5, 20, 50, 16}},
        {{{10, 20, 30, 8}, {40, 40, 10, 10, 0, 0, 0, 0}}, {10, 20, 40, 30}},
        // Firefox's lines before their bounds are cached, Chromium's before its text boxes exist.
        {{{}}, {}},
        {{{10, 20, 0, 0}, {7, 7, 5, 0}}, {}},
        {{{10, 20, 30, 8}}, {}, com::UIA_E_TIMEOUT, platform::kAXErrorCannotComplete},
    };
    for (const auto& row : rows) {
        std::vector<Range> ranges(row.ranges.size());
        std::vector<uia::TextRange> held;
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            ranges[i].rects = row.ranges[i];
            ranges[i].answer = row.answer;
            held.push_back(uia::TextRange::share(&ranges[i]));
        }
        platform::AXError error = 1;
        const auto b = uia::boundsOf(held, error);
        const std::vector<double> got = b ? std::vector{b->x, b->y, b->width, b->height} : std::vector<double>{};
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(got, row.bounds);
    }
}

// A caret (an empty range, as Firefox answers when nothing is selected) is no selection: the climb
// goes on to the document, and stops there. Sizes and positions come from bounding rectangles.
TEST(Backend, CaretRangesAreNothingAndSizesComeFromBoundingRectangles) {
    automation();
    Range caret, words;
    words.text = L"selected words";
    Element document, field;
    document.name = "document", document.type = com::UIA_DocumentControlTypeId;
    field.name = "field", field.type = com::UIA_EditControlTypeId, field.parent = &document;
    Pattern documentText, fieldText;
    fieldText.ranges = {&caret};
    field.pattern = &fieldText, document.pattern = &documentText;
    field.rect = {-30, 40, 70, 60};
    for (const auto& [selected, expected] : {std::pair{&caret, ""}, std::pair{&words, "selected words"}}) {
        documentText.ranges = {selected};
        platform::Owned value;
        ASSERT_EQ(platform::copyAttributeValue(object(field).get(), "AXSelectedText", value), 0);
        EXPECT_EQ(platform::stringValue(value.get()), expected);
    }
    platform::Owned size, position;
    platform::Size s;
    platform::Point p;
    ASSERT_EQ(platform::copyAttributeValue(object(field).get(), "AXSize", size), 0);
    ASSERT_EQ(platform::copyAttributeValue(object(field).get(), "AXPosition", position), 0);
    ASSERT_TRUE(platform::valueGetSize(size.get(), s) && platform::valueGetPoint(position.get(), p));
    EXPECT_EQ((std::vector{s.width, s.height, p.x, p.y}), (std::vector<double>{100, 20, -30, 40}));
    EXPECT_FALSE(platform::valueGetSize(position.get(), s));
}

int delivered = 0;
void countDelivery(platform::Ref, platform::Ref, platform::Ref, void*) { ++delivered; }

void runMainLoopFor(std::uint32_t milliseconds) {
    platform::addMainLoopTimer(milliseconds, [] { PostQuitMessage(0); });
    platform::runMainRunLoop();
}

// A browser window with a shown page window (Chromium's class) and a hidden one (a background tab).
struct Browser {
    Element window, root, content, hiddenRoot;
    HWND top = nullptr, page = nullptr, hidden = nullptr;
    Browser() {
        WNDCLASSW type{};
        type.lpfnWndProc = DefWindowProcW;
        type.hInstance = GetModuleHandleW(nullptr);
        type.lpszClassName = L"Chrome_RenderWidgetHostHWND";
        RegisterClassW(&type);
        // Message-only, which IsWindowVisible calls hidden: page windows count as shown by their own style.
        top = CreateWindowExW(0, L"STATIC", L"browser", WS_VISIBLE, 0, 0, 400, 300, HWND_MESSAGE,
                              nullptr, nullptr, nullptr);
        page = CreateWindowExW(0, type.lpszClassName, L"", WS_CHILD | WS_VISIBLE, 0, 0, 400, 300, top,
                               nullptr, type.hInstance, nullptr);
        hidden = CreateWindowExW(0, type.lpszClassName, L"", WS_CHILD, 0, 0, 400, 300, top, nullptr,
                                 type.hInstance, nullptr);
        window.name = "window", root.name = "fragment root", content.name = "page";
        hiddenRoot.name = "background tab";
        root.child = &content;
        automation().windows = {{top, &window}, {page, &root}, {hidden, &hiddenRoot}};
    }
    ~Browser() { DestroyWindow(top); }
};

// The page's web content is read and its Text pattern asked for before any handler is added (the
// fragment root itself answers nothing), and the page's fragment root is heard as well as the
// window; a background tab is not asked at all. A registration that runs out is "cannot complete"
// and undoes the others of its call, so that asking again starts clean.
TEST(Backend, PagesAreWokenAndHeardAndARegistrationThatRunsOutIsCannotComplete) {
    Browser browser;
    ASSERT_TRUE(browser.top && browser.page && browser.hidden);
    Automation& a = automation();
    auto* made = new platform::Object(platform::Kind::ApplicationElement);
    made->window = browser.top;
    const platform::Owned app = platform::Owned::adopt(made);
    platform::Owned observer;
    ASSERT_EQ(platform::observerCreate(1, countDelivery, observer), 0);
    a.answers = {S_OK, com::UIA_E_TIMEOUT};
    calls.clear();
    EXPECT_EQ(platform::observerAddNotification(observer.get(), app.get(), "AXSelectedTextChanged", nullptr),
              platform::kAXErrorCannotComplete);
    EXPECT_EQ(calls, "type page, text page, heard window, heard fragment root, ");
    EXPECT_TRUE(a.heard.empty());
    calls.clear();
    EXPECT_EQ(platform::observerAddNotification(observer.get(), app.get(), "AXSelectedTextChanged", nullptr), 0);
    EXPECT_EQ(calls, "heard window, heard fragment root, ");  // woken once per window
    ASSERT_EQ(a.heard.size(), 2u);

    // A handler that UI Automation calls after its removal reaches nobody.
    platform::runLoopAddSource(platform::runLoopGetCurrent(), platform::observerGetRunLoopSource(observer.get()));
    com::IUIAutomationEventHandler* handler = a.heard.back().second;
    const auto event = [handler] {
        std::thread([handler] { handler->HandleAutomationEvent(nullptr, com::UIA_Text_TextSelectionChangedEventId); })
            .join();
        runMainLoopFor(30);
    };
    delivered = 0;
    event();
    EXPECT_EQ(delivered, 1);
    observer.reset();
    EXPECT_TRUE(a.heard.empty());
    event();
    EXPECT_EQ(delivered, 1);
    for (const auto& late : a.removed) late.second->Release();
    a.removed.clear();
}

TEST(Backend, FailuresMapToTheCoresCodes) {
    // The timeout by its own constant (UIA_E_TIMEOUT is in the tests above), and an elevated
    // browser's refusal, which is not our access gone.
    const std::pair<HRESULT, platform::AXError> rows[] = {
        {HRESULT_FROM_WIN32(ERROR_TIMEOUT), platform::kAXErrorCannotComplete},
        {E_ACCESSDENIED, platform::kAXErrorFailure},
    };
    for (const auto& [result, code] : rows) EXPECT_EQ(uia::errorFor(result), code) << std::hex << result;
}

}  // namespace
