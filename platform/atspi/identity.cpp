#include "platform/atspi/identity.h"

#include <array>
#include <climits>
#include <string>
#include <unistd.h>

namespace sw::platform::atspi {
namespace {

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

bool containsNoCase(std::string_view s, std::string_view word) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (word.size() > s.size()) return false;
    for (std::size_t i = 0; i + word.size() <= s.size(); ++i) {
        std::size_t k = 0;
        while (k < word.size() && lower(s[i + k]) == lower(word[k])) ++k;
        if (k == word.size()) return true;
    }
    return false;
}

template <std::size_t N>
bool oneOf(std::string_view s, const std::array<std::string_view, N>& names) {
    for (std::string_view name : names) {
        if (s == name) return true;
    }
    return false;
}

}  // namespace

std::optional<std::string> bundleForIdentity(std::string_view name, std::string_view exe) {
    static constexpr std::array<std::string_view, 3> firefox{"firefox", "firefox-esr", "firefox-bin"};
    if (name == "Firefox" || oneOf(exe, firefox)) return "org.mozilla.firefox";

    static constexpr std::array<std::string_view, 5> edge{
        "msedge", "microsoft-edge", "microsoft-edge-stable", "microsoft-edge-beta",
        "microsoft-edge-dev"};
    if (startsWith(name, "Microsoft Edge") || oneOf(exe, edge)) return "com.microsoft.edgemac";

    static constexpr std::array<std::string_view, 3> brave{"brave", "brave-browser",
                                                           "brave-browser-stable"};
    if (startsWith(name, "Brave") || oneOf(exe, brave)) return "com.brave.Browser";

    // Every Chrome channel and Chromium run an executable called "chrome"; only the accessible
    // name tells them apart, and Chromium ("Chromium") is not one of the watched browsers.
    static constexpr std::array<std::string_view, 2> canary{"google-chrome-unstable",
                                                            "google-chrome-canary"};
    const bool chromeName = startsWith(name, "Google Chrome");
    if ((chromeName && (containsNoCase(name, "unstable") || containsNoCase(name, "canary"))) ||
        oneOf(exe, canary)) {
        return "com.google.Chrome.canary";
    }
    static constexpr std::array<std::string_view, 2> chrome{"google-chrome",
                                                            "google-chrome-stable"};
    if (chromeName || oneOf(exe, chrome)) return "com.google.Chrome";
    return std::nullopt;
}

std::string executableBaseName(int pid) {
    if (pid <= 0) return {};
    char target[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return {};
    std::string path(target, static_cast<std::size_t>(n));
    // An executable replaced by an upgrade while running reads "<path> (deleted)".
    constexpr std::string_view deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        std::string_view(path).substr(path.size() - deleted.size()) == deleted) {
        path.resize(path.size() - deleted.size());
    }
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace sw::platform::atspi
