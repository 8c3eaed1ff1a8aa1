// Reading a selection out of AT-SPI text: pages are trees of text objects in which each child
// stands in its parent's text as one U+FFFC character, so the selection seen at one level has to be
// followed down into the children that carry it.
#include <algorithm>
#include <cmath>
#include <map>
#include <string>

#include "platform/atspi/internal.h"

namespace sw::platform::atspi {
namespace {

constexpr gunichar kEmbeddedObject = 0xFFFC;
constexpr int kMaxDepth = 32;          // page trees are shallow; this only stops cycles
// A browser still laying out its accessible text answers 0,0,0,0 for a few tens of milliseconds.
constexpr gint64 kSettleMicroseconds = 500 * 1000;
constexpr int kMaxMeasurements = 1000;
constexpr gulong kRetryMicroseconds = 1000;

void resolveRanges(AtspiAccessible* accessible, const std::vector<std::pair<int, int>>& ranges,
                   int depth, Selection& out);

// The child that an embedded-object character at `offset` stands for.
Accessible embeddedChild(AtspiAccessible* accessible, int offset) {
    GRef<AtspiHypertext> hypertext(atspi_accessible_get_hypertext_iface(accessible));
    if (!hypertext) return {};
    ErrorSink error;
    const int index = atspi_hypertext_get_link_index(hypertext.get(), offset, error.out());
    if (error.failed() || index < 0) return {};
    GRef<AtspiHyperlink> link(atspi_hypertext_get_link(hypertext.get(), index, error.out()));
    if (error.failed() || !link) return {};
    return Accessible(atspi_hyperlink_get_object(link.get(), 0, error.out()));
}

int characterCount(AtspiAccessible* accessible) {
    GRef<AtspiText> text(atspi_accessible_get_text_iface(accessible));
    if (!text) return 0;
    ErrorSink error;
    const int n = atspi_text_get_character_count(text.get(), error.out());
    return error.failed() ? 0 : std::max(n, 0);
}

// Appends the text of [start, end) of `accessible`: plain stretches become runs, each embedded
// object contributes its own selection.
void resolveRange(AtspiAccessible* accessible, int start, int end, int depth, Selection& out) {
    GRef<AtspiText> text(atspi_accessible_get_text_iface(accessible));
    if (!text || end <= start) return;
    ErrorSink error;
    gchar* raw = atspi_text_get_text(text.get(), start, end, error.out());
    if (error.failed() || raw == nullptr) {
        g_free(raw);
        return;
    }
    std::string chars(raw);
    g_free(raw);
    if (!g_utf8_validate(chars.data(), static_cast<gssize>(chars.size()), nullptr)) return;

    int offset = start, runStart = start;
    std::size_t runByte = 0;
    const auto flush = [&](int runEnd, std::size_t byteEnd) {
        if (runEnd > runStart) {
            out.text.append(chars, runByte, byteEnd - runByte);
            out.runs.push_back({Accessible::share(accessible), runStart, runEnd});
        }
    };
    for (const char* p = chars.c_str(); *p != '\0'; p = g_utf8_next_char(p), ++offset) {
        if (g_utf8_get_char(p) != kEmbeddedObject) continue;
        const std::size_t byte = static_cast<std::size_t>(p - chars.c_str());
        flush(offset, byte);
        runStart = offset + 1;
        runByte = static_cast<std::size_t>(g_utf8_next_char(p) - chars.c_str());
        if (depth >= kMaxDepth) continue;
        Accessible child = embeddedChild(accessible, offset);
        if (!child) continue;
        std::vector<std::pair<int, int>> childRanges = selectedRanges(child.get());
        // A child lying wholly inside a longer selection may not report a selection of its own.
        if (childRanges.empty() && end - start > 1) childRanges.emplace_back(0, characterCount(child.get()));
        resolveRanges(child.get(), childRanges, depth + 1, out);
    }
    flush(offset, chars.size());
}

void resolveRanges(AtspiAccessible* accessible, const std::vector<std::pair<int, int>>& ranges,
                   int depth, Selection& out) {
    for (const auto& [start, end] : ranges) resolveRange(accessible, start, end, depth, out);
}

struct Box {
    double left = 0, top = 0, right = 0, bottom = 0;
    bool empty = true;

    bool ready = true;  // false when some extents were the "not laid out yet" zeros

    void add(const AtspiRect* r) {
        if (r == nullptr) return;
        if (r->x == 0 && r->y == 0 && r->width == 0 && r->height == 0) ready = false;
        if (r->width <= 0 || r->height <= 0) return;
        const double l = r->x, t = r->y, rr = double(r->x) + r->width, b = double(r->y) + r->height;
        if (empty) {
            left = l, top = t, right = rr, bottom = b;
            empty = false;
        } else {
            left = std::min(left, l), top = std::min(top, t);
            right = std::max(right, rr), bottom = std::max(bottom, b);
        }
    }
    bool operator==(const Box& other) const {
        return empty == other.empty && left == other.left && top == other.top &&
               right == other.right && bottom == other.bottom;
    }
};

Box measureOnce(const std::vector<Run>& runs) {
    Box box;
    for (const Run& run : runs) {
        GRef<AtspiText> text(atspi_accessible_get_text_iface(run.owner.get()));
        if (!text) continue;
        ErrorSink error;
        // The last character on its own: a range that ends just before an embedded object is
        // measured as if it covered that object.
        if (run.end - run.start > 1) {
            AtspiRect* r = atspi_text_get_range_extents(text.get(), run.start, run.end - 1,
                                                        ATSPI_COORD_TYPE_SCREEN, error.out());
            if (!error.failed()) box.add(r);
            g_free(r);
        }
        AtspiRect* last = atspi_text_get_character_extents(text.get(), run.end - 1,
                                                           ATSPI_COORD_TYPE_SCREEN, error.out());
        if (!error.failed()) box.add(last);
        g_free(last);
    }
    return box;
}

}  // namespace

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
    GRef<AtspiStateSet> states(atspi_accessible_get_state_set(accessible));
    return states && atspi_state_set_contains(states.get(), state);
}

std::vector<std::pair<int, int>> selectedRanges(AtspiAccessible* accessible) {
    std::vector<std::pair<int, int>> ranges;
    GRef<AtspiText> text(atspi_accessible_get_text_iface(accessible));
    if (!text) return ranges;
    ErrorSink error;
    const int n = atspi_text_get_n_selections(text.get(), error.out());
    for (int i = 0; !error.failed() && i < n; ++i) {
        AtspiRange* range = atspi_text_get_selection(text.get(), i, error.out());
        if (!error.failed() && range != nullptr && range->end_offset > range->start_offset) {
            ranges.emplace_back(range->start_offset, range->end_offset);
        }
        g_free(range);
    }
    return ranges;
}

Selection resolveSelection(AtspiAccessible* accessible,
                           const std::vector<std::pair<int, int>>& ranges) {
    Selection out;
    resolveRanges(accessible, ranges, 0, out);
    return out;
}

std::optional<Rect> measureRuns(const std::vector<Run>& runs) {
    // A browser that has not laid out its accessible text yet answers with zeros, then with part of
    // the range: an answer is trusted once it comes twice in a row. Bounded, and only ever long for
    // a document nobody has measured before.
    const gint64 deadline = g_get_monotonic_time() + kSettleMicroseconds;
    std::optional<Box> previous;
    for (int i = 0; i < kMaxMeasurements && g_get_monotonic_time() < deadline; ++i) {
        Box box = measureOnce(runs);
        if (!box.ready) {
            // Give the browser a moment rather than a stream of queries while it lays out.
            previous.reset();
            g_usleep(kRetryMicroseconds);
            continue;
        }
        if (previous && box == *previous) break;
        previous = box;
    }
    if (!previous || previous->empty) return std::nullopt;
    return Rect{previous->left, previous->top, previous->right - previous->left,
                previous->bottom - previous->top};
}

Accessible focusedDescendant(AtspiAccessible* window) {
    GRef<AtspiCollection> collection(atspi_accessible_get_collection_iface(window));
    if (!collection) return {};
    GRef<AtspiStateSet> states(atspi_state_set_new(nullptr));
    atspi_state_set_add(states.get(), ATSPI_STATE_FOCUSED);
    GRef<AtspiMatchRule> rule(atspi_match_rule_new(states.get(), ATSPI_Collection_MATCH_ALL,
                                                   nullptr, ATSPI_Collection_MATCH_NONE, nullptr,
                                                   ATSPI_Collection_MATCH_NONE, nullptr,
                                                   ATSPI_Collection_MATCH_NONE, FALSE));
    ErrorSink error;
    GArray* matches = atspi_collection_get_matches(collection.get(), rule.get(),
                                                   ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE,
                                                   error.out());
    Accessible found;
    if (matches != nullptr) {
        for (guint i = 0; i < matches->len; ++i) {
            AtspiAccessible* match = g_array_index(matches, AtspiAccessible*, i);
            if (!found) {
                found.reset(match);  // takes the array's reference
            } else if (match != nullptr) {
                g_object_unref(match);
            }
        }
        g_array_free(matches, TRUE);
    }
    return found;
}

ProcessId processOf(AtspiAccessible* accessible) {
    // Bus names are never reused, so what is learnt about one stays true.
    static std::map<std::string, ProcessId>* known = new std::map<std::string, ProcessId>;
    AtspiApplication* app = ATSPI_OBJECT(accessible)->app;
    if (app == nullptr || app->bus_name == nullptr) return 0;
    auto found = known->find(app->bus_name);
    if (found != known->end()) return found->second;
    ErrorSink error;
    const guint pid = atspi_accessible_get_process_id(accessible, error.out());
    if (error.failed() || pid == 0) return 0;
    known->emplace(app->bus_name, static_cast<ProcessId>(pid));
    return static_cast<ProcessId>(pid);
}

}  // namespace sw::platform::atspi
