// The store behind start at log-on: freedesktop autostart entries. The
// current user's entries live in $XDG_CONFIG_HOME/autostart (default
// ~/.config/autostart), every user's in the first folder of
// $XDG_CONFIG_DIRS (default /etc/xdg) + /autostart. A program's entry for
// every log-on is "<name>.desktop"; its entry for the next log-on only is
// "<name>.once.desktop", whose Exec line asks the program to remove exactly
// that file when it starts (RemoveOnceEntry).
//
// An entry says Type=Application, Name=Sentrel, Exec= the running
// executable quoted by the desktop-entry rules, and Path= the working
// directory when it was written, because the settings and the log live
// there while a program started at log-on would run in the home folder.
// Entries are written whole to a temporary file in the same folder and
// renamed into place.
//
// In freedesktop autostart a user's entry overrides the all-users entry of
// the same name; a user entry with Hidden=true (WriteHiddenRunEntry) is how
// a user stops an all-users entry from starting the program for them.
//
// Plain functions of the calling thread; failures raise
// ERegistryException with the messages the settings code has always shown.
#pragma once

#include <string>

#include "base/Exception.h"

namespace platform {

class ERegistryException : public base::Exception {
public:
    using base::Exception::Exception;
};

enum class TRunKind { Run, RunOnce };

// The option of the program that removes a next-log-on entry.
inline constexpr const char* kRemoveOnceEntryOption = "--remove-autostart-entry";

std::string AutostartDir(bool global);
// The entry's file; empty when name cannot be a file name (empty, ".",
// "..", or holding a "/"), so such a name reads false and writes nothing.
std::string RunEntryPath(TRunKind kind, bool global, const std::string& name);

// The text of an entry.
std::string RunEntryText(TRunKind kind, const std::string& executable, const std::string& workingDir,
                         const std::string& entryPath);

// True when the entry exists, parses, has a non-empty Exec and is neither
// Hidden=true nor X-GNOME-Autostart-enabled=false. A missing file, and a
// folder that is missing or that this user cannot enter, read false.
// Raises "Invalid data type for '%s'" when the entry is not a file and
// "Failed to get data for '%s'" when the entry itself cannot be read.
bool ReadRunEntry(TRunKind kind, bool global, const std::string& name);
// Whether the current user's entry is one that hides an all-users entry
// (Hidden=true); raises like ReadRunEntry when it cannot be read.
bool IsHiddenRunEntry(TRunKind kind, const std::string& name);
// Writes (present) or removes the entry; the result is present when the
// folder could be made and this user can write into it, false otherwise
// (nothing written). Raises "Failed to set data for '%s'" when the entry
// cannot be written or removed.
bool WriteRunEntry(TRunKind kind, bool global, const std::string& name, bool present);
// Writes the current user's entry as Hidden=true; raises like WriteRunEntry.
void WriteHiddenRunEntry(TRunKind kind, const std::string& name);
// Whether a file can be created in the all-users folder: creates and
// removes one.
bool CanWriteAllUsers();

// Removes path when it is a next-log-on entry ("*.once.desktop") directly
// inside one of the two autostart folders; anything else is left alone.
// True when a file was removed.
bool RemoveOnceEntry(const std::string& path);

}  // namespace platform
