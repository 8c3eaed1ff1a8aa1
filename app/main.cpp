// selection-watcher: reports, one JSON line per change on standard output, whether text is selected
// in the web browser in front. Lives until its standard input ends.
#include <string>
#include <string_view>

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

constexpr std::string_view kHelp =
    "selection-watcher " SW_VERSION "\n"
    "Writes on standard output one JSON line each time the user starts or stops having text\n"
    "selected in the web browser in front, with the browser and the selection's rectangle on the\n"
    "screen. An application starts it as a child process, reads its output, and ends it by closing\n"
    "its standard input. Its lines, exit statuses and standard error are described in\n"
    "docs/protocol.md: in the source, in /usr/share/doc/selection-watcher/docs/ from the .deb,\n"
    "in share/doc/selection-watcher/docs/ of the macOS archive and in docs/ of the Windows zip.\n"
    "\n"
    "Options (a parent passes none):\n"
    "  --help     print this text\n"
    "  --version  print the version\n";

// The parents pass no argument, so anything else is a mistake worth stopping on at once: status
// 64 (a usage error, as in BSD's sysexits) and the reason on standard error.
void handleArguments(int argc, char** argv) {
    if (argc < 2) return;
    const std::string_view argument = argv[1];
    if (argc == 2 && argument == "--version") {
        sw::platform::writeStandardOutput("selection-watcher " SW_VERSION "\n");
        sw::platform::exitProcess(0);
    }
    if (argc == 2 && argument == "--help") {
        sw::platform::writeStandardOutput(kHelp);
        sw::platform::exitProcess(0);
    }
    std::string_view unexpected = argument;
    if (argument == "--help" || argument == "--version") unexpected = argv[2];
    sw::logErr("selection-watcher: unexpected argument '" + std::string(unexpected) +
               "': it takes none (--help and --version, alone, tell what it is)");
    sw::platform::exitProcess(64);
}

}  // namespace

int main(int argc, char** argv) {
    namespace platform = sw::platform;
    // ALLOWED_BUNDLES holds its seven identifiers from static initialisation on.
    sw::stderrHandle = platform::fileHandleWithStandardError();
    handleArguments(argc, argv);

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
