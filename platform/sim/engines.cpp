// Models of the three browser engines as a client of their accessibility sees them, each written
// from what the engine's own source does (files and functions named below), not from what the
// watcher needs. A model browser has one window: a toolbar with the address bar, and the page
// container holding the page's web area (two lines of text, a link, and a frame whose document is a
// web area of its own). Its elements answer roles, parents, children and frames like any element
// of the desktop; the model answers what depends on its state: whether its page tree is on, where
// the focus is, and what is selected.
#include "platform/sim/internal.h"

namespace sw::sim {
namespace {

struct Selection {
    int from = 0, to = 0;  // the text elements of its ends
    std::string text;
    Rect rect;             // what a layout with text boxes measures
};

struct Browser {
    Engine engine = Engine::Chromium;
    bool activationRefinements = false;
    bool started = false;       // Firefox: its accessibility asked for, not yet running
    bool pageOn = false;        // the page tree exists
    bool boundsCached = false;  // Firefox: text bounds fetched for its clients
    BrowserPage page{};
    int focus = 0;
    std::map<int, int> frameOf;           // each element of the page -> its frame's web area
    std::map<int, Selection> selections;  // by frame web area; Chromium and Firefox keep one
};

std::map<ProcessId, Browser>& browsers() {
    static auto* models = new std::map<ProcessId, Browser>;
    return *models;
}

// An element with its role, parent and place on the screen (top-left origin, points).
int element(ProcessId pid, const char* role, int parent, Rect frame) {
    const int e = addElement(pid);
    setAttribute(e, "AXRole", Answer::of(Text{role}));
    setAttribute(e, "AXParent", Answer::of(ElementRef{parent}));
    setAttribute(e, "AXFrame", Answer::of(RectValue{frame}));
    setAttribute(e, "AXPosition", Answer::of(PointValue{frame.x, frame.y}));
    setAttribute(e, "AXSize", Answer::of(SizeValue{frame.width, frame.height}));
    if (parent != 0) {
        Answer& children = desktop().elements[parent].answers["AXChildren"];
        if (!children.value) children = Answer::of(ArrayValue{});
        std::get<ArrayValue>(*children.value).items.push_back(e);
    }
    return e;
}

bool inPage(const Browser& b, int e) { return b.frameOf.contains(e); }

// The selection an element answers for, if it answers for one. Chromium and Firefox answer
// "AXSelectedTextMarkerRange" on every element of the page, with the page's (the document's) one
// selection; WebKit answers it per frame, on the frame's web area.
const Selection* selectionFor(const Browser& b, int e, bool& answers) {
    answers = inPage(b, e) && (b.engine != Engine::WebKit || b.frameOf.at(e) == e);
    if (!answers) return nullptr;
    if (b.engine == Engine::WebKit) {
        auto found = b.selections.find(e);
        return found == b.selections.end() ? nullptr : &found->second;
    }
    return b.selections.empty() ? nullptr : &b.selections.begin()->second;
}

const Selection* selectionOfRange(const Browser& b, Ref range) {
    for (const auto& [frame, selection] : b.selections) {
        if (selection.from == range->start && selection.to == range->end) return &selection;
    }
    return nullptr;
}

Answer bounds(Browser& b, const Selection* selection) {
    switch (b.engine) {
        case Engine::Chromium:
            // Text rectangles come only from inline text boxes, which Chromium builds in its
            // complete (screen reader) mode alone: BrowserAccessibility::
            // GetInnerTextRangeBoundsRectInSubtree finds none in the mode a reading client turns
            // on, and nothing on macOS loads them on demand. The answer is a rectangle of no size.
            return Answer::of(RectValue{{0, 0, 0, 0}});
        case Engine::Firefox:
            // Text bounds reach the parent process's cache only once a client needs them: the
            // first question of a client it does not know requests them (RequestDomainsIfInactive)
            // and answers empty; the domains then stay on for known clients
            // (GetCacheDomainsForKnownClients), so the next question is answered.
            if (!std::exchange(b.boundsCached, true)) return Answer::failure(kAXErrorNoValue);
            [[fallthrough]];
        case Engine::WebKit:
            if (selection == nullptr) return Answer::failure(kAXErrorNoValue);
            return Answer::of(RectValue{selection->rect});
    }
    return Answer::failure(kAXErrorNoValue);
}

void post(ProcessId pid, const char* notification) { postNotification(pid, notification); }

}  // namespace

BrowserPage addBrowser(ProcessId pid, const std::string& bundleIdentifier, Engine engine,
                       bool activationRefinements) {
    addApplication(pid, bundleIdentifier);
    BrowserPage p{};
    p.window = element(pid, "AXWindow", 0, {0, 0, 1200, 900});
    const int toolbar = element(pid, "AXToolbar", p.window, {0, 28, 1200, 52});
    p.addressBar = element(pid, "AXTextField", toolbar, {200, 40, 600, 28});
    p.container = element(pid, "AXScrollArea", p.window, {0, 80, 1200, 820});
    p.webArea = element(pid, "AXWebArea", p.container, {0, 80, 1200, 820});
    // The container's children are the model's to answer: the web area only while the page tree is on.
    desktop().elements[p.container].answers.erase("AXChildren");
    p.firstLine = element(pid, "AXStaticText", p.webArea, {20, 100, 400, 20});
    p.secondLine = element(pid, "AXStaticText", p.webArea, {20, 124, 600, 20});
    p.link = element(pid, "AXLink", p.webArea, {20, 150, 80, 20});
    const int host = element(pid, "AXGroup", p.webArea, {600, 300, 400, 300});
    p.frame = element(pid, "AXWebArea", host, {600, 300, 400, 300});
    p.frameText = element(pid, "AXStaticText", p.frame, {610, 310, 300, 20});
    setFocusedWindow(pid, Answer::of(ElementRef{p.window}));

    Browser& b = browsers()[pid];
    b = Browser{};
    b.engine = engine;
    b.activationRefinements = activationRefinements;
    b.page = p;
    b.focus = p.webArea;
    // Safari: any accessibility request into the page turns its page processes on, so the tree
    // is there from the first question; nothing else is needed.
    b.pageOn = engine == Engine::WebKit;
    for (int e : {p.webArea, p.firstLine, p.secondLine, p.link, host}) b.frameOf[e] = p.webArea;
    for (int e : {p.frame, p.frameText}) b.frameOf[e] = p.frame;
    for (const auto& [e, frame] : b.frameOf) setSelectedText(e, Answer::failure(kAXErrorAttributeUnsupported));
    return p;
}

void selectInPage(ProcessId pid, int from, int to, std::string text, Rect rect) {
    Browser& b = browsers().at(pid);
    const int frame = b.frameOf.at(from);
    const bool none = text.empty();
    // Chromium and Firefox keep one selection for the page; a WebKit frame keeps its own.
    if (b.engine != Engine::WebKit) b.selections.clear();
    b.selections.erase(frame);
    if (!none) b.selections[frame] = {from, to, std::move(text), rect};
    const bool focusMoved = std::exchange(b.focus, frame) != frame;
    if (!b.pageOn) return;  // no page tree, nothing to tell
    if (focusMoved) post(pid, "AXFocusedUIElementChanged");
    // All three post "AXSelectedTextChanged" (on the root web area and the changed element), except
    // WebKit when a selection becomes none: Source/WebCore/editing/mac/FrameSelectionMac.mm,
    // notifyAccessibilityForSelectionChange, posts nothing then (a FIXME citing WebKit bug 279524).
    if (!(none && b.engine == Engine::WebKit)) post(pid, "AXSelectedTextChanged");
}

void focusElement(ProcessId pid, int e) {
    Browser& b = browsers().at(pid);
    b.focus = e;
    if (b.pageOn || !inPage(b, e)) post(pid, "AXFocusedUIElementChanged");
}

void resetModels() { browsers().clear(); }

std::optional<Answer> modelAnswer(ProcessId pid, int e, std::string_view name, Ref parameter) {
    auto found = browsers().find(pid);
    if (found == browsers().end()) return std::nullopt;
    Browser& b = found->second;
    const BrowserPage& p = b.page;
    if (b.started && !(e == 0 && name == "AXRole")) b.pageOn = true;
    if (e == 0) {  // the application
        if (name == "AXRole") {
            // Chromium's application class answers -accessibilityRole
            // (chrome/browser/chrome_browser_application_mac.mm) by adding the native-API mode,
            // and the web-contents mode too unless its macOS 14 "activation refinements" feature
            // is on (a server-controlled feature, off by default in the source). Reading Firefox's
            // application role starts its accessibility (it then sets AXEnhancedUserInterface on
            // itself, its own choice), whose service comes up at the next request.
            if (b.engine == Engine::Chromium && !b.activationRefinements) b.pageOn = true;
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
    if (e == p.container && name == "AXRole" && b.activationRefinements) b.pageOn = true;
    if (e == p.container && name == "AXChildren") {
        return Answer::of(b.pageOn ? ArrayValue{{p.webArea}} : ArrayValue{});
    }
    if (inPage(b, e) && !b.pageOn) return Answer::failure(platform::kAXErrorInvalidUIElement);

    bool answers = false;
    const Selection* selection = selectionFor(b, e, answers);
    if (!answers) return std::nullopt;
    if (name == "AXSelectedTextMarkerRange") {
        if (selection == nullptr) return Answer::failure(kAXErrorNoValue);
        return Answer::of(MarkerRange{selection->from, selection->to});
    }
    const Selection* asked = parameter != nullptr && parameter->kind == Kind::MarkerRange
                                 ? selectionOfRange(b, parameter)
                                 : nullptr;
    if (name == "AXStringForTextMarkerRange") return Answer::of(Text{asked ? asked->text : ""});
    if (name == "AXBoundsForTextMarkerRange") return bounds(b, asked);
    return std::nullopt;
}

}  // namespace sw::sim
