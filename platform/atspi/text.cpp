// Reading a selection out of AT-SPI text: pages are trees of text objects in which each child
// stands in its parent's text as one U+FFFC character, so the selection seen at one level has to be
// followed down into the children that carry it.
//
// Every walk here has fixed limits, so a snapshot costs the same for a word as for a whole page:
// whether anything is selected is decided from the first characters found, and the rectangle is
// measured exactly over the characters near both ends of a range, and in between from the boxes
// of what lies at the two ends of the stretch.
#include <algorithm>
#include <iterator>
#include <map>
#include <string>
#include <tuple>

#include "platform/atspi/internal.h"

namespace sw::platform::atspi {
namespace {

constexpr gunichar kEmbeddedObject = 0xFFFC;
constexpr int kMaxDepth = 16;     // page trees are shallow; this only stops cycles
constexpr int kMaxRanges = 4;     // selections of one object looked at
constexpr int kPrefixChars = 8;   // characters read at a time when looking for selected text
constexpr int kPrefixObjects = 8; // reads and descents spent looking for selected text
constexpr int kEdgeChars = 16;    // characters measured exactly at each end of a range
constexpr int kPlanObjects = 6;   // embedded objects descended into for the rectangle
constexpr std::size_t kMaxExtents = 16;  // planned extents, besides one per range if they run out
// A browser still laying out its accessible text answers zeros for a few tens of milliseconds.
constexpr gint64 kSettleMicroseconds = 300 * 1000;
constexpr gint64 kLastResortMicroseconds = 300 * 1000;
// Pauses start short, as a word is mostly laid out within a millisecond or two of its selection,
// and double up to the longest; that many measurements span the whole 600 ms.
constexpr int kMaxMeasurements = 14;
constexpr gint64 kFirstRetryMicroseconds = 500;
constexpr gint64 kMaxRetryMicroseconds = 100 * 1000;

// When the measurement under way must stop, even in the middle of a pass: its time limit, or the
// end of input, which no measurement holds up. 0 outside a measurement.
gint64 measureLimit = 0;  // main thread only

bool measureOver() {
    return measureLimit != 0 && (g_get_monotonic_time() >= measureLimit ||
                                 !platform::waitUnlessDispatched(0));
}

// What one snapshot has learnt of the page's structure (children, counts, texts, selections):
// the search for selected text, the plan of the rectangle and the caret route come back to the
// same objects, and each question is asked once. Extents are never kept: they are asked until they
// settle. Forgotten when the next snapshot begins.
struct Learnt {
    std::map<std::pair<AtspiAccessible*, int>, Accessible> children;
    std::map<AtspiAccessible*, int> counts;
    std::map<std::tuple<AtspiAccessible*, int, int>, std::string> texts;
    std::map<AtspiAccessible*, Ranges> selections;
    std::map<AtspiAccessible*, int> carets;
    std::vector<Accessible> held;  // the objects whose addresses are keys above
};

Learnt& learnt() {
    static auto* known = new Learnt;  // main thread only
    return *known;
}

AtspiAccessible* held(AtspiAccessible* accessible) {
    learnt().held.push_back(Accessible::share(accessible));
    return accessible;
}

// The child that an embedded-object character at `offset` stands for.
Accessible embeddedChild(AtspiAccessible* accessible, int offset) {
    if (auto found = learnt().children.find({accessible, offset}); found != learnt().children.end()) {
        return Accessible::share(found->second.get());
    }
    GRef<AtspiHypertext> hypertext(atspi_accessible_get_hypertext_iface(accessible));
    if (!hypertext || stalled()) return {};
    ErrorSink error;
    const int index = atspi_hypertext_get_link_index(hypertext.get(), offset, error.out());
    if (error.failed() || index < 0) return {};
    GRef<AtspiHyperlink> link(atspi_hypertext_get_link(hypertext.get(), index, error.out()));
    if (error.failed() || !link) return {};
    Accessible child(atspi_hyperlink_get_object(link.get(), 0, error.out()));
    learnt().children.emplace(std::pair{held(accessible), offset}, Accessible::share(child.get()));
    return child;
}

int characterCount(AtspiAccessible* accessible) {
    if (auto found = learnt().counts.find(accessible); found != learnt().counts.end()) {
        return found->second;
    }
    GRef<AtspiText> text(atspi_accessible_get_text_iface(accessible));
    if (!text || stalled()) return 0;
    ErrorSink error;
    const int n = atspi_text_get_character_count(text.get(), error.out());
    const int count = error.failed() ? 0 : std::max(n, 0);
    learnt().counts.emplace(held(accessible), count);
    return count;
}

// The caret's offset in an accessible, -1 when it has none; none when it cannot be read.
std::optional<int> caretOffset(AtspiAccessible* accessible) {
    if (auto found = learnt().carets.find(accessible); found != learnt().carets.end()) {
        return found->second;
    }
    GRef<AtspiText> text(atspi_accessible_get_text_iface(accessible));
    if (!text || stalled()) return std::nullopt;
    ErrorSink error;
    const int caret = atspi_text_get_caret_offset(text.get(), error.out());
    if (error.failed()) return std::nullopt;
    learnt().carets.emplace(held(accessible), caret);
    return caret;
}

// The characters [start, end) of an accessible as UTF-8; empty when they cannot be read.
std::string textOf(AtspiAccessible* accessible, int start, int end) {
    const std::tuple key{accessible, start, end};
    if (auto found = learnt().texts.find(key); found != learnt().texts.end()) return found->second;
    GRef<AtspiText> text(atspi_accessible_get_text_iface(accessible));
    if (!text || end <= start || stalled()) return {};
    ErrorSink error;
    gchar* raw = atspi_text_get_text(text.get(), start, end, error.out());
    std::string chars = !error.failed() && raw != nullptr ? raw : "";
    g_free(raw);
    if (!g_utf8_validate(chars.data(), static_cast<gssize>(chars.size()), nullptr)) chars.clear();
    held(accessible);
    learnt().texts.emplace(key, chars);
    return chars;
}

// What a child embedded at `offset` in a selected range [start, end) of its parent has selected.
// One strictly inside the range is selected whole, which saves asking it (Chromium takes 20 ms a
// question on a page of megabytes); one at an end is asked, and may say nothing when the range
// goes on past it.
Ranges childSelection(AtspiAccessible* child, int offset, int start, int end) {
    if (offset > start && offset < end - 1) return {{0, characterCount(child)}};
    Ranges ranges = selectedRanges(child);
    if (ranges.empty() && end - start > 1) ranges.emplace_back(0, characterCount(child));
    return ranges;
}

// ---- Is anything selected? ---------------------------------------------------------------

bool findText(AtspiAccessible* accessible, const Ranges& ranges, int depth, int& budget,
              std::string& found) {
    for (const auto& [start, end] : ranges) {
        for (int from = start; from < end && budget > 0; from += kPrefixChars) {
            --budget;
            const int to = std::min(end, from + kPrefixChars);
            const std::string chars = textOf(accessible, from, to);
            int offset = from;
            for (const char* p = chars.c_str(); *p != '\0'; p = g_utf8_next_char(p), ++offset) {
                if (g_utf8_get_char(p) != kEmbeddedObject) {
                    found.assign(p, static_cast<std::size_t>(g_utf8_next_char(p) - p));
                    return true;
                }
                if (depth >= kMaxDepth || budget <= 0) continue;
                --budget;
                Accessible child = embeddedChild(accessible, offset);
                if (child && findText(child.get(), childSelection(child.get(), offset, start, end),
                                      depth + 1, budget, found)) {
                    return true;
                }
            }
        }
    }
    return false;
}

// ---- Where is it? ------------------------------------------------------------------------

struct Planner {
    std::vector<Extent> extents;
    int objects = kPlanObjects;
    bool overflowed = false;  // something was left out: the whole range is measured coarsely too

    void add(AtspiAccessible* owner, int start, int end, bool coarse) {
        if (end <= start) return;
        if (full()) {
            overflowed = true;
            return;
        }
        extents.push_back({Accessible::share(owner), start, end, coarse, {}, {}});
        if (!coarse) return;
        Extent& added = extents.back();
        added.first = objectAt(owner, start);
        added.last = end - start > 1 ? objectAt(owner, end - 1) : Accessible::share(added.first.get());
    }
    static Accessible objectAt(AtspiAccessible* owner, int offset) {
        const std::string chars = textOf(owner, offset, offset + 1);
        if (chars.empty() || g_utf8_get_char(chars.c_str()) != kEmbeddedObject) return {};
        return embeddedChild(owner, offset);
    }
    bool full() const { return extents.size() >= kMaxExtents; }
};

void planRange(Planner& plan, AtspiAccessible* accessible, int start, int end, int depth);

// Plans [from, to) of the selected range [start, end) exactly: plain stretches as they are,
// objects at the range's two ends through their own selection, or whole once no more objects may
// be descended into. Objects strictly inside the range are selected whole: a run of them (with
// whatever lies between) is measured from its two ends, which costs no descent, so the objects at
// the ends, where the selection stops part-way, always get one. Past the limit on extents the
// plan is marked as overflowed, and the whole range is measured coarsely as well.
void planPiece(Planner& plan, AtspiAccessible* accessible, int from, int to, int start, int end,
               int depth) {
    const std::string chars = textOf(accessible, from, to);
    int offset = from, runStart = from, wholeFrom = -1;
    const auto endWhole = [&](int at) {
        if (wholeFrom < 0) return;
        plan.add(accessible, wholeFrom, at, true);
        runStart = at;
        wholeFrom = -1;
    };
    for (const char* p = chars.c_str(); *p != '\0'; p = g_utf8_next_char(p), ++offset) {
        if (g_utf8_get_char(p) != kEmbeddedObject) continue;
        if (offset > start && offset < end - 1) {
            if (wholeFrom < 0) {
                plan.add(accessible, runStart, offset, false);
                wholeFrom = offset;
            }
            continue;
        }
        endWhole(offset);
        plan.add(accessible, runStart, offset, false);
        runStart = offset + 1;
        if (plan.full()) {
            plan.overflowed = true;
            return;
        }
        Accessible child;
        if (depth < kMaxDepth && plan.objects > 0) {
            --plan.objects;
            child = embeddedChild(accessible, offset);
        }
        if (!child) {
            plan.add(accessible, offset, offset + 1, true);  // the object's whole box
            continue;
        }
        for (const auto& [s, e] : childSelection(child.get(), offset, start, end)) {
            planRange(plan, child.get(), s, e, depth + 1);
        }
    }
    endWhole(offset);
    plan.add(accessible, runStart, chars.empty() ? runStart : offset, false);
}

void planRange(Planner& plan, AtspiAccessible* accessible, int start, int end, int depth) {
    if (end - start <= 2 * kEdgeChars) {
        planPiece(plan, accessible, start, end, start, end, depth);
        return;
    }
    planPiece(plan, accessible, start, start + kEdgeChars, start, end, depth);
    // Everything in between is selected whole and measured from its two ends.
    plan.add(accessible, start + kEdgeChars, end - kEdgeChars, true);
    planPiece(plan, accessible, end - kEdgeChars, end, start, end, depth);
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
    void add(const Box& other) {
        if (other.empty) return;
        const AtspiRect r{int(other.left), int(other.top), int(other.right - other.left),
                          int(other.bottom - other.top)};
        add(&r);
    }
    bool operator==(const Box& other) const {
        return empty == other.empty && left == other.left && top == other.top &&
               right == other.right && bottom == other.bottom;
    }
};

void addRange(Box& box, AtspiText* text, int start, int end) {
    if (stalled() || measureOver()) return;
    ErrorSink error;
    AtspiRect* r =
        atspi_text_get_range_extents(text, start, end, ATSPI_COORD_TYPE_SCREEN, error.out());
    if (!error.failed()) box.add(r);
    g_free(r);
}

// An object's box, or a plain character's when there is no object.
void addEnd(Box& box, AtspiAccessible* object, AtspiText* text, int offset) {
    if (stalled() || measureOver()) return;
    ErrorSink error;
    AtspiRect* r = nullptr;
    if (object == nullptr) {
        r = atspi_text_get_character_extents(text, offset, ATSPI_COORD_TYPE_SCREEN, error.out());
    } else if (GRef<AtspiComponent> component{atspi_accessible_get_component_iface(object)}) {
        r = atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, error.out());
    }
    if (!error.failed()) box.add(r);
    g_free(r);
}

// Between two ends on different lines, the lines in between span the owner's width at most.
// Zeros here say nothing about the page being laid out, so they do not hold the answer back.
void addCoarse(Box& box, const Extent& extent, AtspiText* text) {
    Box first, last;
    addEnd(first, extent.first.get(), text, extent.start);
    addEnd(last, extent.last.get(), text, extent.end - 1);
    Box part = first;
    part.add(last);
    if (!first.empty && !last.empty && last.top >= first.bottom && !stalled()) {
        GRef<AtspiComponent> owner(atspi_accessible_get_component_iface(extent.owner.get()));
        ErrorSink error;
        AtspiRect* r = owner ? atspi_component_get_extents(owner.get(), ATSPI_COORD_TYPE_SCREEN,
                                                           error.out())
                             : nullptr;
        if (r != nullptr && !error.failed() && r->width > 0) {
            const AtspiRect wide{r->x, int(part.top), r->width, int(part.bottom - part.top)};
            part.add(&wide);
        }
        g_free(r);
    }
    box.add(part);
}

// `fallback` collects the boxes of the objects whose text could not be measured (yet): they
// contain what that text paints. A pass cut short by the end of the measurement is not ready.
Box measureOnce(const std::vector<Extent>& extents, Box& fallback) {
    Box box;
    for (const Extent& extent : extents) {
        if (measureOver()) {
            box.ready = false;
            return box;
        }
        GRef<AtspiText> text(atspi_accessible_get_text_iface(extent.owner.get()));
        if (!text) continue;
        if (extent.coarse) {
            addCoarse(box, extent, text.get());
            continue;
        }
        // The last character on its own: a range that ends just before an embedded object is
        // measured as if it covered that object. A range of real characters that measures
        // nothing is a browser still laying out (Chromium answers the page's origin, sized 0).
        if (extent.end - extent.start > 1) {
            Box range;
            addRange(range, text.get(), extent.start, extent.end - 1);
            if (range.empty) {
                box.ready = false;
                addEnd(fallback, extent.owner.get(), nullptr, 0);
            }
            box.add(range);
        }
        addEnd(box, nullptr, text.get(), extent.end - 1);
    }
    // Nothing measurable at all is what a page that is not laid out yet answers too.
    if (box.empty && !extents.empty()) box.ready = false;
    return box;
}

// ---- Chromium's documents ----------------------------------------------------------------
//
// Chromium's engine answers a document's own selection in time that grows faster than the page
// (4 s for 17,000 paragraphs, holding the browser meanwhile), while its caret and each child's own
// selection answer in a millisecond or so, and about 20 ms on such a page. There the selection is
// found from the caret: the child that holds it, then how far the run of selected children around
// it reaches, probing the page's first and last child, then galloping and bisecting.

constexpr int kMaxProbes = 80;       // children looked at per document
constexpr int kEmptyNeighbours = 4;  // children without text passed over for one probe

struct Run {
    AtspiAccessible* parent;
    int caret;  // offset of the child holding the caret
    int count;
    int probes = kMaxProbes;

    // Whether the child at `offset` holds part of the selection. A child without text (a spacer,
    // an image) says nothing: the nearest child with text towards the caret decides for it, so the
    // selected children stay one unbroken run around the caret.
    bool selected(int offset) {
        const int towardsCaret = offset < caret ? 1 : -1;
        for (int i = 0; i < kEmptyNeighbours && offset != caret; ++i, offset += towardsCaret) {
            if (--probes < 0) return false;
            Accessible child = embeddedChild(parent, offset);
            if (!child) return false;
            if (characterCount(child.get()) > 0) return !selectedRanges(child.get()).empty();
        }
        return offset == caret;
    }

    // The last selected child from the caret's in `direction`.
    int end(int direction) {
        const int limit = direction < 0 ? 0 : count - 1;
        if (caret == limit || selected(limit)) return limit;  // select-all: one probe
        int inside = caret, outside = limit;
        for (int step = 1; (caret + direction * step - limit) * direction < 0; step *= 2) {
            const int probe = caret + direction * step;
            if (!selected(probe)) {
                outside = probe;
                break;
            }
            inside = probe;
        }
        while ((outside - inside) * direction > 1) {
            const int middle = inside + (outside - inside) / 2;
            (selected(middle) ? inside : outside) = middle;
        }
        return inside;
    }
};

// The document's selection as one range of its children's characters, and the start of what is
// selected in the caret's child; none when the document is not one to read this way. `inOneChild`
// tells whether the whole selection lies inside the caret's child.
std::optional<Ranges> selectionAroundCaret(AtspiAccessible* document, std::string& prefix,
                                           bool& inOneChild) {
    if (!isChromium(document)) return std::nullopt;
    GRef<AtspiText> text(atspi_accessible_get_text_iface(document));
    GRef<AtspiHypertext> hypertext(atspi_accessible_get_hypertext_iface(document));
    if (!text || !hypertext) return std::nullopt;
    // Only a document whose text is all children; its own characters need its own answer.
    ErrorSink error;
    const int count = characterCount(document);
    if (count <= 0) return Ranges{};  // an empty page, or one too busy to answer
    const int links = atspi_hypertext_get_n_links(hypertext.get(), error.out());
    if (error.failed() || links != count) return std::nullopt;
    const std::optional<int> asked = caretOffset(document);
    if (!asked) return std::nullopt;
    const int caret = *asked;
    if (caret < 0) return Ranges{};  // no caret in this document: nothing selected in it
    // The caret can sit at the start of the child after a selection (a paragraph selected by a
    // triple click): then the child before holds it.
    for (const int offset : {std::min(caret, count - 1), caret - 1}) {
        if (offset < 0) continue;
        Accessible child = embeddedChild(document, offset);
        if (!child) return std::nullopt;
        const Ranges own = selectedRanges(child.get());
        if (own.empty()) continue;
        Run run{document, offset, count};
        const bool before = own.front().first == 0;
        const bool after = own.back().second >= characterCount(child.get());
        const int from = before ? run.end(-1) : offset;
        const int to = after ? run.end(1) : offset;
        prefix = selectionPrefix(child.get(), own);
        inOneChild = !before && !after;
        return Ranges{{from, to + 1}};
    }
    return Ranges{};
}

std::map<std::string, bool>& knownChromium() {
    static auto* known = new std::map<std::string, bool>;  // by bus name
    return *known;
}

std::map<std::string, ProcessId>& knownProcesses() {
    static auto* known = new std::map<std::string, ProcessId>;  // by bus name
    return *known;
}

// What the last look found in the focused element when it found a selection by a few questions:
// the selections it read on its way down (the element's own, or in Chromium's engine those below
// the caret, with the caret, when the whole selection lies inside the caret's child), and what it
// concluded. An engine keeps one selection per document, so while each of those answers as before,
// the next look concludes the same, in about half the questions (a click brings four looks within a
// second). Any other answer takes the whole route again.
struct Route {
    Accessible focused;
    std::optional<int> caret;
    std::vector<std::pair<Accessible, Ranges>> selections;
    Ranges found;
    std::string prefix;
};
constexpr std::size_t kRouteSelections = 4;  // selections a remembered route asks again

Route& lastRoute() {
    static auto* route = new Route;  // main thread only
    return *route;
}

bool routeHolds(const Route& route) {
    if (stalled() || (route.caret && caretOffset(route.focused.get()) != route.caret)) return false;
    return std::ranges::all_of(route.selections, [](const auto& known) {
        return !stalled() && selectedRanges(known.first.get()) == known.second;
    });
}

}  // namespace

bool isChromium(AtspiAccessible* accessible) {
    auto* known = &knownChromium();
    const std::string bus = busNameOf(accessible);
    if (bus.empty()) return false;
    if (auto found = known->find(bus); found != known->end()) return found->second;
    ErrorSink error;
    Accessible app(atspi_accessible_get_application(accessible, error.out()));
    if (!app) return false;
    gchar* name = atspi_accessible_get_toolkit_name(app.get(), error.out());
    if (error.failed() || name == nullptr) return false;
    const bool chromium = std::string(name) == "Chromium";
    g_free(name);
    known->emplace(bus, chromium);
    return chromium;
}

bool inPage(AtspiAccessible* accessible) {
    // The last one judged is asked again twice a second while its selection stands.
    static auto* last = new std::pair<Accessible, bool>;
    if (last->first.get() == accessible) return last->second;
    ErrorSink error;
    bool page = atspi_accessible_get_role(accessible, error.out()) == ATSPI_ROLE_DOCUMENT_WEB;
    if (!page) {
        GHashTable* attributes = atspi_accessible_get_attributes(accessible, error.out());
        // One that does not answer is taken for a page: read again rather than missed.
        page = error.failed() || (attributes != nullptr && g_hash_table_contains(attributes, "tag"));
        if (attributes != nullptr) g_hash_table_unref(attributes);
    }
    *last = {Accessible::share(accessible), page};
    return page;
}

Ranges selectionOf(AtspiAccessible* accessible, std::string* prefix) {
    Route& route = lastRoute();
    if (route.focused.get() == accessible && routeHolds(route)) {
        if (prefix != nullptr) *prefix = route.prefix;
        return route.found;
    }
    route = {};
    std::string found;
    bool inOneChild = true;
    std::optional<Ranges> ranges = selectionAroundCaret(accessible, found, inOneChild);
    const bool aroundCaret = ranges.has_value();
    if (!ranges) ranges = stalled() ? Ranges{} : selectedRanges(accessible);
    if (prefix == nullptr) return std::move(*ranges);
    *prefix = found.empty() ? selectionPrefix(accessible, *ranges) : found;
    if (inOneChild && !prefix->empty() && !stalled() &&
        learnt().selections.size() <= kRouteSelections) {
        route = {Accessible::share(accessible), aroundCaret ? caretOffset(accessible) : std::nullopt,
                 {}, *ranges, *prefix};
        for (const auto& [object, selection] : learnt().selections) {
            route.selections.emplace_back(Accessible::share(object), selection);
        }
    }
    return std::move(*ranges);
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
    // The one call here that takes no error: a browser this slow to tell states is stalled.
    const gint64 started = g_get_monotonic_time();
    GRef<AtspiStateSet> states(atspi_accessible_get_state_set(accessible));
    if (g_get_monotonic_time() - started >= kStalledMicroseconds) stalled() = true;
    return states && atspi_state_set_contains(states.get(), state);
}

Ranges selectedRanges(AtspiAccessible* accessible) {
    if (auto found = learnt().selections.find(accessible); found != learnt().selections.end()) {
        return found->second;
    }
    Ranges ranges;
    GRef<AtspiText> text(atspi_accessible_get_text_iface(accessible));
    if (!text || stalled()) return ranges;
    ErrorSink error;
    const int n = std::min(atspi_text_get_n_selections(text.get(), error.out()), kMaxRanges);
    for (int i = 0; !error.failed() && i < n; ++i) {
        AtspiRange* range = atspi_text_get_selection(text.get(), i, error.out());
        if (!error.failed() && range != nullptr && range->end_offset > range->start_offset) {
            ranges.emplace_back(range->start_offset, range->end_offset);
        }
        g_free(range);
    }
    learnt().selections.emplace(held(accessible), ranges);
    return ranges;
}

void beginSnapshot() {
    stalled() = false;
    learnt() = {};
}

std::string selectionPrefix(AtspiAccessible* accessible, const Ranges& ranges) {
    int budget = kPrefixObjects;
    std::string found;
    findText(accessible, ranges, 0, budget, found);
    return found;
}

std::vector<Extent> planExtents(AtspiAccessible* accessible, const Ranges& ranges) {
    Planner plan;
    std::vector<Extent> wholeRanges;
    for (const auto& [start, end] : ranges) {
        plan.overflowed = false;
        planRange(plan, accessible, start, end, 0);
        if (!plan.overflowed) continue;
        Planner whole;
        whole.add(accessible, start, end, true);
        std::move(whole.extents.begin(), whole.extents.end(), std::back_inserter(wholeRanges));
    }
    std::move(wholeRanges.begin(), wholeRanges.end(), std::back_inserter(plan.extents));
    return std::move(plan.extents);
}

std::optional<Rect> measureExtents(AtspiAccessible* focused, const std::vector<Extent>& extents) {
    // A browser that has not laid out its accessible text yet answers with zeros, then with part of
    // the range: after such an answer, one is trusted once it comes twice in a row, while a complete
    // first answer is the layout that was done already. Bounded in questions and time;
    // a browser that is still not done by then (the first measurement of a large page can take it
    // seconds) gets the boxes of the objects it could not measure, within the focused element's.
    const gint64 deadline = g_get_monotonic_time() + kSettleMicroseconds;
    gint64 pause = kFirstRetryMicroseconds;
    Box previous, unsettled;
    bool answered = false;  // `previous` holds a complete answer
    // While nothing at all can be measured, a while longer: a late rectangle beats none.
    const gint64 lastResort = deadline + kLastResortMicroseconds;
    const auto inTime = [&] {
        const gint64 now = g_get_monotonic_time();
        return now < deadline || (!answered && unsettled.empty && now < lastResort);
    };
    // No pass, nor any question in one, goes past the last resort.
    measureLimit = lastResort;
    for (int i = 0; i < kMaxMeasurements && inTime() && !stalled(); ++i) {
        Box fallback;
        Box box = measureOnce(extents, fallback);
        if (measureOver()) break;  // what this pass measured may be a part
        if (!box.ready) {
            answered = false;
            unsettled = box;
            unsettled.add(fallback);
            // The focused element (the page's document) holds all that is painted of it.
            addEnd(unsettled, focused, nullptr, 0);
            // Give the browser a moment rather than a stream of queries while it lays out; the end
            // of input cuts the moment short.
            const gint64 until = unsettled.empty ? lastResort : deadline;
            const gint64 wait = std::min(pause, std::max<gint64>(until - g_get_monotonic_time(), 0));
            if (!platform::waitUnlessDispatched(static_cast<std::uint32_t>(wait / 1000))) break;
            g_usleep(static_cast<gulong>(wait % 1000));  // too short to be worth cutting
            pause = std::min(pause * 2, kMaxRetryMicroseconds);
            continue;
        }
        const bool settled = i == 0 || (answered && box == previous);
        previous = box;
        answered = true;
        if (settled) break;
    }
    measureLimit = 0;
    const Box& result = answered ? previous : unsettled;
    if (result.empty) return std::nullopt;
    return Rect{result.left, result.top, result.right - result.left, result.bottom - result.top};
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

std::string busNameOf(AtspiAccessible* accessible) {
    const AtspiApplication* app = accessible != nullptr ? ATSPI_OBJECT(accessible)->app : nullptr;
    return app != nullptr && app->bus_name != nullptr ? app->bus_name : "";
}

ProcessId processOf(AtspiAccessible* accessible) {
    // Bus names are never reused, so what is learnt about one stays true while it is there.
    auto* known = &knownProcesses();
    const std::string bus = busNameOf(accessible);
    if (bus.empty()) return 0;
    auto found = known->find(bus);
    if (found != known->end()) return found->second;
    ErrorSink error;
    const guint pid = atspi_accessible_get_process_id(accessible, error.out());
    if (error.failed() || pid == 0) return 0;
    known->emplace(bus, static_cast<ProcessId>(pid));
    return static_cast<ProcessId>(pid);
}

void forgetProcess(const std::string& bus) {
    knownProcesses().erase(bus);
    knownChromium().erase(bus);
    if (busNameOf(lastRoute().focused.get()) == bus) lastRoute() = {};
}

void forgetBusName(const std::string& bus) {
    forgetProcess(bus);
    forgetCoordinates(bus);
    forgetQuestions(bus);
}

}  // namespace sw::platform::atspi
