// selection-watcher: reports, one JSON line per change on standard output, whether text is selected
// in the web browser in front. Lives until its standard input ends.
#include "platform/platform.h"
#include "reporting/output.h"
#include "reporting/state.h"
#include "watch/followup.h"
#include "watch/observer.h"

namespace {

void exitAtEndOfInput() { sw::platform::exitProcess(0); }

// The longest any accessibility call may hold the main thread. An activation of a browser that
// answers nothing makes four calls before giving up (two registrations, the wake-up read, the
// focus of the evaluation), so the end of input still ends the process within a second; a browser
// that answers at all does so in milliseconds, and one that is only slow is asked again at its
// next notification, the reported state standing meanwhile.
constexpr float kMessagingTimeoutSeconds = 0.2f;

// Runs on the utility worker: waits for the parent to close our input, then hands the exit to the
// main thread so it never cuts an evaluation or a line in half.
void stdinWatchdog() {
    sw::platform::readDataToEndOfFile(sw::stdinHandle);
    sw::platform::dispatchAsyncMain(exitAtEndOfInput);
}

}  // namespace

int main() {
    namespace platform = sw::platform;
    // ALLOWED_BUNDLES holds its seven identifiers from static initialisation on.
    sw::stderrHandle = platform::fileHandleWithStandardError();

    if (!platform::isProcessTrusted()) sw::exitAccessDenied();

    platform::setMessagingTimeout(kMessagingTimeoutSeconds);

    sw::stdinHandle = platform::fileHandleWithStandardInput();
    platform::dispatchAsyncUtility(stdinWatchdog);

    sw::currentObserver.reset();
    sw::currentAXApp.reset();
    sw::lastEmitted.reset();

    platform::addActivationObserver(sw::handleFrontmostChange);
    platform::addInputReleaseObserver(sw::handleInputRelease);
    sw::handleFrontmostChange();

    platform::runMainRunLoop();
    return 0;
}
