#include "app/serve/StatusEscape.h"

#include <cstdio>

#include "base/Strings.h"

namespace app {

namespace {
constexpr const char* kReplacement = "\xEF\xBF\xBD";
}  // namespace

std::string StatusCleanText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = base::Utf8Length(text, at);
        const auto c = static_cast<unsigned char>(text[at]);
        if (n == 0 || (n == 1 && ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F)) ||
            (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0)) {
            out += kReplacement;  // C1 controls are not for XML either
            at += n == 0 ? 1 : n;
            continue;
        }
        out.append(text.substr(at, n));
        at += n;
    }
    return out;
}

std::string EscapeMarkup(std::string_view text) {
    const std::string clean = StatusCleanText(text);
    std::string out;
    out.reserve(clean.size() + clean.size() / 8);
    for (char c : clean) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string JsonString(std::string_view text) {
    const std::string clean = StatusCleanText(text);
    std::string out = "\"";
    for (std::size_t i = 0; i < clean.size(); ++i) {
        const char c = clean[i];
        char buf[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '<' || c == '>' || c == '&') {
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else if (clean.compare(i, 3, "\xE2\x80\xA8") == 0 || clean.compare(i, 3, "\xE2\x80\xA9") == 0) {
            out += clean[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace app
