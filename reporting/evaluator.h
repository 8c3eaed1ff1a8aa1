// The one place that decides what the parent is told: a selection event each time the
// "is anything selected in the browser in front" flag changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "reporting/output.h"

namespace sw {

bool isAllowedBrowser(const std::optional<std::string>& bundleIdentifier);

// Rounds half away from zero to a signed 64-bit integer; none when the value is not finite or
// falls outside that range.
std::optional<std::int64_t> roundToInt64(double value);

// The "bounds" member for a rectangle, or none when any of its four numbers has no integer form or
// the rounded width or height is not positive.
std::optional<Bounds> boundsMember(const platform::Rect& rect);

void evaluateAndEmit();

// How many evaluations have begun so far: tells whether one ran since a given moment.
std::uint64_t evaluationsBegun();

}  // namespace sw
