// The desktop's default applications, the way freedesktop desktops find
// them: the XDG base folders from the environment, the mimeapps.list files
// in their search order, and the desktop entry a desktop-file ID names.
//
// Search order of mimeapps.list, each folder giving
// "<desktop>-mimeapps.list" (for each name of $XDG_CURRENT_DESKTOP, lower
// case) before "mimeapps.list": $XDG_CONFIG_HOME, each of $XDG_CONFIG_DIRS,
// then "applications/" under $XDG_DATA_HOME and under each of
// $XDG_DATA_DIRS. The first file whose [Default Applications] names an
// installed, visible application for the type wins; failing that, the first
// one from [Added Associations]. [Removed Associations] and the desktops'
// mimeinfo.cache are not consulted: a default that is not named anywhere
// is not guessed.
//
// Reads files only; never writes. Plain functions of the calling thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/DesktopEntry.h"

namespace platform {

// The base folders, with the defaults the XDG rules give for unset, empty or
// relative values (~/.config, /etc/xdg, ~/.local/share, /usr/local/share and
// /usr/share).
std::string XdgConfigHome();
std::vector<std::string> XdgConfigDirs();
std::string XdgDataHome();
std::vector<std::string> XdgDataDirs();

// Every mimeapps.list path in search order (present or not).
std::vector<std::string> MimeAppsListFiles();

// The desktop-file IDs that the text of one mimeapps.list gives for a type
// in one group ("Default Applications" or "Added Associations"), in order.
std::vector<std::string> MimeAppsIds(const std::string& text, const std::string& group,
                                     const std::string& mimeType);

struct TDesktopApplication {
    std::string Path;     // the desktop entry's file
    TKeyFileGroup Entry;  // its [Desktop Entry] group
};

// The installed desktop entry of an ID under applications/ of the data
// folders ("a-b.desktop" is also looked for as "a/b.desktop"); only an
// application that is not hidden and has an Exec line counts.
std::optional<TDesktopApplication> FindDesktopApplication(const std::string& id);

// The default application for a MIME type ("text/html",
// "x-scheme-handler/mailto"), or nothing.
std::optional<TDesktopApplication> FindDefaultApplication(const std::string& mimeType);

}  // namespace platform
