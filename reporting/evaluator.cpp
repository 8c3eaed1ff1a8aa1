#include "reporting/evaluator.h"

#include <cmath>

#include "reporting/snapshot.h"
#include "reporting/state.h"

namespace sw {

bool isAllowedBrowser(const std::optional<std::string>& bundleIdentifier) {
    return bundleIdentifier && ALLOWED_BUNDLES.contains(*bundleIdentifier);
}

std::optional<std::int64_t> roundToInt64(double value) {
    // Halves away from zero. Not std::round: Windows' msvcrt rounds as floor(x + 0.5), which
    // makes 0.49999999999999994 a 1. The fraction value - trunc(value) is exact.
    double rounded = std::trunc(value);
    if (std::fabs(value - rounded) >= 0.5) rounded += std::copysign(1.0, value);
    // 2^63 is exact as a double; every finite double in [-2^63, 2^63) converts without overflow.
    constexpr double limit = 9223372036854775808.0;
    if (!(rounded >= -limit && rounded < limit)) return std::nullopt;  // also rejects NaN
    return static_cast<std::int64_t>(rounded);
}

std::optional<Bounds> boundsMember(const platform::Rect& rect) {
    const auto x = roundToInt64(rect.x);
    const auto y = roundToInt64(rect.y);
    const auto width = roundToInt64(rect.width);
    const auto height = roundToInt64(rect.height);
    if (!x || !y || !width || !height) return std::nullopt;
    // An extent under half a unit rounds to 0; a rectangle without area is not reported either.
    if (*width <= 0 || *height <= 0) return std::nullopt;
    return Bounds{{"x", *x}, {"y", *y}, {"width", *width}, {"height", *height}};
}

namespace {
std::uint64_t begun = 0;  // main thread only
}  // namespace

std::uint64_t evaluationsBegun() { return begun; }

void evaluateAndEmit() {
    ++begun;
    platform::Owned front = platform::frontmostApplication();
    const bool browserInFront = front && isAllowedBrowser(platform::bundleIdentifier(front.get()));

    if (!browserInFront) {
        reportedFor.reset();
        if (lastEmitted != false) {
            emit({{"selection", false}});
            lastEmitted = false;
        }
        return;
    }

    // Whether anything is selected is decided on the text alone: the rectangle is asked only for
    // the line that reports a selection, as nobody sees it otherwise.
    const SelectedText selected = readSelectedText();
    // A browser too busy to answer has not cleared its selection: what was reported of it stands
    // until it answers again. What was reported of another application does not stand for it: that
    // goes out as "no selection", as does the first report.
    const platform::ProcessId asked = platform::processIdentifier(front.get());
    if (selected.unanswered && lastEmitted.has_value() && reportedFor == asked) return;
    if (!selected.unanswered) reportedFor = asked;
    const bool hasSelection = !selected.text.empty();
    if (lastEmitted == hasSelection) return;

    if (!hasSelection) {
        emit({{"selection", false}});
    } else {
        const std::optional<platform::Rect> rect = selectionRect(selected);
        // Read again, from the same application object, at the moment of the transition.
        Event event{{"selection", true},
                    {"app", platform::bundleIdentifier(front.get()).value_or("")}};
        if (rect) {
            if (auto bounds = boundsMember(*rect)) event.emplace("bounds", std::move(*bounds));
        }
        emit(event);
    }
    lastEmitted = hasSelection;
}

}  // namespace sw
