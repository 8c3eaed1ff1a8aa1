// The parents that every platform's process test plays against the watcher as a child process:
// the scenario they start it on, the cases they share, and the interpreter of their scripts. Each
// platform's test brings its own Child (pipes and process handling) with the same members.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace sw::test {

// How the parent sets up the child, or-ed together; each platform adds flags of its own from 4 up.
constexpr int kNoStdin = 2;  // no standard input at all

constexpr const char* kPresent =
    R"({"app":"org.mozilla.firefox","bounds":{"height":21,"width":100,"x":11,"y":-4},"selection":true})";
constexpr const char* kCleared = R"({"selection":false})";
constexpr const char* kPresentWithoutBounds = R"({"app":"org.mozilla.firefox","selection":true})";

// Firefox (501) in front with a word selected, so the first line is kPresent; TextEdit is 502 and
// Chrome 503.
inline std::string scenario(const std::string& extra) {
    return "app 501 org.mozilla.firefox\napp 502 com.apple.TextEdit\napp 503 com.google.Chrome\n"
           "front 501\ntext 501 hello world\nbounds 501 10.5 -3.5 100.4 20.6\n" + extra;
}

inline const std::string kSelectNothing = "step text 501 ; notify 501 AXSelectedTextChanged\n";
// A diagnostic at start-up (501's registration), another when Chrome comes to the front.
inline const std::string kFailingObservers =
    "register 501 AXFocusedUIElementChanged -25200\ncreate 503 -25204\n"
    "step activate 503\nstep activate 501\nstep burst 501 100\n";

// The thread sanitizer sleeps a second before a process exits, to catch late races.
#ifdef __SANITIZE_THREAD__
constexpr long kExitSleepMs = 1000;
#else
constexpr long kExitSleepMs = 0;
#endif

// What a child has written on stdout (1) and stderr (2), line by line, for each platform's Child:
// `read` fills a buffer from the descriptor and gives the bytes read, none or fewer at the end.
class ChildOutput {
public:
    // Bytes read that do not form a whole line (a line cut short at the end).
    const std::string& pendingOutput() const { return pending_[1]; }

protected:
    // The next line without its line feed; none at the end. A line that never comes is a hang,
    // which the test's time limit turns into a failure.
    template <typename Read>
    std::optional<std::string> nextLine(int fd, Read read) {
        std::string& pending = pending_[fd];
        for (char buffer[65536]; pending.find('\n') == std::string::npos;) {
            const long n = read(buffer, sizeof buffer);
            if (n <= 0) return std::nullopt;
            pending.append(buffer, static_cast<std::size_t>(n));
        }
        std::string line = pending.substr(0, pending.find('\n'));
        pending.erase(0, line.size() + 1);
        return line;
    }

private:
    std::string pending_[3];
};

struct Parent {
    const char* name;
    int setup;
    std::string extra;   // added to the scenario
    const char* script;  // what the parent does and expects, token by token (below)
    std::string ending;  // "exit N" or "signal N"
    const char* argument = nullptr;  // on its command line
};

// The cases every platform runs; brokenPipe is how the watcher ends once its reader has gone.
inline std::vector<Parent> sharedParents(const std::string& brokenPipe) {
    return {
        {"no access", 0, "trusted no\n", "j E -", "exit 2"},
        // The exit must wait for the evaluation in progress to write its line.
        {"input at end during the first evaluation", 0, "hold\n", "i P -", "exit 0"},
        {"no input during the first evaluation", kNoStdin, "hold\n", "P -", "exit 0"},
        {"another application in front at start", 0, "front 502\n", "C j i -", "exit 0"},
        {"main loop returns", 0, "step stop\n", "P s -", "exit 0"},
        {"stdout closed", 0, kSelectNothing, "P o s", brokenPipe},
        {"stderr closed by the parent", 0, kFailingObservers, "P r e s", brokenPipe},
        {"failing observers", 0, kFailingObservers, "P r s C c s P s B i -", "exit 0"},
        // Made again 250 ms on, it brings the evaluation that tells of the change.
        {"a registration that ran out at start", 0,
         "register 501 AXSelectedTextChanged -25204 once\n" + kSelectNothing, "P s C i -", "exit 0"},
        // Firefox's selection does not stand for a Chrome that answers nothing.
        {"a hung browser brought to the front", 0, "step hang 503 ; activate 503\n", "P s C i -", "exit 0"},
        // Told by the focus read of an evaluation, and by the making of an observer.
        {"access taken away while running", 0, "step trusted no ; notify 501 AXSelectedTextChanged\n",
         "P s E -", "exit 2"},
        {"access taken away, then Chrome in front", 0, "step trusted no ; activate 503\n", "P s E -", "exit 2"},
        // Answered before access is checked, which fails here.
        {"--version", 0, "trusted no\n", "V -", "exit 0", "--version"},
        {"--help", 0, "trusted no\n", "H", "exit 0", "--help"},
        {"an argument that a typo made", 0, "trusted no\n", "- u", "exit 64", "--verison"},
    };
}

// P, C, E: the next line is kPresent, kCleared, the permission error; F: any first selection line;
// "-": output ends; B, L: a burst on 501 of 100 lines or, read after a pause of 1.5 s, of 20,000
// (cleared, present, ...); r, c: the next diagnostic is the failed registration, the failed
// creation; s: release a step; j: write junk into stdin; i, o, e: close stdin, stdout, stderr;
// V, H: the version line, the help (the version line first, then text naming the protocol's
// page, to the end); u: the next diagnostic refuses the argument "--verison"; w, W: wait 20 ms, 300 ms;
// T: the output has ended within a second of the last close of stdin; x: close stdin, and the output
// ends within 100 ms, maybe after the line of an evaluation under way. Then the child's ending, and
// no line cut short.
template <typename Child>
void play(const Parent& run) {
    static const std::string junk = [] {  // binary, NULs and line feeds included
        std::string bytes(1 << 20, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + (i >> 9));
        return bytes;
    }();
    SCOPED_TRACE(run.name);
    Child child(scenario(run.extra), run.setup, run.argument);
    std::istringstream script(run.script);
    auto closed = std::chrono::steady_clock::now();
    for (char token; script >> token;) {
        SCOPED_TRACE(token);
        switch (token) {
            case 'P': EXPECT_EQ(child.readLine(), kPresent); break;
            case 'C': EXPECT_EQ(child.readLine(), kCleared); break;
            case 'F': EXPECT_EQ(child.readLine().value_or("").rfind(R"({"selection":)", 0), 0u); break;
            case 'E': EXPECT_EQ(child.readLine(), R"({"error":"ax_permission_denied"})"); break;
            case 'V': EXPECT_EQ(child.readLine(), "selection-watcher " SW_VERSION); break;
            case 'H': {
                EXPECT_EQ(child.readLine(), "selection-watcher " SW_VERSION);
                std::string text;
                for (std::optional<std::string> line; (line = child.readLine());) text += *line + "\n";
                EXPECT_NE(text.find("docs/protocol.md"), std::string::npos) << text;
            } break;
            case 'u':
                EXPECT_EQ(child.readLine(2), "selection-watcher: unexpected argument '--verison': it takes "
                                             "none (--help and --version, alone, tell what it is)");
                break;
            case '-': EXPECT_EQ(child.readLine(), std::nullopt); break;
            case 'L': std::this_thread::sleep_for(std::chrono::milliseconds(1500)); [[fallthrough]];
            case 'B':
                for (long i = 0, n = token == 'B' ? 100 : 20000; i < n; ++i) {
                    const auto line = child.readLine();
                    ASSERT_EQ(line, i % 2 == 0 ? kCleared : kPresent) << "line " << i << " of " << n;
                }
                break;
            case 'r':
                EXPECT_EQ(child.readLine(2), "AXObserverAddNotification AXFocusedUIElementChanged failed: -25200");
                break;
            case 'c': EXPECT_EQ(child.readLine(2), "AXObserverCreate failed: -25204"); break;
            case 's': child.step(); break;
            case 'j': child.writeStdin(junk); break;
            case 'i': child.close(0), closed = std::chrono::steady_clock::now(); break;
            case 'w': std::this_thread::sleep_for(std::chrono::milliseconds(20)); break;
            case 'W': std::this_thread::sleep_for(std::chrono::milliseconds(300)); break;
            case 'T':
                EXPECT_LT(std::chrono::steady_clock::now() - closed, std::chrono::milliseconds(1000 + kExitSleepMs));
                break;
            case 'x': {
                const auto closed = std::chrono::steady_clock::now();
                child.close(0);
                for (std::optional<std::string> line; (line = child.readLine());) {
                    EXPECT_EQ(line, kPresentWithoutBounds);
                }
                const auto took = std::chrono::steady_clock::now() - closed;
                EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 100 + kExitSleepMs);
            } break;
            case 'o': child.close(1); break;
            case 'e': child.close(2); break;
        }
    }
    EXPECT_EQ(child.ending(), run.ending);
    EXPECT_EQ(child.pendingOutput(), "") << "a line cut short";
}

}  // namespace sw::test
