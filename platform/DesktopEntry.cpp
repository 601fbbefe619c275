#include "platform/DesktopEntry.h"

#include <cstring>

namespace platform {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string TrimBlanks(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// One piece of an Exec argument: literal text, or a field code (its letter).
struct Piece {
    bool code = false;
    char letter = 0;
    std::string text;
};
using Token = std::vector<Piece>;

// The arguments of an Exec line as pieces; false on an unterminated quote.
bool Tokenize(const std::string& exec, std::vector<Token>& tokens) {
    Token cur;
    bool inToken = false, quoted = false;
    auto literal = [&](char c) {
        if (cur.empty() || cur.back().code) cur.push_back(Piece{});
        cur.back().text += c;
    };
    // "%%" is a literal %, any other "%x" the field code x; i is on the %.
    auto percent = [&](std::size_t& i) {
        if (exec[i + 1] == '%')
            literal('%');
        else
            cur.push_back(Piece{true, exec[i + 1], {}});
        ++i;
    };
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < exec.size() && std::strchr("\"`$\\", exec[i + 1])) {
                literal(exec[++i]);
            } else if (c == '%' && i + 1 < exec.size()) {
                percent(i);
            } else {
                literal(c);
            }
            continue;
        }
        if (IsBlank(c) || c == '\n') {
            if (inToken) tokens.push_back(std::move(cur));
            cur.clear();
            inToken = false;
            continue;
        }
        inToken = true;
        if (c == '"') {
            quoted = true;
            if (cur.empty()) cur.push_back(Piece{});  // "" is an empty argument, not none
        } else if (c == '%' && i + 1 < exec.size()) {
            percent(i);
        } else {
            literal(c);
        }
    }
    if (quoted) return false;
    if (inToken) tokens.push_back(std::move(cur));
    return true;
}

}  // namespace

std::optional<std::string> TKeyFileGroup::Value(const std::string& key) const {
    for (const auto& [k, v] : Keys)
        if (k == key) return v;
    return std::nullopt;
}

std::vector<TKeyFileGroup> ParseKeyFile(const std::string& text) {
    std::vector<TKeyFileGroup> groups;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string trimmed = TrimBlanks(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        if (trimmed[0] == '[') {
            const std::size_t close = trimmed.find(']');
            if (close != std::string::npos) groups.push_back(TKeyFileGroup{trimmed.substr(1, close - 1), {}});
            continue;
        }
        const std::size_t eq = trimmed.find('=');
        if (eq == std::string::npos || groups.empty()) continue;
        groups.back().Keys.emplace_back(TrimBlanks(trimmed.substr(0, eq)),
                                        UnescapeKeyValue(TrimBlanks(trimmed.substr(eq + 1))));
    }
    return groups;
}

const TKeyFileGroup* FindGroup(const std::vector<TKeyFileGroup>& groups, const std::string& name) {
    for (const auto& g : groups)
        if (g.Name == name) return &g;
    return nullptr;
}

std::string EscapeKeyValue(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            // A reader trims blanks around a value: the first and the last
            // are escaped so that they survive.
            case ' ': out += i == 0 || i + 1 == value.size() ? "\\s" : " "; break;
            default: out += c;
        }
    }
    return out;
}

std::string UnescapeKeyValue(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
            case 's': out += ' '; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case '\\': out += '\\'; break;
            default:  // "\;" belongs to the list syntax and stays
                out += '\\';
                out += value[i];
        }
    }
    return out;
}

std::vector<std::string> SplitKeyList(const std::string& value) {
    std::vector<std::string> items;
    std::string cur;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == ';') {
            cur += ';';
            ++i;
        } else if (value[i] == ';') {
            if (!cur.empty()) items.push_back(cur);
            cur.clear();
        } else {
            cur += value[i];
        }
    }
    if (!cur.empty()) items.push_back(cur);
    return items;
}

std::string QuoteExecArgument(const std::string& arg) {
    bool quote = arg.empty();
    std::string body;
    for (char c : arg) {
        if (c == '%') {
            body += "%%";
            continue;
        }
        if (std::strchr(" \t\n\"'\\><~|&;$*?#()`", c)) quote = true;
        if (c == '"' || c == '`' || c == '$' || c == '\\') body += '\\';
        body += c;
    }
    if (!quote) return body;
    return '"' + body + '"';
}

std::optional<std::vector<std::string>> SplitExec(const std::string& exec, const TExecFields& fields) {
    std::vector<Token> tokens;
    if (!Tokenize(exec, tokens)) return std::nullopt;
    std::vector<std::string> args;
    bool urlGiven = false;
    for (const Token& t : tokens) {
        if (t.size() == 1 && t[0].code) {
            // A code standing alone is its own argument(s), or none.
            switch (t[0].letter) {
                case 'u':
                case 'U':
                case 'f':
                case 'F':
                    urlGiven = true;
                    if (!fields.Url.empty()) args.push_back(fields.Url);
                    break;
                case 'i':
                    if (!fields.Icon.empty()) args.insert(args.end(), {"--icon", fields.Icon});
                    break;
                case 'c':
                    if (!fields.Name.empty()) args.push_back(fields.Name);
                    break;
                case 'k':
                    if (!fields.DesktopFile.empty()) args.push_back(fields.DesktopFile);
                    break;
                default: break;
            }
            continue;
        }
        std::string arg;
        for (const Piece& p : t) {
            if (!p.code) {
                arg += p.text;
                continue;
            }
            switch (p.letter) {
                case 'u':
                case 'f':
                    urlGiven = true;
                    arg += fields.Url;
                    break;
                case 'U':
                case 'F': return std::nullopt;  // a list cannot sit inside one argument
                case 'c': arg += fields.Name; break;
                case 'k': arg += fields.DesktopFile; break;
                default: break;
            }
        }
        args.push_back(arg);
    }
    if (args.empty()) return std::nullopt;
    if (!urlGiven && !fields.Url.empty()) args.push_back(fields.Url);
    return args;
}

}  // namespace platform
