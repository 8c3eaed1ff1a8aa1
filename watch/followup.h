// Evaluations after a released mouse button or key. A browser may clear a selection on a click or a
// key and tell nobody (WebKit posts nothing when a selection becomes none), and may bring its
// accessibility tree up to date a little after acting on the input: so a release brings an
// evaluation at once and again 100, 400 and 1,000 ms after it. The backends only hear releases.
#pragma once

namespace sw {

// A button or key was released (the handler given to platform::addInputReleaseObserver). While a
// browser is watched, starts the series afresh; a series already running is dropped.
void handleInputRelease();

// Drops the series (the observer goes): nothing wakes up for it any more.
void endFollowUps();

}  // namespace sw
