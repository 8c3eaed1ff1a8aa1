// The watcher's whole state: eight process-wide values, touched only on the main thread, except
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
// none. Replacing either releases what it held. Held in storage that is never destroyed, so that
// the exit releases nothing: what is watched at that moment stays reachable to the last.
inline platform::Owned& currentObserver = *new platform::Owned;
inline platform::Owned& currentAXApp = *new platform::Owned;

// Whether the watched browser may still answer a bounds question with an area when asked again a
// little later (Firefox measures text only after a new client's first question). Set at each
// attach; cleared once the answers stayed without area through every re-ask: such a browser
// measures no text for a reading client (Chromium), and waiting for it again would only delay
// each line.
inline bool boundsMayComeLater = true;

// The selection flag of the last selection event; none until the first evaluation.
inline std::optional<bool> lastEmitted;

// The process whose answer the reported state stands for: that of the browser last evaluated with
// an answer, none when no browser was in front. A browser that cannot answer keeps the reported
// state only if it is this one.
inline std::optional<platform::ProcessId> reportedFor;

}  // namespace sw
