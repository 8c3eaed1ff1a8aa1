// Models of the three browser engines as a client of their accessibility sees them, each written
// from what the engine's own source does (files and functions named below), not from what the
// watcher needs. Each model answers only the attribute names its engine implements (the lists
// below); every other name gets the engine's "unsupported" result.
//
// A model browser has one window of a real browser's shape, as Chromium's views build it
// (chrome/browser/ui/views/frame/browser_view.cc; browser_view_layout_unittest.cc builds the same
// tree): the browser view holds a top container (the tab strip region with 30 tabs, the toolbar
// with the address bar, the bookmarks bar with 40 items) and, after it, the contents container,
// whose contents web view hosts the page's own view (content/app_shim_remote_cocoa/
// render_widget_host_view_cocoa.mm), the page's container. Under the window: root view 1, browser
// view 2, contents container 3, contents web view 4, the page's container 5, its web area 6. The
// web area holds two paragraphs (a line of text; a line of text with a link after it), a text area,
// a one-line text field, and a frame whose document is a web area of its own with one line of text.
#include <algorithm>
#include <array>

#include "platform/sim/internal.h"

namespace sw::sim {
namespace {

using namespace std::chrono_literals;

struct Selection {
    int from = 0, to = 0;  // the text elements of its ends
    std::string text;
    Rect rect;             // what a layout with text boxes measures
};

struct Browser {
    Engine engine = Engine::Chromium;
    bool activationRefinements = false;
    bool started = false;       // Firefox: its accessibility asked for, not yet running
    bool treeAsked = false;     // Chromium: the page tree asked for, not yet arrived
    bool pageOn = false;        // the page tree exists
    bool boundsCached = false;  // Firefox: text bounds fetched for its clients
    BrowserPage page{};
    int focus = 0;
    std::map<int, int> frameOf;           // each element of the page -> its document's web area
    std::set<int> textFields, staticTexts;
    std::map<int, Selection> selections;  // by document web area; Chromium keeps one for the page
    std::map<int, Rect> fieldSelections;  // by text field: what a layout with text boxes measures
};

std::map<ProcessId, Browser>& browsers() {
    static auto* models = new std::map<ProcessId, Browser>;
    return *models;
}

// Safari's pages answer from a WebContent process of their own, whose pid the model makes this far
// from Safari's. Its elements are the web area and all below it; the scroll area holding them is
// the web view's, in Safari's own process.
constexpr ProcessId kWebContentOffset = 1000;

// The browser an element's process belongs to: its own, or the one whose pages it answers for.
std::map<ProcessId, Browser>::iterator browserOf(ProcessId pid) {
    auto found = browsers().find(pid);
    if (found != browsers().end()) return found;
    found = browsers().find(pid - kWebContentOffset);
    return found != browsers().end() && found->second.engine == Engine::WebKit ? found : browsers().end();
}

// How long Chromium takes to deliver the page tree after the mode that asks for it is set.
constexpr auto kTreeArrives = 30ms;

// ---- What each engine implements, of the names a client of page text may ask ------------------
//
// Every element, in every engine: "AXRole", "AXParent", "AXChildren", "AXPosition", "AXSize".
//   Chromium: ui/accessibility/platform/ax_platform_node_cocoa.mm, kAllRoleAttributes of
//     -internalAccessibilityAttributeNames (browser UI and page alike; no "AXFrame").
//   Gecko: accessible/mac/MOXAccessibleProtocol.h (moxRole, moxUnignoredParent,
//     moxUnignoredChildren, moxPosition, moxSize), implemented in mozAccessible.mm, which also
//     implements moxFrame: "AXFrame".
//   WebKit: Source/WebCore/accessibility/mac/WebAccessibilityObjectWrapperMac.mm, the base
//     `attributes` of -accessibilityAttributeNames (no "AXFrame"; "AXRelativeFrame" instead).
// Text fields: "AXSelectedText", "AXSelectedTextRange" and, parameterised, "AXBoundsForRange"
//   (Chromium: browser_accessibility_cocoa.mm, IsTextField() in -internalAccessibilityAttributeNames
//   and the general list of -internalAccessibilityParameterizedAttributeNames; Gecko:
//   mozTextAccessible.mm; WebKit: textAttrs and the parameterised names of the same wrapper).
//   Chromium lists the first two for static text as well (kStaticText in ax_platform_node_cocoa.mm),
//   and answers "AXSelectedText" on every page element: browser_accessibility_cocoa.mm maps the
//   name to -selectedText with no role check (AppKit passes names a list leaves out through).
// Page elements: "AXSelectedTextMarkerRange" and, parameterised, "AXStringForTextMarkerRange",
//   "AXBoundsForTextMarkerRange", "AXUIElementForTextMarker" (Chromium: browser_accessibility_cocoa.mm,
//   both -internalAccessibility...Names; Gecko: MOXTextMarkerSupport in MOXAccessibleProtocol.h,
//   every element of a document through its text-marker delegate; WebKit: base `attributes` and
//   -accessibilityParameterizedAttributeNames of the wrapper). Of the ends of a range, Gecko has
//   "AXStartTextMarkerForTextMarkerRange" and "AXEndTextMarkerForTextMarkerRange"
//   (moxStartTextMarkerForTextMarkerRange, moxEndTextMarkerForTextMarkerRange); Chromium neither
//   (nor does ax_platform_node_cocoa.mm); WebKit only "_AXStartTextMarkerForTextMarkerRange" and
//   "_AXEndTextMarkerForTextMarkerRange", kept for its tests (WebAccessibilityObjectWrapperMac.h).
//   Chromium also lists "AXBoundsForRange" for every page element.
constexpr std::array kCommon{"AXRole", "AXParent", "AXChildren", "AXPosition", "AXSize"};
constexpr std::array kTextField{"AXSelectedText", "AXSelectedTextRange"};
constexpr std::array kPageMarkers{"AXStringForTextMarkerRange", "AXBoundsForTextMarkerRange",
                                  "AXUIElementForTextMarker"};
constexpr std::array kGeckoEnds{"AXStartTextMarkerForTextMarkerRange", "AXEndTextMarkerForTextMarkerRange"};
constexpr std::array kWebKitEnds{"_AXStartTextMarkerForTextMarkerRange", "_AXEndTextMarkerForTextMarkerRange"};

template <std::size_t N>
bool listed(const std::array<const char*, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool inPage(const Browser& b, int e) { return b.frameOf.contains(e); }

bool implemented(const Browser& b, int e, std::string_view name, bool parameterized) {
    const bool page = inPage(b, e), field = b.textFields.contains(e);
    if (!parameterized) {
        return listed(kCommon, name) || (name == "AXFrame" && b.engine == Engine::Firefox) ||
               (listed(kTextField, name) &&
                (field || (b.engine == Engine::Chromium && b.staticTexts.contains(e)))) ||
               (name == "AXSelectedText" && page && b.engine == Engine::Chromium) ||
               (name == "AXSelectedTextMarkerRange" && page);
    }
    if (name == "AXBoundsForRange") return field || (page && b.engine == Engine::Chromium);
    if (!page) return false;
    return listed(kPageMarkers, name) || (b.engine == Engine::Firefox && listed(kGeckoEnds, name)) ||
           (b.engine == Engine::WebKit && listed(kWebKitEnds, name));
}

// An element with its role, parent and place on the screen (top-left origin, points).
int element(ProcessId pid, const char* role, int parent, Rect frame) {
    const int e = addElement(pid);
    setAttribute(e, "AXRole", Answer::of(Text{role}));
    setAttribute(e, "AXParent", Answer::of(ElementRef{parent}));
    setAttribute(e, "AXFrame", Answer::of(RectValue{frame}));
    setAttribute(e, "AXPosition", Answer::of(PointValue{frame.x, frame.y}));
    setAttribute(e, "AXSize", Answer::of(SizeValue{frame.width, frame.height}));
    setAttribute(e, "AXChildren", Answer::of(ArrayValue{}));
    if (parent != 0) {
        std::get<ArrayValue>(*desktop().elements[parent].answers["AXChildren"].value).items.push_back(e);
    }
    return e;
}

// The selection an element answers for, if it answers for one. Chromium answers
// "AXSelectedTextMarkerRange" on every element of the page with the tree's one selection
// (GetSelectedRange in browser_accessibility_cocoa.mm). Gecko keeps one per document, cached from
// the selection events it sees once its accessibility runs (PlatformTextSelectionChangeEvent in
// accessible/mac/Platform.mm), and answers it on every element of that document. WebKit answers a
// frame's selection on the frame's web area.
const Selection* selectionFor(const Browser& b, int e, bool& answers) {
    answers = inPage(b, e) && (b.engine != Engine::WebKit || b.frameOf.at(e) == e);
    if (!answers) return nullptr;
    if (b.engine == Engine::Chromium) return b.selections.empty() ? nullptr : &b.selections.begin()->second;
    auto found = b.selections.find(b.frameOf.at(e));
    return found == b.selections.end() ? nullptr : &found->second;
}

const Selection* selectionOfRange(const Browser& b, Ref range) {
    for (const auto& [frame, selection] : b.selections) {
        if (selection.from == range->start && selection.to == range->end) return &selection;
    }
    return nullptr;
}

// The page's tree as the desktop holds it: an element's children, parent and frame.
const std::vector<int>& childrenOf(int e) {
    return std::get<ArrayValue>(*desktop().elements[e].answers["AXChildren"].value).items;
}
int parentOf(int e) { return std::get<ElementRef>(*desktop().elements[e].answers["AXParent"].value).element; }
Rect frameOfElement(int e) { return std::get<RectValue>(*desktop().elements[e].answers["AXFrame"].value).rect; }

bool within(int e, int ancestor) {
    for (; e != 0; e = parentOf(e)) {
        if (e == ancestor) return true;
    }
    return false;
}

// The next element in tree order (its first child, else the next sibling of itself or of its
// nearest ancestor that has one) within the document of `root`; 0 past its end.
int nextInTreeOrder(int e, int root) {
    if (!childrenOf(e).empty()) return childrenOf(e).front();
    for (; e != root; e = parentOf(e)) {
        const std::vector<int>& siblings = childrenOf(parentOf(e));
        auto at = std::find(siblings.begin(), siblings.end(), e);
        if (at + 1 != siblings.end()) return *(at + 1);
    }
    return 0;
}

Rect unite(Rect a, Rect b) {
    if (a.width <= 0 || a.height <= 0) return b;
    if (b.width <= 0 || b.height <= 0) return a;
    const double x = std::min(a.x, b.x), y = std::min(a.y, b.y);
    return {x, y, std::max(a.x + a.width, b.x + b.width) - x, std::max(a.y + a.height, b.y + b.height) - y};
}

// Text bounds in Gecko reach the parent process's cache only once a client needs them: the first
// question of a client it does not know requests them (RequestDomainsIfInactive) and is answered
// from the cache as it is, without them; the domains then stay on for known clients
// (GetCacheDomainsForKnownClients), so the next question is measured. The answer is a rectangle
// either way: GeckoTextMarkerRange::Bounds (accessible/mac/GeckoTextMarker.mm) wraps whatever it
// measured, nothing included, with valueWithRect:; moxBoundsForTextMarkerRange
// (MOXTextMarkerDelegate.mm) gives nil only for an invalid range, and a text field's
// moxBoundsForRange (mozTextAccessible.mm) goes through the same Bounds().
Answer geckoBounds(Browser& b, Rect measured) {
    if (!std::exchange(b.boundsCached, true)) return Answer::of(RectValue{{0, 0, 0, 0}});
    return Answer::of(RectValue{measured});
}

Answer bounds(Browser& b, const Selection* selection, Ref range) {
    switch (b.engine) {
        case Engine::Chromium: {
            // BrowserAccessibilityManager::GetRootFrameInnerTextRangeBoundsRect
            // (ui/accessibility/platform/browser_accessibility_manager.cc) walks from the start to
            // the end in tree order (NextInTreeOrder), adding the whole box of every element that
            // is not text and the inline text boxes of text, which Chromium builds in its complete
            // (screen reader) mode alone: in the mode a reading client turns on, text adds nothing.
            Rect united{0, 0, 0, 0};
            const int root = b.frameOf.at(range->start);
            for (int e = range->start; e != 0; e = nextInTreeOrder(e, root)) {
                if (!b.staticTexts.contains(e)) united = unite(united, frameOfElement(e));
                if (e == range->end) break;
            }
            return Answer::of(RectValue{united});
        }
        case Engine::Firefox:
            return geckoBounds(b, selection ? selection->rect : Rect{0, 0, 0, 0});
        case Engine::WebKit:
            if (selection == nullptr) return Answer::failure(kAXErrorNoValue);
            return Answer::of(RectValue{selection->rect});
    }
    return Answer::failure(kAXErrorNoValue);
}

// "AXBoundsForRange" of a page element. Chromium's -frameForRange: (browser_accessibility_cocoa.mm)
// gives CGRectNull, which the attribute answers as nil, for an element that is neither text nor a
// text field, and measures inline text boxes otherwise: in a reading client's mode there are none,
// in a text field either (chrome_browser_application_mac.mm, ax_mode.h), so a rectangle of no size.
// Gecko and WebKit measure the field's selection.
Answer fieldBounds(Browser& b, int e) {
    const bool field = b.textFields.contains(e);
    if (b.engine == Engine::Chromium) {
        if (!field && !b.staticTexts.contains(e)) return Answer::failure(kAXErrorNoValue);
        return Answer::of(RectValue{{0, 0, 0, 0}});
    }
    auto found = b.fieldSelections.find(e);
    if (!field || found == b.fieldSelections.end()) return Answer::failure(kAXErrorNoValue);
    return b.engine == Engine::Firefox ? geckoBounds(b, found->second) : Answer::of(RectValue{found->second});
}

void post(ProcessId pid, const char* notification) { postNotification(pid, notification); }

// WebKit posts what happens in a page from the WebContent process, on the page's own elements:
// AXObjectCache::postTextSelectionChangePlatformNotification and platformHandleFocusedUIElementChanged
// (Source/WebCore/accessibility/mac/AXObjectCacheMac.mm) run there. AppKit sends a process's
// notifications only to clients registered with that process (the same file, on AXLoadComplete),
// and the page object takes no presenter pid that would send them to observers of Safari
// (Source/WebKit/WebProcess/WebPage/mac/WebPageMac.mm, the FIXME where the page's accessibility
// object is made; compare Source/WebKit/WebProcess/Plugins/PDF/WKAccessibilityPDFDocumentObject.mm,
// which sets it so that VoiceOver "can set AX observers" on its nodes).
void postFromPage(const Browser& b, ProcessId pid, const char* notification) {
    post(b.engine == Engine::WebKit ? pageProcess(pid) : pid, notification);
}

// The focus moved from `from` to `to`. In WebKit the page tells of a focus in the page; the focus
// coming into the page from Safari's own views is also a change of Safari's first responder (the
// web view), which AppKit tells in Safari's process.
void postFocus(const Browser& b, ProcessId pid, int from, int to) {
    if (!inPage(b, to)) return post(pid, "AXFocusedUIElementChanged");
    postFromPage(b, pid, "AXFocusedUIElementChanged");
    if (b.engine == Engine::WebKit && !inPage(b, from)) post(pid, "AXFocusedUIElementChanged");
}

// Chromium builds the page tree after the mode change that asks for it, in the renderer, and
// posts the focus notification when the tree with the focus arrives (a tree update whose focus
// differs from the last one fires it: FireFocusEventsIfNeeded in
// ui/accessibility/platform/browser_accessibility_manager.cc), unless the view holding the page
// has no focus (AccessibilityViewHasFocus), as when the address bar has it.
void askForTree(Browser& b, ProcessId pid) {
    if (b.pageOn || std::exchange(b.treeAsked, true)) return;
    schedule(std::chrono::duration_cast<std::chrono::milliseconds>(kTreeArrives), [pid] {
        auto found = browsers().find(pid);
        if (found == browsers().end() || found->second.pageOn) return;
        found->second.pageOn = true;
        if (inPage(found->second, found->second.focus)) post(pid, "AXFocusedUIElementChanged");
    });
}

}  // namespace

BrowserPage addBrowser(ProcessId pid, const std::string& bundleIdentifier, Engine engine,
                       bool activationRefinements) {
    addApplication(pid, bundleIdentifier);
    Browser& b = browsers()[pid];
    b = Browser{};
    BrowserPage p{};
    p.window = element(pid, "AXWindow", 0, {0, 0, 1200, 900});
    const int root = element(pid, "AXGroup", p.window, {0, 0, 1200, 900});
    const int browserView = element(pid, "AXGroup", root, {0, 0, 1200, 900});
    const int top = element(pid, "AXGroup", browserView, {0, 0, 1200, 80});
    const int tabRegion = element(pid, "AXGroup", top, {0, 0, 1200, 28});
    const int tabStrip = element(pid, "AXTabGroup", tabRegion, {0, 0, 1140, 28});
    for (int i = 0; i < 30; ++i) element(pid, "AXRadioButton", tabStrip, {i * 38.0, 0, 38, 28});
    const int toolbar = element(pid, "AXToolbar", top, {0, 28, 1200, 28});
    for (int i = 0; i < 4; ++i) element(pid, "AXButton", toolbar, {i * 28.0, 28, 28, 28});
    const int location = element(pid, "AXGroup", toolbar, {150, 30, 700, 24});
    p.addressBar = element(pid, "AXTextField", location, {200, 30, 600, 24});
    for (int i = 0; i < 4; ++i) element(pid, "AXButton", toolbar, {1088 + i * 28.0, 28, 28, 28});
    const int bookmarks = element(pid, "AXToolbar", top, {0, 56, 1200, 24});
    for (int i = 0; i < 40; ++i) element(pid, "AXButton", bookmarks, {i * 30.0, 56, 30, 24});
    const int contents = element(pid, "AXGroup", browserView, {0, 80, 1200, 820});
    const int webView = element(pid, "AXGroup", contents, {0, 80, 1200, 820});
    p.container = element(pid, "AXScrollArea", webView, {0, 80, 1200, 820});
    p.webArea = element(pid, "AXWebArea", p.container, {0, 80, 1200, 820});
    p.paragraph1 = element(pid, "AXGroup", p.webArea, {20, 100, 400, 20});
    p.firstLine = element(pid, "AXStaticText", p.paragraph1, {20, 100, 400, 20});
    p.paragraph2 = element(pid, "AXGroup", p.webArea, {20, 124, 480, 20});
    p.secondLine = element(pid, "AXStaticText", p.paragraph2, {20, 124, 400, 20});
    p.link = element(pid, "AXLink", p.paragraph2, {420, 124, 80, 20});
    p.linkText = element(pid, "AXStaticText", p.link, {420, 124, 80, 20});
    p.textArea = element(pid, "AXTextArea", p.webArea, {20, 160, 300, 60});
    p.textField = element(pid, "AXTextField", p.webArea, {20, 230, 300, 24});
    const int host = element(pid, "AXGroup", p.webArea, {600, 300, 400, 300});
    p.frame = element(pid, "AXWebArea", host, {600, 300, 400, 300});
    p.frameText = element(pid, "AXStaticText", p.frame, {610, 310, 300, 20});
    // The container's children are the model's to answer: the web area only while the page tree is on.
    desktop().elements[p.container].answers.erase("AXChildren");
    setFocusedWindow(pid, Answer::of(ElementRef{p.window}));

    b.engine = engine;
    b.activationRefinements = activationRefinements;
    b.page = p;
    b.focus = p.webArea;
    // Safari: any accessibility request into the page turns its page processes on, so the tree
    // is there from the first question; nothing else is needed.
    b.pageOn = engine == Engine::WebKit;
    for (int e : {p.webArea, p.paragraph1, p.firstLine, p.paragraph2, p.secondLine, p.link, p.linkText,
                  p.textArea, p.textField, host}) {
        b.frameOf[e] = p.webArea;
    }
    for (int e : {p.frame, p.frameText}) b.frameOf[e] = p.frame;
    b.textFields = {p.addressBar, p.textArea, p.textField};
    b.staticTexts = {p.firstLine, p.linkText, p.secondLine, p.frameText};
    if (engine == Engine::WebKit) {
        addApplication(pageProcess(pid), std::nullopt);
        for (const auto& [e, frame] : b.frameOf) {
            desktop().elements[e].pid = pageProcess(pid);
            desktop().elements[e].ownProcess = true;
        }
    }
    return p;
}

ProcessId pageProcess(ProcessId browser) {
    auto found = browsers().find(browser);
    return found != browsers().end() && found->second.engine == Engine::WebKit ? browser + kWebContentOffset
                                                                              : browser;
}

namespace {

// Whatever was selected in the page's fields is no longer.
void clearFields(Browser& b) {
    for (const auto& [field, rect] : b.fieldSelections) {
        setSelectedText(field, Answer::of(Text{""}));
        setSelectedRange(field, Answer::of(RangeValue{0, 0}));
    }
    b.fieldSelections.clear();
}

// `caret`: a caret is left where nothing is selected, as after a click.
void changeSelection(ProcessId pid, int from, int to, std::string text, Rect rect, bool caret) {
    Browser& b = browsers().at(pid);
    clearFields(b);
    const int frame = b.frameOf.at(from);
    const bool none = text.empty();
    // Chromium keeps one selection for the page; a Gecko document or a WebKit frame keeps its own.
    // Gecko learns a selection only from the event of its change, which it sees only while its
    // accessibility runs: what was selected before is unknown to it.
    if (b.engine == Engine::Chromium) b.selections.clear();
    b.selections.erase(frame);
    if (!none && (b.engine != Engine::Firefox || b.pageOn)) b.selections[frame] = {from, to, std::move(text), rect};
    const int focusWas = std::exchange(b.focus, frame);
    if (!b.pageOn) return;  // no page tree, nothing to tell
    if (focusWas != frame) postFocus(b, pid, focusWas, frame);
    // All three post "AXSelectedTextChanged" (on the root web area and the changed element), except
    // WebKit when a selection becomes none: Source/WebCore/editing/mac/FrameSelectionMac.mm,
    // notifyAccessibilityForSelectionChange, posts only while the selection has a start and an end,
    // which the caret a click leaves has.
    if (caret || b.engine != Engine::WebKit) postFromPage(b, pid, "AXSelectedTextChanged");
}

}  // namespace

void selectInPage(ProcessId pid, int from, int to, std::string text, Rect rect) {
    changeSelection(pid, from, to, std::move(text), rect, true);
}

void removeSelection(ProcessId pid) {
    const int line = browsers().at(pid).page.firstLine;
    changeSelection(pid, line, line, "", {}, false);
}

void selectInField(ProcessId pid, int field, std::string text, Rect rect) {
    Browser& b = browsers().at(pid);
    // The selection moves into the field: out of Chromium's one selection of the page, and of the
    // selection of the field's document in the others.
    if (b.engine == Engine::Chromium) b.selections.clear();
    b.selections.erase(b.frameOf.at(field));
    clearFields(b);
    b.fieldSelections[field] = rect;
    setSelectedRange(field, Answer::of(RangeValue{0, static_cast<long>(text.size())}));
    setSelectedText(field, Answer::of(Text{std::move(text)}));
    const int focusWas = std::exchange(b.focus, field);
    if (!b.pageOn) return;
    if (focusWas != field) postFocus(b, pid, focusWas, field);
    postFromPage(b, pid, "AXSelectedTextChanged");
}

void focusElement(ProcessId pid, int e) {
    Browser& b = browsers().at(pid);
    const int focusWas = std::exchange(b.focus, e);
    if (b.pageOn || !inPage(b, e)) postFocus(b, pid, focusWas, e);
}

void resetModels() { browsers().clear(); }

std::optional<AXError> modelRefusal(ProcessId pid, int e, std::string_view name, bool parameterized) {
    auto found = browserOf(pid);
    if (e == 0 || found == browsers().end() || implemented(found->second, e, name, parameterized)) {
        return std::nullopt;
    }
    return parameterized ? platform::kAXErrorParameterizedAttributeUnsupported : kAXErrorAttributeUnsupported;
}

std::optional<Answer> modelAnswer(ProcessId pid, int e, std::string_view name, Ref parameter) {
    auto found = browserOf(pid);
    if (found == browsers().end() || (e == 0 && found->first != pid)) return std::nullopt;
    pid = found->first;
    Browser& b = found->second;
    const BrowserPage& p = b.page;
    if (b.started && !(e == 0 && name == "AXRole")) b.pageOn = true;
    if (e == 0) {  // the application
        if (name == "AXRole") {
            // Chromium's application class answers -accessibilityRole
            // (chrome/browser/chrome_browser_application_mac.mm) by adding the native-API mode,
            // and the web-contents mode too unless its macOS 14 "activation refinements" feature
            // is on (a server-controlled feature, off by default in the source). Reading Firefox's
            // application role starts its accessibility (GeckoNSApplication's -accessibilityRole
            // sets AXEnhancedUserInterface on itself, accessible/mac/Platform.mm), whose service
            // comes up at the next request.
            if (b.engine == Engine::Chromium && !b.activationRefinements) askForTree(b, pid);
            if (b.engine == Engine::Firefox) b.started = true;
        }
        // Asking for the focus turns nothing on, and without a page tree it gives nothing inside
        // the page: no element at all, as the view holding the page has none to give.
        if (name == "AXFocusedUIElement") {
            if (inPage(b, b.focus) && !b.pageOn) return Answer::failure(kAXErrorNoValue);
            return Answer::of(ElementRef{b.focus});
        }
        return std::nullopt;
    }

    // With the refinements, the web-contents mode comes when a client reads the role of the page's
    // own view (content/app_shim_remote_cocoa/render_widget_host_view_cocoa.mm, -accessibilityRole).
    if (e == p.container && name == "AXRole" && b.activationRefinements) askForTree(b, pid);
    if (e == p.container && name == "AXChildren") {
        return Answer::of(b.pageOn ? ArrayValue{{p.webArea}} : ArrayValue{});
    }
    if (inPage(b, e) && !b.pageOn) return Answer::failure(platform::kAXErrorInvalidUIElement);

    bool answers = false;
    const Selection* selection = selectionFor(b, e, answers);
    if (name == "AXSelectedTextMarkerRange" && inPage(b, e)) {
        if (selection == nullptr) return Answer::failure(kAXErrorNoValue);
        return Answer::of(MarkerRange{selection->from, selection->to});
    }
    // Chromium's -selectedText answers where HasVisibleCaretOrSelection (ui/accessibility/
    // ax_node.cc) holds: on the element the selection's focus lies in and its ancestors, for a
    // selection that is not collapsed. Its fields answer for their own selection, as below.
    if (name == "AXSelectedText" && inPage(b, e) && b.engine == Engine::Chromium && !b.textFields.contains(e)) {
        if (selection == nullptr || !within(selection->to, e)) return Answer::failure(kAXErrorNoValue);
        return Answer::of(Text{selection->text});
    }
    if (name == "AXBoundsForRange" && inPage(b, e)) return fieldBounds(b, e);
    if (!inPage(b, e) || parameter == nullptr || parameter->kind != Kind::MarkerRange) return std::nullopt;
    const Selection* asked = answers ? selectionOfRange(b, parameter) : nullptr;
    if (name == "AXStringForTextMarkerRange") return Answer::of(Text{asked ? asked->text : ""});
    if (name == "AXBoundsForTextMarkerRange") return bounds(b, asked, parameter);
    if (listed(kGeckoEnds, name) || listed(kWebKitEnds, name)) {
        return Answer::of(Marker{name.find("Start") != std::string_view::npos ? parameter->start : parameter->end});
    }
    return std::nullopt;
}

}  // namespace sw::sim
