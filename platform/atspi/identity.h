// Linux has no bundle identifiers: a desktop application is known by its accessible name and its
// executable. This maps the browsers the watcher knows to the identifiers the parent already sees
// on macOS, so both systems speak one protocol.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sw::platform::atspi {

// The identifier for an application with this accessible name and executable base name, or none.
// Never one of the watched identifiers for a browser that is not watched (Chromium included).
std::optional<std::string> bundleForIdentity(std::string_view accessibleName,
                                             std::string_view executable);

// Base name of the executable of a process, from /proc/PID/exe; empty when it cannot be read.
std::string executableBaseName(int pid);

}  // namespace sw::platform::atspi
