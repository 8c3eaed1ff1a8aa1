#include "reporting/snapshot.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "reporting/output.h"
#include "reporting/state.h"

namespace sw {
namespace {

using namespace std::chrono_literals;
using platform::AXError;
using platform::Owned;
using platform::Ref;

// How far up the parents a web area is looked for: deeper than any page nests its elements.
constexpr int kMaxClimb = 32;

// The roles of elements that hold their own text and selection.
bool isTextControl(const std::string& role) {
    return role == "AXTextField" || role == "AXTextArea" || role == "AXComboBox" || role == "AXSearchField";
}

bool copied(AXError code, const Owned& value) {
    return code == platform::kAXErrorSuccess && value;
}

SelectedText unanswered() {
    SelectedText read;
    read.unanswered = true;
    return read;
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

// Whether two rectangles share some area.
bool overlap(const platform::Rect& a, const platform::Rect& b) {
    return std::max(a.x, b.x) < std::min(a.x + a.width, b.x + b.width) &&
           std::max(a.y, b.y) < std::min(a.y + a.height, b.y + b.height);
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

// The elements at the two ends of a marker range and their frames, where they can be read.
struct Ends {
    Owned first;
    std::optional<platform::Rect> start, end;
};
Ends endsOf(Ref asked, Ref markers) {
    Ends ends;
    ends.first = elementAtEnd(asked, platform::textMarkerRangeCopyStartMarker(markers));
    if (ends.first) ends.start = frameOf(ends.first.get());
    if (!ends.start) return ends;
    Owned last = elementAtEnd(asked, platform::textMarkerRangeCopyEndMarker(markers));
    if (last) ends.end = frameOf(last.get());
    return ends;
}

// The rectangle of a selection from the elements at its two ends, for browsers that measure no
// text (Chromium builds no text boxes for a client that only reads): the union of the two
// elements' frames, as wide as the web area when the ends lie on different lines, since the lines
// between them may reach further either way.
std::optional<platform::Rect> rectOfEnds(const Ends& ends) {
    if (!ends.start || !ends.end) return std::nullopt;
    const std::optional<platform::Rect>& start = ends.start;
    const std::optional<platform::Rect>& end = ends.end;

    const double top = std::min(start->y, end->y);
    const double left = std::min(start->x, end->x);
    platform::Rect rect{left, top, std::max(start->x + start->width, end->x + end->width) - left,
                        std::max(start->y + start->height, end->y + end->height) - top};
    const bool oneLine = start->y < end->y + end->height && end->y < start->y + start->height;
    if (!oneLine) {
        bool busy = false;
        Owned webArea = webAreaAbove(ends.first.get(), busy);
        const std::optional<platform::Rect> page = webArea ? frameOf(webArea.get()) : std::nullopt;
        if (!page) return std::nullopt;
        rect.x = page->x;
        rect.width = page->width;
    }
    if (!usableExtent(rect.width) || !usableExtent(rect.height)) return std::nullopt;
    return rect;
}

// Whether a bounds question got no answer yet rather than a final one: nothing, or a rectangle
// without area. Firefox measures the text a client it does not know asks for only after that first
// question, which it answers from what it has: a rectangle of no size.
bool notYetAnswered(AXError code, const Owned& value) {
    if (code == platform::kAXErrorSuccess && value &&
        platform::valueGetType(value.get()) == platform::kAXValueTypeCGRect) {
        platform::Rect rect;
        return platform::valueGetRect(value.get(), rect) && (rect.width == 0 || rect.height == 0);
    }
    return (code == platform::kAXErrorSuccess && !value) || code == platform::kAXErrorNoValue ||
           code == platform::kAXErrorFailure;
}

// Asks a bounds question (`ask` puts its answer in `bounds` and gives the result code), and again
// while it is not answered yet, 50 and 150 ms after it was first asked: an answer that took longer
// than that was worked out already and is not asked for again. A browser whose answers stayed
// without area through both re-asks is asked once from then on, until the next attach. False when
// the end of input came while waiting: its answer is no longer wanted.
template <typename Ask>
bool askBounds(const Ask& ask, AXError& code, Owned& bounds) {
    const auto firstAsked = std::chrono::steady_clock::now();
    code = ask(bounds);
    if (!boundsMayComeLater) return true;
    int asked = 1;
    for (const auto retryAt : {50ms, 150ms}) {
        const auto left = firstAsked + retryAt - std::chrono::steady_clock::now();
        if (!notYetAnswered(code, bounds) || left < decltype(left)::zero()) break;
        const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        if (!platform::waitUnlessDispatched(static_cast<std::uint32_t>(milliseconds))) return false;
        code = ask(bounds);
        ++asked;
    }
    if (asked == 3 && notYetAnswered(code, bounds)) boundsMayComeLater = false;
    return true;
}

// The rectangle of a marker range: the one its holder answers, unless that one misses the element
// at either end (Chromium unites the boxes of the elements between the ends, not of the text at
// them: a selection into a link answers the link's box), or has no area; then the elements' own.
// A busy application is asked nothing more.
std::optional<platform::Rect> pageRect(Ref asked, Ref markers) {
    Owned bounds;
    AXError code = platform::kAXErrorSuccess;
    const auto ask = [&](Owned& answer) {
        return platform::copyParameterizedAttributeValue(asked, "AXBoundsForTextMarkerRange", markers,
                                                         answer);
    };
    if (!askBounds(ask, code, bounds) || code == platform::kAXErrorCannotComplete) return std::nullopt;
    const std::optional<platform::Rect> answered = usableRect(code, bounds);
    const Ends ends = endsOf(asked, markers);
    if (answered && (!ends.end || (overlap(*answered, *ends.start) && overlap(*answered, *ends.end)))) {
        return answered;
    }
    return rectOfEnds(ends);
}

// The selected text of a text control.
SelectedText controlSelection(Ref focused) {
    SelectedText read;
    Owned selected;
    const AXError code = platform::copyAttributeValue(focused, "AXSelectedText", selected);
    if (code == platform::kAXErrorCannotComplete) return unanswered();
    if (copied(code, selected) && platform::isString(selected.get())) {
        read.text = platform::stringValue(selected.get());
    }
    return read;
}

// The rectangle of a text control's selection: that of its selected range, asked again as a page's
// is while it is not answered yet. A text field that measures none (Chromium's, without text boxes
// for a reading client) gives its own frame, which holds the selection.
std::optional<platform::Rect> controlRect(Ref focused, bool textField) {
    Owned range;
    const AXError read = platform::copyAttributeValue(focused, "AXSelectedTextRange", range);
    if (read == platform::kAXErrorCannotComplete) return std::nullopt;
    Owned bounds;
    AXError code = platform::kAXErrorNoValue;
    const auto ask = [&](Owned& answer) {
        return platform::copyParameterizedAttributeValue(focused, "AXBoundsForRange", range.get(), answer);
    };
    if (copied(read, range) && (!askBounds(ask, code, bounds) || code == platform::kAXErrorCannotComplete)) {
        return std::nullopt;
    }
    if (std::optional<platform::Rect> rect = usableRect(code, bounds)) return rect;
    return textField ? frameOf(focused) : std::nullopt;
}

// A selection in page text, which browsers tell only through a text-marker range: its text is
// asked with that range, which is kept for the rectangle. None when the element has no such range.
std::optional<SelectedText> pageSelection(Ref asked) {
    Owned markers;
    AXError read = platform::copyAttributeValue(asked, "AXSelectedTextMarkerRange", markers);
    if (read == platform::kAXErrorAttributeUnsupported) return std::nullopt;
    if (read == platform::kAXErrorCannotComplete) return unanswered();
    if (!copied(read, markers) ||
        platform::getTypeID(markers.get()) != platform::textMarkerRangeTypeID()) {
        return SelectedText{};
    }
    Owned text;
    read = platform::copyParameterizedAttributeValue(asked, "AXStringForTextMarkerRange",
                                                     markers.get(), text);
    if (read == platform::kAXErrorCannotComplete) return unanswered();
    if (!copied(read, text) || !platform::isString(text.get())) return SelectedText{};
    SelectedText selected;
    selected.text = platform::stringValue(text.get());
    if (!selected.text.empty()) selected.markers = std::move(markers);
    return selected;
}

}  // namespace

Owned asElement(AXError code, Owned value) {
    if (!copied(code, value) || platform::getTypeID(value.get()) != platform::elementTypeID()) return {};
    return value;
}

std::string roleOf(Ref element, bool& busy) {
    Owned role;
    const AXError code = platform::copyAttributeValue(element, "AXRole", role);
    busy = code == platform::kAXErrorCannotComplete;
    return copied(code, role) && platform::isString(role.get()) ? platform::stringValue(role.get())
                                                                : std::string();
}

bool isWebArea(Ref element, bool& busy) { return roleOf(element, busy) == "AXWebArea"; }

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

SelectedText readSelectedText() {
    if (!currentAXApp) return {};

    Owned focused;
    const AXError code = platform::copyAttributeValue(currentAXApp.get(), "AXFocusedUIElement", focused);
    if (code == platform::kAXErrorCannotComplete) return unanswered();
    if (code == platform::kAXErrorAPIDisabled) exitAccessDenied();  // access revoked while running
    focused = asElement(code, std::move(focused));
    if (!focused) return {};

    // Text controls answer with their selected text and range. Page elements are asked through
    // their text-marker range: Chromium's answer "AXSelectedText" too, for the page's selection,
    // but cannot measure it by a range of their own. Elements without marker ranges (systems that
    // have none) are asked as text controls.
    bool busy = false;
    const std::string role = roleOf(focused.get(), busy);
    if (busy) return unanswered();
    const bool textField = isTextControl(role);
    std::optional<SelectedText> page = textField ? std::nullopt : pageSelection(focused.get());
    SelectedText read = page ? std::move(*page) : controlSelection(focused.get());
    read.textField = textField;
    if (!read.text.empty()) read.element = std::move(focused);
    if (!read.text.empty() || read.unanswered) return read;

    // The focus may be on a link, a button or a group of the page, or in another frame than the
    // selection. WebKit answers for a frame's selection only on the frame's web area: ask the
    // nearest one up from the focus, unless the focus is one itself and has answered already.
    if (role == "AXWebArea") return read;
    Owned webArea = webAreaAbove(focused.get(), busy);
    if (busy) return unanswered();
    if (!webArea) return read;
    read = pageSelection(webArea.get()).value_or(SelectedText{});
    if (!read.text.empty()) read.element = std::move(webArea);
    return read;
}

std::optional<platform::Rect> selectionRect(const SelectedText& selected) {
    if (selected.text.empty() || !selected.element) return std::nullopt;
    return selected.markers ? pageRect(selected.element.get(), selected.markers.get())
                            : controlRect(selected.element.get(), selected.textField);
}

SelectionInfo currentSelectionInfo() {
    SelectedText read = readSelectedText();
    SelectionInfo info;
    info.bounds = selectionRect(read);
    info.text = std::move(read.text);
    info.unanswered = read.unanswered;
    return info;
}

}  // namespace sw
