// Fuzzes the INI reader and writer. The input is a file's text, then after a
// NUL byte a section, a key and a value separated by NUL bytes. The file is
// read; the pair is written; whenever the write is accepted, the text the
// save would write reads back with that key giving that value (trimmed,
// unquoted and cut as every value read is), and every other key of the
// file keeps the value it had. A refused write changes nothing.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/Strings.h"
#include "platform/IniFile.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

const std::string& Scratch() {
    static const std::string name = "/tmp/sentrel-inifuzz-" + std::to_string(::getpid()) + ".ini";
    return name;
}

platform::TIniFile Load(const std::string& text) {
    std::ofstream(Scratch(), std::ios::binary | std::ios::trunc) << text;
    return platform::TIniFile(Scratch());
}

std::string Expected(const std::string& value) {
    std::string v = base::Trim(value);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    if (v.size() > 2047) v.resize(2047);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string parts[4];
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t nul = i < 3 ? input.find('\0', at) : std::string::npos;
        parts[i] = input.substr(at, nul == std::string::npos ? std::string::npos : nul - at);
        if (nul == std::string::npos) {
            at = input.size();
            for (int k = i + 1; k < 4; ++k) parts[k].clear();
            break;
        }
        at = nul + 1;
    }
    const std::string &file = parts[0], &section = parts[1], &key = parts[2], &value = parts[3];
    platform::TIniFile ini = Load(file);
    const std::string before = ini.Text();
    try {
        ini.WriteString(section, key, value);
    } catch (const std::exception&) {
        Check(ini.Text() == before);
        return 0;
    }
    platform::TIniFile back = Load(ini.Text());
    Check(back.ReadString(section, key, "\x01none") == Expected(value));
    // The other keys of the section keep their values.
    platform::TIniFile old = Load(file);
    for (const auto& other : old.ReadSection(section)) {
        if (base::SameText(base::Trim(other), base::Trim(key))) continue;
        Check(back.ReadString(section, other, "\x01none") == old.ReadString(section, other, "\x01none"));
    }
    return 0;
}
