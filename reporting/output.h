// The two output channels: the event stream on standard output (one JSON object per line) and
// diagnostic lines on standard error.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace sw {

using Bounds = std::map<std::string, std::int64_t>;
using EventValue = std::variant<bool, std::string, Bounds>;
using Event = std::map<std::string, EventValue>;

// Compact JSON for an event, or none when it cannot be serialised (a string that is not UTF-8).
std::optional<std::string> serialiseEvent(const Event& event);

// Writes the event as one line on standard output and flushes it. A line that cannot be serialised
// is dropped silently.
void emit(const Event& event);

// Writes the message and a line feed, unbuffered, on standard error. Never fails the caller.
void logErr(std::string_view message);

// Writes the permission line and ends the process with status 2: accessibility access is not
// granted, at start or any time later.
[[noreturn]] void exitAccessDenied();

}  // namespace sw
