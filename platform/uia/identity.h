// Windows has no bundle identifiers: a browser is known by its executable and where it is
// installed, and Arc by its package. This maps the browsers the watcher knows to the identifiers
// the parent already sees on macOS, so every system speaks one protocol.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sw::platform::uia {

// The identifier for a process with this full executable path (UTF-8, either slash) and
// application user model id (empty when it has none), or none. Beta, Dev and nightly channels,
// and Chromium, are not among the seven, as on macOS.
std::optional<std::string> bundleForExecutable(std::string_view path, std::string_view userModelId);

}  // namespace sw::platform::uia
