// TBramelAutostart makes the program start when a user logs on. Its Boolean
// properties are views of the autostart store (platform/Autostart.h):
// reading one looks the entry up, writing one writes or removes it.
// autostart is the entry for every log-on, StartNextLogon the entry for the
// next log-on only; Global chooses the all-users folder instead of the
// current user's. Each entry is named after appName.
//
// The first write request of the process, from any instance, keeps the
// every-log-on entry as it is (rewriting it with the path of the executable
// now running) instead of doing what it asks: the main window applies its
// design-time settings (autostart false) when it is built, and that must not
// remove what the user chose in an earlier run.
//
// Switching autostart off for the current user while an all-users entry of
// the same name exists leaves a user entry with Hidden=true, which is how a
// freedesktop user stops the all-users entry from starting the program (not
// on the first write of a run, which keeps things as they are).
//
// The store is the state; the component caches only the last result of
// each Boolean. Nothing is changed on destruction. GUI thread only.
#pragma once

#include <string>

#include "base/Events.h"
#include "platform/Autostart.h"

namespace desktop {

class TBramelAutostart : public base::TObject {
public:
    // appName := the application's title + "#Autostart"; the store is not
    // touched.
    TBramelAutostart();

    const std::string& appName() const { return appName_; }
    // Renames the entries: every existing one (both kinds, both folders)
    // moves to the new name, and so does a user's Hidden=true entry. The same name in other letter case
    // changes nothing.
    void SetAppName(const std::string& name);

    bool autostart();
    void SetAutostart(bool on);
    bool StartNextLogon();
    void SetStartNextLogon(bool on);

    bool Global() const { return global_; }
    // True only when a file can be created in the all-users folder;
    // otherwise it silently stays false. Existing entries move to the
    // chosen folder.
    void SetGlobal(bool on);

    bool ReadRunEntry(platform::TRunKind kind, bool global) const;
    bool WriteRunEntry(platform::TRunKind kind, bool global, bool present);

    // True at program start; shared by all instances.
    static inline bool FirstWritePending = true;

private:
    void MoveRunEntries(bool from, bool to);
    void HideAllUsersEntry();

    std::string appName_;
    bool autostart_ = false;
    bool startNextLogon_ = false;
    bool global_ = false;
};

}  // namespace desktop
