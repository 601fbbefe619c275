#include "desktop/bramelAutostart.h"

#include "base/Strings.h"
#include "platform/Application.h"

namespace desktop {

using platform::TRunKind;

TBramelAutostart::TBramelAutostart() : appName_(platform::Application().Title + "#Autostart") {}

bool TBramelAutostart::ReadRunEntry(TRunKind kind, bool global) const {
    return platform::ReadRunEntry(kind, global, appName_);
}

bool TBramelAutostart::WriteRunEntry(TRunKind kind, bool global, bool present) {
    if (FirstWritePending) {
        FirstWritePending = false;
        present = autostart();
    }
    return platform::WriteRunEntry(kind, global, appName_, present);
}

bool TBramelAutostart::autostart() {
    return autostart_ = ReadRunEntry(TRunKind::Run, global_);
}

void TBramelAutostart::SetAutostart(bool on) {
    // The first write of a run only keeps what is there; hiding an
    // all-users entry is for a user who switches it off.
    const bool asked = !FirstWritePending;
    autostart_ = WriteRunEntry(TRunKind::Run, global_, on);
    if (asked && !on) HideAllUsersEntry();
}

bool TBramelAutostart::StartNextLogon() {
    return startNextLogon_ = ReadRunEntry(TRunKind::RunOnce, global_);
}

void TBramelAutostart::SetStartNextLogon(bool on) {
    startNextLogon_ = WriteRunEntry(TRunKind::RunOnce, global_, on);
}

void TBramelAutostart::HideAllUsersEntry() {
    // Without this the all-users entry would go on starting the program for
    // this user, whatever the box says.
    if (!global_ && ReadRunEntry(TRunKind::Run, true)) platform::WriteHiddenRunEntry(TRunKind::Run, appName_);
}

void TBramelAutostart::SetAppName(const std::string& name) {
    if (base::UpperCase(name) == base::UpperCase(appName_)) return;
    struct Entry {
        TRunKind kind;
        bool global;
        bool present;
    };
    Entry entries[] = {{TRunKind::Run, false, false},
                       {TRunKind::Run, true, false},
                       {TRunKind::RunOnce, false, false},
                       {TRunKind::RunOnce, true, false}};
    for (Entry& e : entries) e.present = ReadRunEntry(e.kind, e.global);
    // A user's entry that hides an all-users one moves with it, or the
    // program would start again for a user who switched it off.
    bool hidden[] = {platform::IsHiddenRunEntry(TRunKind::Run, appName_),
                     platform::IsHiddenRunEntry(TRunKind::RunOnce, appName_)};
    for (const Entry& e : entries)
        if (e.present) WriteRunEntry(e.kind, e.global, false);
    const std::string old = appName_;
    appName_ = name;
    for (const Entry& e : entries)
        if (e.present) WriteRunEntry(e.kind, e.global, true);
    for (TRunKind kind : {TRunKind::Run, TRunKind::RunOnce}) {
        if (!hidden[kind == TRunKind::Run ? 0 : 1]) continue;
        platform::WriteHiddenRunEntry(kind, appName_);
        platform::WriteRunEntry(kind, false, old, false);
    }
    autostart();
    StartNextLogon();
}

void TBramelAutostart::SetGlobal(bool on) {
    if (on && !platform::CanWriteAllUsers()) on = false;
    if (on == global_) return;
    MoveRunEntries(global_, on);
    global_ = on;
}

void TBramelAutostart::MoveRunEntries(bool from, bool to) {
    for (TRunKind kind : {TRunKind::Run, TRunKind::RunOnce}) {
        if (!ReadRunEntry(kind, from)) continue;
        WriteRunEntry(kind, to, true);
        WriteRunEntry(kind, from, false);
    }
}

}  // namespace desktop
