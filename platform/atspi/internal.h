// Shared between the files of the AT-SPI backend only.
#pragma once

#include <atspi/atspi.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace sw::platform::atspi {

// Value type code of a text range, as on macOS.
inline constexpr int kValueTypeRange = 4;

// Collects the error of one libatspi call at a time, and frees it.
struct ErrorSink {
    ErrorSink() = default;
    ErrorSink(const ErrorSink&) = delete;
    ErrorSink& operator=(const ErrorSink&) = delete;
    GError* error = nullptr;
    ~ErrorSink() { g_clear_error(&error); }
    GError** out() {
        g_clear_error(&error);
        return &error;
    }
    bool failed() const { return error != nullptr; }
};

// A GObject reference that is dropped exactly once.
template <typename T>
class GRef {
public:
    GRef() = default;
    explicit GRef(T* object) : object_(object) {}  // takes over a reference
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    GRef(GRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    GRef& operator=(GRef&& other) noexcept {
        if (this != &other) reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    ~GRef() { reset(); }
    void reset(T* object = nullptr) {
        T* old = std::exchange(object_, object);
        if (old != nullptr) g_object_unref(old);
    }
    static GRef share(T* object) {
        if (object != nullptr) g_object_ref(object);
        return GRef(object);
    }
    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T* object_ = nullptr;
};

using Accessible = GRef<AtspiAccessible>;

// A stretch of plain text [start, end) in one accessible, holding no embedded-object character.
struct Run {
    Accessible owner;
    int start = 0;
    int end = 0;
};

// The selection as the user sees it under an accessible: its text with embedded objects replaced
// by their own selected text, and the plain runs it is made of.
struct Selection {
    std::string text;
    std::vector<Run> runs;
};

// The selected ranges of one accessible's own text.
std::vector<std::pair<int, int>> selectedRanges(AtspiAccessible* accessible);

// Resolves the given ranges of `accessible`, descending into embedded objects.
Selection resolveSelection(AtspiAccessible* accessible,
                           const std::vector<std::pair<int, int>>& ranges);

// On-screen rectangle of the runs, asked until two answers agree; none when nothing is measurable.
std::optional<Rect> measureRuns(const std::vector<Run>& runs);

// The focused accessible inside a window (the document in pages, the entry in form fields).
Accessible focusedDescendant(AtspiAccessible* window);

bool hasState(AtspiAccessible* accessible, AtspiStateType state);

// Process id of the application owning an accessible, remembered per bus connection; 0 if unknown.
ProcessId processOf(AtspiAccessible* accessible);

}  // namespace sw::platform::atspi
