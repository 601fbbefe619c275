#include "platform/IniFile.h"

#include <fstream>
#include <sstream>

#include "base/Exception.h"
#include "base/SafeFile.h"
#include "base/Strings.h"

namespace platform {

namespace {
constexpr std::size_t kMaxValue = 2047;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A value as the profile routines return it: trimmed, one pair of
// surrounding double quotes removed, at most 2047 bytes, never ending in
// part of a character (a cut character would make the file unreadable as
// UTF-8 once written back).
std::string CleanValue(const std::string& raw) {
    std::string v = base::Trim(raw);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    if (v.size() > kMaxValue) {
        std::size_t end = kMaxValue;
        while (end > 0 && (static_cast<unsigned char>(v[end]) & 0xC0) == 0x80) --end;
        v.resize(end);
    }
    return v;
}

// Text as the file holds it: UTF-8 as it stands, anything else read as the
// Latin-1 it was written in before.
std::string AsUtf8(const std::string& text) {
    return IsUtf8(text) ? text : Utf8FromLatin1(text);
}

// A name that would be read back as something else: a key holding '=' (the
// part after it becomes the value), a key starting with ';' (a comment) or
// '[' (a section header), a section holding ']' (the name ends there).
bool ReadsBackAsOther(const std::string& section, const std::string& key) {
    const std::string k = base::Trim(key);
    if (k.find('=') != std::string::npos) return true;
    if (!k.empty() && (k.front() == ';' || k.front() == '[')) return true;
    return section.find(']') != std::string::npos;
}
}  // namespace

bool IsUtf8(std::string_view s) {
    for (std::size_t i = 0, n; i < s.size(); i += n)
        if ((n = base::Utf8Length(s, i)) == 0) return false;
    return true;
}

std::string Utf8FromLatin1(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool HasControlChars(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {
    std::ifstream in(fileName_, std::ios::binary);
    if (!in) return;
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    // A byte order mark is no part of the first line; it is written back.
    if (text.starts_with(kByteOrderMark)) {
        bom_ = kByteOrderMark;
        text.erase(0, kByteOrderMark.size());
    }
    // A file from before names in any script were kept is Latin-1; it is
    // read as such and written back as UTF-8, so no name it holds is lost.
    Parse(AsUtf8(text));
}

void TIniFile::Parse(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t j = i;
        while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
        Line line;
        line.raw = text.substr(i, j - i);
        std::string t = base::Trim(line.raw);
        if (!t.empty() && t.front() == '[') {
            auto close = t.find(']');
            if (close != std::string::npos) {
                line.kind = Line::Header;
                line.section = base::Trim(t.substr(1, close - 1));
            }
        } else if (!t.empty() && t.front() != ';') {
            auto eq = line.raw.find('=');
            if (eq != std::string::npos) {
                line.kind = Line::Pair;
                line.key = base::Trim(line.raw.substr(0, eq));
                line.value = line.raw.substr(eq + 1);
            }
        }
        std::size_t next = j;
        if (next < text.size() && text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n')
            ++next;
        if (j < text.size()) ++next;
        line.asRead = true;
        line.eol = text.substr(j, next - j);
        if (lines_.empty() && !line.eol.empty()) newline_ = line.eol;
        lines_.push_back(std::move(line));
        i = next;
    }
}

int TIniFile::FindSection(const std::string& section) const {
    std::string s = base::Trim(section);
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Line::Header && base::SameText(lines_[i].section, s))
            return static_cast<int>(i);
    return -1;
}

int TIniFile::SectionEnd(int header) const {
    std::size_t i = static_cast<std::size_t>(header) + 1;
    while (i < lines_.size() && lines_[i].kind != Line::Header) ++i;
    return static_cast<int>(i);
}

int TIniFile::FindKey(int header, const std::string& key) const {
    if (header < 0) return -1;
    std::string k = base::Trim(key);
    int end = SectionEnd(header);
    for (int i = header + 1; i < end; ++i)
        if (lines_[i].kind == Line::Pair && base::SameText(lines_[i].key, k)) return i;
    return -1;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
    int k = FindKey(FindSection(section), key);
    if (k < 0) return def;
    return CleanValue(lines_[k].value);
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                                   std::int32_t def) const {
    int k = FindKey(FindSection(section), key);
    if (k < 0) return def;
    return base::StrToIntDef(CleanValue(lines_[k].value), def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniFile::SectionExists(const std::string& section) const {
    return FindSection(section) >= 0;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
    return FindKey(FindSection(section), key) >= 0;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
    std::vector<std::string> keys;
    int h = FindSection(section);
    if (h < 0) return keys;
    int end = SectionEnd(h);
    for (int i = h + 1; i < end; ++i)
        if (lines_[i].kind == Line::Pair) keys.push_back(lines_[i].key);
    return keys;
}

std::vector<std::string> TIniFile::ReadSections() const {
    std::vector<std::string> names;
    for (const Line& l : lines_)
        if (l.kind == Line::Header) names.push_back(l.section);
    return names;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    // A line break in a value would be read back as more keys, and other
    // control characters do not survive a read either: such a value is
    // refused, and nothing is changed.
    if (HasControlChars(section) || HasControlChars(key) || HasControlChars(value) ||
        ReadsBackAsOther(section, key))
        throw base::Exception("Unable to write to " + fileName_);
    // The file stays UTF-8 whatever a caller hands in: bytes that are not
    // are taken as Latin-1, never written as they are.
    if (!IsUtf8(section) || !IsUtf8(key) || !IsUtf8(value)) {
        WriteString(AsUtf8(section), AsUtf8(key), AsUtf8(value));
        return;
    }
    int h = FindSection(section);
    if (h < 0) {
        Line header;
        header.kind = Line::Header;
        header.section = base::Trim(section);
        lines_.push_back(header);
        h = static_cast<int>(lines_.size()) - 1;
    }
    int k = FindKey(h, key);
    if (k >= 0) {
        lines_[k].value = value;
        lines_[k].asRead = false;
        return;
    }
    // After the section's last key, before any blank lines that end it.
    int end = SectionEnd(h);
    int at = end;
    while (at > h + 1 && lines_[at - 1].kind == Line::Other && base::Trim(lines_[at - 1].raw).empty()) --at;
    Line pair;
    pair.kind = Line::Pair;
    pair.key = base::Trim(key);
    pair.value = value;
    lines_.insert(lines_.begin() + at, pair);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, std::int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::EraseSection(const std::string& section) {
    for (int h = FindSection(section); h >= 0; h = FindSection(section)) {
        int end = SectionEnd(h);
        lines_.erase(lines_.begin() + h, lines_.begin() + end);
    }
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
    int k = FindKey(FindSection(section), key);
    if (k >= 0) lines_.erase(lines_.begin() + k);
}

std::string TIniFile::Text() const {
    std::string out = bom_;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& l = lines_[i];
        if (l.asRead) {
            out += l.raw;
            // A last line without an end keeps none, unless lines follow it now.
            out += !l.eol.empty() || i + 1 == lines_.size() ? l.eol : newline_;
            continue;
        }
        switch (l.kind) {
            case Line::Header: out += "[" + l.section + "]"; break;
            case Line::Pair: out += l.key + "=" + l.value; break;
            case Line::Other: out += l.raw; break;
        }
        out += newline_;
    }
    return out;
}

void TIniFile::UpdateFile() {
    if (!base::WriteFileWhole(fileName_, Text()).empty())
        throw base::Exception("Unable to write to " + fileName_);
}

}  // namespace platform
