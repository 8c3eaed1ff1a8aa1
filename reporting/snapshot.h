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

// A selection read in two steps: its text, which says whether there is one, and only for the line
// that reports it its rectangle, asked of the element that holds it.
struct SelectedText {
    std::string text;          // as in SelectionInfo
    bool unanswered = false;   // as in SelectionInfo
    platform::Owned element;   // the element whose selection `text` is; none when `text` is empty
    platform::Owned markers;   // a page's selection: its text-marker range; none in a text control
    bool textField = false;    // `element` is a text control (a text field, area, combo or search box)
};
SelectedText readSelectedText();
// The rectangle of what `selected` holds: none when it is empty, when its holder cannot say, or when
// the end of input comes while waiting for an answer.
std::optional<platform::Rect> selectionRect(const SelectedText& selected);

// Both at once, holding nothing afterwards.
SelectionInfo currentSelectionInfo();

// The "AXRole" of `element`, empty when it has none to give; `busy` tells that the application
// could not complete the question.
std::string roleOf(platform::Ref element, bool& busy);
// Whether `element` is a web page's (or a frame's) web area, by its role.
bool isWebArea(platform::Ref element, bool& busy);
// The nearest web area among the ancestors of `element` ("AXParent", at most 32 steps up, never
// above a window); none when there is none or the application is busy (`busy` set).
platform::Owned webAreaAbove(platform::Ref element, bool& busy);
// The value of a successful question when it is an accessibility element, else none.
platform::Owned asElement(platform::AXError code, platform::Owned value);

}  // namespace sw
