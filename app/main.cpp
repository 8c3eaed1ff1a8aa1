// selection-watcher: reports, one JSON line per change on standard output, whether text is selected
// in the web browser in front. Lives until its standard input ends.
#include "platform/platform.h"
#include "reporting/output.h"
#include "reporting/state.h"
#include "watch/followup.h"
#include "watch/observer.h"

namespace {

void exitAtEndOfInput() { sw::platform::exitProcess(0); }

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
    sw::stderr = platform::fileHandleWithStandardError();

    if (!platform::isProcessTrusted()) {
        sw::emit({{"error", std::string("ax_permission_denied")}});
        platform::exitProcess(2);
    }

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
