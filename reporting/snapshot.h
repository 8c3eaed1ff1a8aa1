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

}  // namespace sw
