// Keeps the watcher pointed at the browser in front: one accessibility observer at a time, on the
// allowed browser that last became active.
#pragma once

#include "platform/platform.h"

namespace sw {

void handleFrontmostChange();
void attachObserver(platform::ProcessId forPid);
void tearDownObserver();
void axCallback(platform::Ref observer, platform::Ref element, platform::Ref notification,
                void* context);

}  // namespace sw
