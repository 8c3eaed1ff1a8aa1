#include "reporting/snapshot.h"

#include <cmath>

#include "reporting/state.h"

namespace sw {
namespace {

bool copied(platform::AXError code, const platform::Owned& value) {
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
std::optional<platform::Rect> usableRect(platform::AXError code, const platform::Owned& value) {
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

// A selection in a text control: its selected text, and the rectangle of its selected range.
SelectionInfo controlSelection(platform::Ref focused) {
    SelectionInfo info;
    platform::Owned selected;
    const platform::AXError read = platform::copyAttributeValue(focused, "AXSelectedText", selected);
    if (read == platform::kAXErrorCannotComplete) return unanswered();
    if (copied(read, selected) && platform::isString(selected.get())) {
        info.text = platform::stringValue(selected.get());
    }
    if (info.text.empty()) return {};

    platform::Owned range;
    if (!copied(platform::copyAttributeValue(focused, "AXSelectedTextRange", range), range)) {
        return info;
    }
    platform::Owned bounds;
    const platform::AXError code =
        platform::copyParameterizedAttributeValue(focused, "AXBoundsForRange", range.get(), bounds);
    info.bounds = usableRect(code, bounds);
    return info;
}

// A selection in page text, which browsers tell only through a text-marker range of the web area:
// its text and its rectangle are both asked with that range.
SelectionInfo pageSelection(platform::Ref focused) {
    platform::Owned markers;
    platform::AXError read =
        platform::copyAttributeValue(focused, "AXSelectedTextMarkerRange", markers);
    if (read == platform::kAXErrorCannotComplete) return unanswered();
    if (!copied(read, markers) ||
        platform::getTypeID(markers.get()) != platform::textMarkerRangeTypeID()) {
        return {};
    }
    platform::Owned text;
    read = platform::copyParameterizedAttributeValue(focused, "AXStringForTextMarkerRange",
                                                     markers.get(), text);
    if (read == platform::kAXErrorCannotComplete) return unanswered();
    if (!copied(read, text) || !platform::isString(text.get())) return {};
    SelectionInfo info;
    info.text = platform::stringValue(text.get());
    if (info.text.empty()) return {};

    platform::Owned bounds;
    const platform::AXError code = platform::copyParameterizedAttributeValue(
        focused, "AXBoundsForTextMarkerRange", markers.get(), bounds);
    info.bounds = usableRect(code, bounds);
    return info;
}

}  // namespace

SelectionInfo currentSelectionInfo() {
    if (!currentAXApp) return {};

    platform::Owned focused;
    const platform::AXError code =
        platform::copyAttributeValue(currentAXApp.get(), "AXFocusedUIElement", focused);
    if (code == platform::kAXErrorCannotComplete) return unanswered();
    if (!copied(code, focused)) return {};
    if (platform::getTypeID(focused.get()) != platform::elementTypeID()) return {};

    // Text controls answer with their selected text; a web area has none to give for a selection
    // in its page, and is asked through its text-marker range instead.
    SelectionInfo info = controlSelection(focused.get());
    if (info.text.empty() && !info.unanswered) info = pageSelection(focused.get());
    return info;
}

}  // namespace sw
