#include "platform/uia/identity.h"

#include <string>

namespace sw::platform::uia {
namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '/') c = '\\';
    }
    return out;
}

bool contains(const std::string& s, std::string_view part) { return s.find(part) != std::string::npos; }

}  // namespace

std::optional<std::string> bundleForExecutable(std::string_view fullPath, std::string_view userModelId) {
    const std::string path = lower(fullPath);
    const std::size_t slash = path.rfind('\\');
    const std::string exe = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);

    if (exe == "chrome.exe") {
        // Every channel runs chrome.exe; the install folder tells them apart: Google\Chrome,
        // Google\Chrome SxS (Canary), Google\Chrome Beta, Google\Chrome Dev, and Chromium's own.
        if (contains(folder, "\\chrome sxs\\")) return "com.google.Chrome.canary";
        if (contains(folder, "\\chrome beta\\") || contains(folder, "\\chrome dev\\") ||
            contains(folder, "\\chromium\\")) {
            return std::nullopt;
        }
        return "com.google.Chrome";
    }
    if (exe == "msedge.exe") {
        if (contains(folder, "\\edge beta\\") || contains(folder, "\\edge dev\\") ||
            contains(folder, "\\edge sxs\\")) {
            return std::nullopt;
        }
        return "com.microsoft.edgemac";
    }
    if (exe == "firefox.exe") {
        if (contains(folder, "developer edition") || contains(folder, "nightly")) return std::nullopt;
        return "org.mozilla.firefox";
    }
    if (exe == "brave.exe") {
        if (contains(folder, "brave-browser-beta") || contains(folder, "brave-browser-nightly") ||
            contains(folder, "brave-browser-dev")) {
            return std::nullopt;
        }
        return "com.brave.Browser";
    }
    // Arc is an MSIX package of The Browser Company; its executable name alone says little.
    if (exe == "arc.exe" && (lower(userModelId).starts_with("thebrowsercompany.arc_") ||
                             contains(folder, "\\windowsapps\\thebrowsercompany.arc_"))) {
        return "company.thebrowser.Browser";
    }
    return std::nullopt;
}

}  // namespace sw::platform::uia
