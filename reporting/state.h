// The watcher's whole state: six process-wide values, touched only on the main thread, except
// `stdinHandle`, which the stdin watchdog reads after main has set it for good.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "platform/platform.h"

namespace sw {

// The browsers whose selections are reported, by exact, case-sensitive bundle identifier.
inline const std::set<std::string, std::less<>> ALLOWED_BUNDLES{
    "com.apple.Safari",        "com.google.Chrome",   "com.google.Chrome.canary",
    "com.brave.Browser",       "org.mozilla.firefox", "company.thebrowser.Browser",
    "com.microsoft.edgemac",
};

// Unbuffered standard error (descriptor 2), written straight through: not the C library's buffered
// stream, whose name is a macro on some systems.
inline platform::FileHandle stderrHandle;

// Standard input (descriptor 0); only its end is ever looked for.
inline platform::FileHandle stdinHandle;

// The observer of the watched browser and that browser's application element: both set, or both
// none. Replacing either releases what it held.
inline platform::Owned currentObserver;
inline platform::Owned currentAXApp;

// The selection flag of the last selection event; none until the first evaluation.
inline std::optional<bool> lastEmitted;

}  // namespace sw
