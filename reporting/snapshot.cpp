#include "reporting/snapshot.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "reporting/state.h"

namespace sw {
namespace {

using namespace std::chrono_literals;
using platform::AXError;
using platform::Owned;
using platform::Ref;

// How far up the parents a web area is looked for: deeper than any page nests its elements.
constexpr int kMaxClimb = 32;

bool copied(AXError code, const Owned& value) {
    return code == platform::kAXErrorSuccess && value;
}

SelectionInfo unanswered() {
    SelectionInfo info;
    info.unanswered = true;
    return info;
}

// A positive, finite extent. NaN fails both "> 0" and "<= 0", so it is ruled out explicitly.
bool usableExtent(double extent) { return std::isfinite(extent) && extent > 0; }

// The rectangle of a copied bounds answer, when it is one with a usable width and height.
std::optional<platform::Rect> usableRect(AXError code, const Owned& value) {
    if (!copied(code, value) || platform::valueGetType(value.get()) != platform::kAXValueTypeCGRect) {
        return std::nullopt;
    }
    platform::Rect rect;
    if (!platform::valueGetRect(value.get(), rect) || !usableExtent(rect.width) ||
        !usableExtent(rect.height)) {
        return std::nullopt;
    }
    return rect;
}

// Where an element lies on the screen: its "AXFrame", or else its "AXPosition" and "AXSize". Only
// a rectangle that is finite throughout and has an area counts.
std::optional<platform::Rect> frameOf(Ref element) {
    Owned frame;
    const AXError code = platform::copyAttributeValue(element, "AXFrame", frame);
    std::optional<platform::Rect> rect = usableRect(code, frame);
    if (!rect && code != platform::kAXErrorCannotComplete) {
        Owned position, size;
        platform::Point point;
        platform::Size extent;
        if (copied(platform::copyAttributeValue(element, "AXPosition", position), position) &&
            platform::valueGetPoint(position.get(), point) &&
            copied(platform::copyAttributeValue(element, "AXSize", size), size) &&
            platform::valueGetSize(size.get(), extent) && usableExtent(extent.width) &&
            usableExtent(extent.height)) {
            rect = platform::Rect{point.x, point.y, extent.width, extent.height};
        }
    }
    if (rect && !(std::isfinite(rect->x) && std::isfinite(rect->y))) return std::nullopt;
    return rect;
}

// The element that one end of a marker range lies in: the end's marker, which the range itself
// holds (taking it asks no application), then the element the application puts that marker in.
Owned elementAtEnd(Ref asked, Owned marker) {
    if (!marker || platform::getTypeID(marker.get()) != platform::textMarkerTypeID()) return {};
    Owned element;
    const AXError code = platform::copyParameterizedAttributeValue(asked, "AXUIElementForTextMarker",
                                                                   marker.get(), element);
    return asElement(code, std::move(element));
}

// The rectangle of a selection from the elements at its two ends, for browsers that measure no
// text (Chromium builds no text boxes for a client that only reads): the union of the two
// elements' frames, as wide as the web area when the ends lie on different lines, since the lines
// between them may reach further either way.
std::optional<platform::Rect> rectOfEnds(Ref asked, Ref markers) {
    Owned first = elementAtEnd(asked, platform::textMarkerRangeCopyStartMarker(markers));
    const std::optional<platform::Rect> start = first ? frameOf(first.get()) : std::nullopt;
    if (!start) return std::nullopt;
    Owned last = elementAtEnd(asked, platform::textMarkerRangeCopyEndMarker(markers));
    const std::optional<platform::Rect> end = last ? frameOf(last.get()) : std::nullopt;
    if (!end) return std::nullopt;

    const double top = std::min(start->y, end->y);
    const double left = std::min(start->x, end->x);
    platform::Rect rect{left, top, std::max(start->x + start->width, end->x + end->width) - left,
                        std::max(start->y + start->height, end->y + end->height) - top};
    const bool oneLine = start->y < end->y + end->height && end->y < start->y + start->height;
    if (!oneLine) {
        bool busy = false;
        Owned webArea = webAreaAbove(first.get(), busy);
        const std::optional<platform::Rect> page = webArea ? frameOf(webArea.get()) : std::nullopt;
        if (!page) return std::nullopt;
        rect.x = page->x;
        rect.width = page->width;
    }
    if (!usableExtent(rect.width) || !usableExtent(rect.height)) return std::nullopt;
    return rect;
}

// Whether a bounds question got no answer yet rather than a final one: Firefox answers nothing
// while it fetches the text bounds a client it does not know asks for.
bool notYetAnswered(AXError code, const Owned& value) {
    return (code == platform::kAXErrorSuccess && !value) || code == platform::kAXErrorNoValue ||
           code == platform::kAXErrorFailure;
}

// The rectangle of a marker range. A missing answer is asked again, twice at most, within 200 ms;
// an answer without area goes to the elements at the range's ends at once; a busy application is
// asked nothing more.
std::optional<platform::Rect> pageRect(Ref asked, Ref markers) {
    Owned bounds;
    AXError code = platform::copyParameterizedAttributeValue(asked, "AXBoundsForTextMarkerRange",
                                                             markers, bounds);
    const auto firstAnswer = std::chrono::steady_clock::now();
    for (const auto retryAt : {50ms, 150ms}) {
        if (!notYetAnswered(code, bounds) || std::chrono::steady_clock::now() > firstAnswer + retryAt) {
            break;
        }
        std::this_thread::sleep_until(firstAnswer + retryAt);
        code = platform::copyParameterizedAttributeValue(asked, "AXBoundsForTextMarkerRange", markers,
                                                         bounds);
    }
    if (code == platform::kAXErrorCannotComplete) return std::nullopt;
    if (std::optional<platform::Rect> rect = usableRect(code, bounds)) return rect;
    return rectOfEnds(asked, markers);
}

// A selection in a text control: its selected text, and the rectangle of its selected range.
SelectionInfo controlSelection(Ref focused) {
    SelectionInfo info;
    Owned selected;
    const AXError read = platform::copyAttributeValue(focused, "AXSelectedText", selected);
    if (read == platform::kAXErrorCannotComplete) return unanswered();
    if (copied(read, selected) && platform::isString(selected.get())) {
        info.text = platform::stringValue(selected.get());
    }
    if (info.text.empty()) return {};

    Owned range;
    if (!copied(platform::copyAttributeValue(focused, "AXSelectedTextRange", range), range)) {
        return info;
    }
    Owned bounds;
    const AXError code =
        platform::copyParameterizedAttributeValue(focused, "AXBoundsForRange", range.get(), bounds);
    info.bounds = usableRect(code, bounds);
    return info;
}

// A selection in page text, which browsers tell only through a text-marker range: its text and
// its rectangle are both asked with that range, of the element that gave it.
SelectionInfo pageSelection(Ref asked) {
    Owned markers;
    AXError read = platform::copyAttributeValue(asked, "AXSelectedTextMarkerRange", markers);
    if (read == platform::kAXErrorCannotComplete) return unanswered();
    if (!copied(read, markers) ||
        platform::getTypeID(markers.get()) != platform::textMarkerRangeTypeID()) {
        return {};
    }
    Owned text;
    read = platform::copyParameterizedAttributeValue(asked, "AXStringForTextMarkerRange",
                                                     markers.get(), text);
    if (read == platform::kAXErrorCannotComplete) return unanswered();
    if (!copied(read, text) || !platform::isString(text.get())) return {};
    SelectionInfo info;
    info.text = platform::stringValue(text.get());
    if (info.text.empty()) return {};
    info.bounds = pageRect(asked, markers.get());
    return info;
}

}  // namespace

Owned asElement(AXError code, Owned value) {
    if (!copied(code, value) || platform::getTypeID(value.get()) != platform::elementTypeID()) return {};
    return value;
}

bool isWebArea(Ref element, bool& busy) {
    Owned role;
    const AXError code = platform::copyAttributeValue(element, "AXRole", role);
    busy = code == platform::kAXErrorCannotComplete;
    return copied(code, role) && platform::isString(role.get()) &&
           platform::stringValue(role.get()) == "AXWebArea";
}

Owned webAreaAbove(Ref element, bool& busy) {
    busy = false;
    Owned ancestor;
    for (int step = 0; step < kMaxClimb; ++step) {
        Owned parent;
        const AXError code =
            platform::copyAttributeValue(ancestor ? ancestor.get() : element, "AXParent", parent);
        busy = code == platform::kAXErrorCannotComplete;
        ancestor = asElement(code, std::move(parent));
        if (!ancestor) return {};
        Owned role;
        const AXError read = platform::copyAttributeValue(ancestor.get(), "AXRole", role);
        busy = read == platform::kAXErrorCannotComplete;
        const std::string name = copied(read, role) && platform::isString(role.get())
                                     ? platform::stringValue(role.get())
                                     : std::string();
        if (name == "AXWebArea") return ancestor;
        // Pages lie inside windows: nothing above a window is a page, nor is the application.
        if (busy || name == "AXWindow" || name == "AXApplication") return {};
    }
    return {};
}

SelectionInfo currentSelectionInfo() {
    if (!currentAXApp) return {};

    Owned focused;
    const AXError code = platform::copyAttributeValue(currentAXApp.get(), "AXFocusedUIElement", focused);
    if (code == platform::kAXErrorCannotComplete) return unanswered();
    focused = asElement(code, std::move(focused));
    if (!focused) return {};

    // Text controls answer with their selected text; a web area has none to give for a selection
    // in its page, and is asked through its text-marker range instead.
    SelectionInfo info = controlSelection(focused.get());
    if (info.text.empty() && !info.unanswered) info = pageSelection(focused.get());
    if (!info.text.empty() || info.unanswered) return info;

    // The focus may be on a link, a button or a group of the page, or in another frame than the
    // selection. WebKit answers for a frame's selection only on the frame's web area: ask the
    // nearest one up from the focus, unless the focus is one itself and has answered already.
    bool busy = false;
    if (isWebArea(focused.get(), busy) || busy) return busy ? unanswered() : info;
    Owned webArea = webAreaAbove(focused.get(), busy);
    if (busy) return unanswered();
    return webArea ? pageSelection(webArea.get()) : info;
}

}  // namespace sw
