#include "reporting/snapshot.h"

#include <cmath>

#include "reporting/state.h"

namespace sw {
namespace {

bool copied(platform::AXError code, const platform::Owned& value) {
    return code == platform::kAXErrorSuccess && value;
}

// A positive, finite extent. NaN fails both "> 0" and "<= 0", so it is ruled out explicitly.
bool usableExtent(double extent) { return std::isfinite(extent) && extent > 0; }

}  // namespace

SelectionInfo currentSelectionInfo() {
    if (!currentAXApp) return {};

    platform::Owned focused;
    if (!copied(platform::copyAttributeValue(currentAXApp.get(), "AXFocusedUIElement", focused),
                focused)) {
        return {};
    }
    if (platform::getTypeID(focused.get()) != platform::elementTypeID()) return {};

    SelectionInfo info;
    platform::Owned selected;
    if (copied(platform::copyAttributeValue(focused.get(), "AXSelectedText", selected), selected) &&
        platform::isString(selected.get())) {
        info.text = platform::stringValue(selected.get());
    }
    if (info.text.empty()) return {};

    platform::Owned range;
    if (!copied(platform::copyAttributeValue(focused.get(), "AXSelectedTextRange", range), range)) {
        return info;
    }
    platform::Owned boundsValue;
    if (!copied(platform::copyParameterizedAttributeValue(focused.get(), "AXBoundsForRange",
                                                          range.get(), boundsValue),
                boundsValue)) {
        return info;
    }
    if (platform::valueGetType(boundsValue.get()) != platform::kAXValueTypeCGRect) return info;

    platform::Rect rect;
    if (!platform::valueGetRect(boundsValue.get(), rect) || !usableExtent(rect.width) ||
        !usableExtent(rect.height)) {
        return info;
    }
    info.bounds = rect;
    return info;
}

}  // namespace sw
