#include "reporting/output.h"

#include "platform/platform.h"
#include "reporting/state.h"

namespace sw {
namespace {

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when it is malformed (overlong
// forms, surrogates and code points past U+10FFFF included).
std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > s.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return length;
}

bool needsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\' || c == 0x7F; }

bool appendString(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    std::size_t i = 0;
    while (i < s.size()) {
        // Plain printable ASCII goes out in one piece.
        std::size_t run = i;
        while (run < s.size() && static_cast<unsigned char>(s[run]) < 0x80 &&
               !needsEscape(static_cast<unsigned char>(s[run]))) {
            ++run;
        }
        out.append(s, i, run - i);
        i = run;
        if (i == s.size()) break;

        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t length = utf8SequenceLength(s, i);
        if (length == 0) return false;
        if (length > 1) {
            out.append(s, i, length);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\b') {
            out += "\\b";
        } else if (c == '\f') {
            out += "\\f";
        } else {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
        i += length;
    }
    out += '"';
    return true;
}

}  // namespace

std::optional<std::string> serialiseEvent(const Event& event) {
    std::string out;
    out.reserve(128);
    out += '{';
    bool first = true;
    for (const auto& [key, value] : event) {
        if (!first) out += ',';
        first = false;
        if (!appendString(out, key)) return std::nullopt;
        out += ':';
        if (const bool* flag = std::get_if<bool>(&value)) {
            out += *flag ? "true" : "false";
        } else if (const std::string* text = std::get_if<std::string>(&value)) {
            if (!appendString(out, *text)) return std::nullopt;
        } else {
            out += '{';
            bool firstMember = true;
            for (const auto& [name, number] : std::get<Bounds>(value)) {
                if (!firstMember) out += ',';
                firstMember = false;
                if (!appendString(out, name)) return std::nullopt;
                out += ':';
                out += std::to_string(number);
            }
            out += '}';
        }
    }
    out += '}';
    return out;
}

void emit(const Event& event) {
    std::optional<std::string> line = serialiseEvent(event);
    if (!line) return;
    *line += '\n';
    platform::writeStandardOutput(*line);
}

void logErr(std::string_view message) {
    std::string line(message);
    line += '\n';
    platform::writeData(stderrHandle, line);
}

void exitAccessDenied() {
    emit({{"error", std::string("ax_permission_denied")}});
    platform::exitProcess(2);
}

}  // namespace sw
