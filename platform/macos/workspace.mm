// The workspace: which application is in front, and word when another one comes to the front.
#import <AppKit/AppKit.h>

#include "platform/macos/bridge.h"

namespace sw::platform {
namespace {

// The running application behind a Ref made by frontmostApplication, or nil for anything else.
NSRunningApplication* runningApplication(Ref application) {
    if (application == nullptr) return nil;
    id object = (__bridge id)macos::cf(application);
    return [object isKindOfClass:NSRunningApplication.class] ? object : nil;
}

}  // namespace

Owned frontmostApplication() {
    @autoreleasepool {
        // An Objective-C object handed to Owned like any CF reference: retained once here and
        // given back by release() with CFRelease. Nil gives an empty Owned.
        NSRunningApplication* front = NSWorkspace.sharedWorkspace.frontmostApplication;
        return Owned::adopt(macos::ref(CFBridgingRetain(front)));
    }
}

std::optional<std::string> bundleIdentifier(Ref application) {
    @autoreleasepool {
        NSString* bundle = runningApplication(application).bundleIdentifier;
        if (bundle == nil) return std::nullopt;
        return macos::stringFromCF((__bridge CFStringRef)bundle);
    }
}

ProcessId processIdentifier(Ref application) {
    @autoreleasepool {
        NSRunningApplication* app = runningApplication(application);
        return app == nil ? -1 : app.processIdentifier;
    }
}

void addActivationObserver(Task handler) {
    if (handler == nullptr) return;
    @autoreleasepool {
        // The center keeps the block and the returned token for as long as the subscription
        // lasts, which is the life of the process; nothing here needs to hold them.
        [NSWorkspace.sharedWorkspace.notificationCenter
            addObserverForName:NSWorkspaceDidActivateApplicationNotification
                        object:nil
                         queue:NSOperationQueue.mainQueue
                    usingBlock:^(NSNotification*) {
                      macos::runGuarded(handler);
                    }];
    }
}

}  // namespace sw::platform
