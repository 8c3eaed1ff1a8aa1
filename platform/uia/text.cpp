// The selection of an element through UI Automation's Text pattern, and where it lies on the
// screen.
//
// Browsers put the Text pattern on documents and text fields (and Firefox on other text
// containers too). Chromium answers a page's selection on the document as one range, none when
// nothing is selected; Firefox may answer several ranges, and one empty range at the caret when
// nothing is selected. So "selected" means: some range with text in it. Only a few characters of
// one range are ever read, whatever the selection's size.
#include <algorithm>
#include <cmath>

#include "platform/uia/internal.h"

namespace sw::platform::uia {
namespace {

// Deeper than any page nests its elements; past this nothing more is asked.
constexpr int kMaxClimb = 32;
// At most this many ranges of a selection are looked at (a table's cells may each be one).
constexpr int kMaxRanges = 64;
constexpr int kTextProbe = 16;  // characters read of the first non-empty range

// Whether a failure means the application is busy or gone, which ends the question.
bool endsQuestion(HRESULT hr) {
    const AXError code = errorFor(hr);
    return code == kAXErrorCannotComplete || code == kAXErrorInvalidUIElement;
}

class Bstr {
public:
    Bstr() = default;
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(text_); }
    BSTR* put() {
        SysFreeString(text_);
        text_ = nullptr;
        return &text_;
    }
    std::size_t length() const { return text_ == nullptr ? 0 : SysStringLen(text_); }
    const wchar_t* get() const { return text_; }

private:
    BSTR text_ = nullptr;
};

// The ranges of an element's Text pattern from the first one with text on, with that one's
// beginning; none when no range has text. False with `error` set when the application could not
// answer.
bool rangesOf(com::IUIAutomationTextPattern* pattern, std::vector<TextRange>& ranges,
              std::string& text, AXError& error) {
    ComRef<com::IUIAutomationTextRangeArray> array;
    HRESULT hr = pattern->GetSelection(array.put());
    if (endsQuestion(hr)) return error = errorFor(hr), false;
    int length = 0;
    if (FAILED(hr) || !array || FAILED(array->get_Length(&length))) return true;
    for (int i = 0; i < std::min(length, kMaxRanges); ++i) {
        TextRange range;
        hr = array->GetElement(i, range.put());
        if (endsQuestion(hr)) return error = errorFor(hr), false;
        if (FAILED(hr) || !range) continue;
        // Once one range has text, the others are only measured: an empty one has no rectangle.
        if (!ranges.empty()) {
            ranges.push_back(std::move(range));
            continue;
        }
        Bstr piece;
        hr = range->GetText(kTextProbe, piece.put());
        if (endsQuestion(hr)) return error = errorFor(hr), false;
        if (FAILED(hr) || piece.length() == 0) continue;  // a caret, or nothing
        text = utf8(piece.get(), piece.length());
        ranges.push_back(std::move(range));
    }
    return true;
}

}  // namespace

std::string utf8(const wchar_t* text, std::size_t length) {
    if (text == nullptr || length == 0) return {};
    const int size = static_cast<int>(std::min<std::size_t>(length, 1 << 20));
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, size, out.data(), bytes, nullptr, nullptr);
    return out;
}

AXError selectionOf(com::IUIAutomationElement* element, std::vector<TextRange>& ranges,
                    std::string& text) {
    ranges.clear();
    text.clear();
    com::IUIAutomation* a = automation();
    ComRef<com::IUIAutomationTreeWalker> walker;
    if (a == nullptr || FAILED(a->get_ControlViewWalker(walker.put())) || !walker) {
        return kAXErrorFailure;
    }
    Element current = Element::share(element);
    for (int step = 0; current && step < kMaxClimb; ++step) {
        int type = 0;
        HRESULT hr = current->get_CurrentControlType(&type);
        if (endsQuestion(hr)) return errorFor(hr);
        ComRef<com::IUIAutomationTextPattern> pattern;
        hr = current->GetCurrentPatternAs(com::UIA_TextPatternId, com::IID_IUIAutomationTextPattern,
                                          reinterpret_cast<void**>(pattern.put()));
        if (endsQuestion(hr)) return errorFor(hr);
        if (SUCCEEDED(hr) && pattern) {
            AXError error = kAXErrorSuccess;
            if (!rangesOf(pattern.get(), ranges, text, error)) {
                ranges.clear();
                text.clear();
                return error;
            }
            if (!ranges.empty()) return kAXErrorSuccess;
        }
        // A document answers for its whole page, and nothing above a window is a page.
        if (type == com::UIA_DocumentControlTypeId || type == com::UIA_WindowControlTypeId) break;
        Element parent;
        hr = walker->GetParentElement(current.get(), parent.put());
        if (endsQuestion(hr)) return errorFor(hr);
        current = std::move(parent);
    }
    return kAXErrorSuccess;
}

std::optional<Rect> boundsOf(const std::vector<TextRange>& ranges, AXError& error) {
    error = kAXErrorSuccess;
    bool any = false;
    double left = 0, top = 0, right = 0, bottom = 0;
    for (const TextRange& range : ranges) {
        SAFEARRAY* rects = nullptr;
        const HRESULT hr = range->GetBoundingRectangles(&rects);
        if (endsQuestion(hr)) {
            error = errorFor(hr);
            return std::nullopt;
        }
        if (FAILED(hr) || rects == nullptr) continue;
        LONG low = 0, high = -1;
        double* values = nullptr;
        if (SafeArrayGetDim(rects) == 1 && SUCCEEDED(SafeArrayGetLBound(rects, 1, &low)) &&
            SUCCEEDED(SafeArrayGetUBound(rects, 1, &high)) &&
            SUCCEEDED(SafeArrayAccessData(rects, reinterpret_cast<void**>(&values)))) {
            // Left, top, width and height of each line's rectangle, one after another.
            const LONG count = high - low + 1;
            for (LONG i = 0; i + 3 < count; i += 4) {
                const double x = values[i], y = values[i + 1], w = values[i + 2], h = values[i + 3];
                if (!(std::isfinite(x) && std::isfinite(y) && w > 0 && h > 0 && std::isfinite(w) &&
                      std::isfinite(h))) {
                    continue;  // an empty or off-screen line
                }
                if (!any) {
                    left = x, top = y, right = x + w, bottom = y + h;
                    any = true;
                } else {
                    left = std::min(left, x), top = std::min(top, y);
                    right = std::max(right, x + w), bottom = std::max(bottom, y + h);
                }
            }
            SafeArrayUnaccessData(rects);
        }
        SafeArrayDestroy(rects);
    }
    if (!any) return std::nullopt;
    return Rect{left, top, right - left, bottom - top};
}

}  // namespace sw::platform::uia
