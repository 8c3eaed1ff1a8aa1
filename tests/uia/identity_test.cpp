// Which running executables are the seven browsers, by path and package: channels that are not
// watched on macOS (Beta, Dev, Nightly, Chromium) are not watched on Windows either.
#include "platform/uia/identity.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using sw::platform::uia::bundleForExecutable;

TEST(Identity, ExecutablesAndFoldersMapToIdentifiers) {
    const struct {
        std::optional<std::string> bundle;
        std::vector<const char*> paths;
    } rows[] = {
        {"com.google.Chrome",
         {R"(C:\Users\a\AppData\Local\Google\Chrome\Application\CHROME.EXE)",
          "C:/Program Files/Google/Chrome/Application/chrome.exe"}},
        {"com.google.Chrome.canary", {R"(C:\Users\a\AppData\Local\Google\Chrome SxS\Application\chrome.exe)"}},
        {"org.mozilla.firefox", {R"(C:\Program Files\Mozilla Firefox\firefox.exe)"}},
        {"company.thebrowser.Browser",
         {R"(C:\Program Files\WindowsApps\TheBrowserCompany.Arc_1.2.3.0_x64__ttt1ap7aakyb4\Arc.exe)"}},
        {std::nullopt,
         {R"(C:\Program Files\Google\Chrome Beta\Application\chrome.exe)",
          R"(C:\Users\a\AppData\Local\Chromium\Application\chrome.exe)",
          R"(C:\Program Files (x86)\Microsoft\Edge Beta\Application\msedge.exe)",
          R"(C:\Tools\Arc.exe)", R"(C:\chrome.exe.bak)", ""}},
    };
    for (const auto& row : rows) {
        for (const char* path : row.paths) EXPECT_EQ(bundleForExecutable(path, ""), row.bundle) << path;
    }
    // Arc installed elsewhere is still known by its package.
    EXPECT_EQ(bundleForExecutable(R"(D:\Apps\Arc\Arc.exe)", "TheBrowserCompany.Arc_ttt1ap7aakyb4!Arc"),
              "company.thebrowser.Browser");
}

}  // namespace
