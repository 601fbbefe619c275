// Text between the windows and what the monitor stores (the settings file,
// the log, the outcomes): UTF-8, so a name in any script is shown and kept
// as it was typed. Bytes that are not UTF-8 come from before (a Latin-1
// log) and show as the Latin-1 they are, a line at a time, so old lines
// never turn into replacement marks.
#pragma once

#include <QString>
#include <QStringList>
#include <string>

#include "platform/IniFile.h"

namespace app {

// One piece of stored text for a window: UTF-8 when it is, Latin-1 otherwise.
inline QString FromStored(const std::string& s) {
    const auto size = static_cast<qsizetype>(s.size());
    return platform::IsUtf8(s) ? QString::fromUtf8(s.data(), size) : QString::fromLatin1(s.data(), size);
}

// Many lines, each decided on its own: a log holds lines of both kinds.
inline QString FromStoredLines(const std::string& s) {
    QString out;
    std::size_t at = 0;
    while (at < s.size()) {
        std::size_t end = s.find('\n', at);
        end = end == std::string::npos ? s.size() : end + 1;
        out += FromStored(s.substr(at, end - at));
        at = end;
    }
    return out;
}

// What a window hands the monitor: UTF-8.
inline std::string ToStored(const QString& s) {
    return s.toUtf8().toStdString();
}

}  // namespace app
