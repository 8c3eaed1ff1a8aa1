// What is selected in the focused element of the watched application, and where it lies.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace sw {

struct SelectionInfo {
    std::string text;                       // empty when nothing is selected or it cannot be read
    std::optional<platform::Rect> bounds;   // absent when unknown; width and height always > 0
    // The application did not answer in time (busy or hung): whether anything is selected is
    // unknown, and `text` is empty only for that reason.
    bool unanswered = false;
};

SelectionInfo currentSelectionInfo();

// Whether `element` is a web page's (or a frame's) web area, by its "AXRole". `busy` tells that the
// application could not complete the question.
bool isWebArea(platform::Ref element, bool& busy);
// The nearest web area among the ancestors of `element` ("AXParent", at most 32 steps up, never
// above a window); none when there is none or the application is busy (`busy` set).
platform::Owned webAreaAbove(platform::Ref element, bool& busy);
// The value of a successful question when it is an accessibility element, else none.
platform::Owned asElement(platform::AXError code, platform::Owned value);

}  // namespace sw
