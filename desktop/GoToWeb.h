// TGoToWeb opens a web page, or starts a new mail, with the desktop's
// default handler. The handler is the freedesktop default application
// (platform/MimeApps.h): for LaunchUrl the one for x-scheme-handler/<scheme
// of Url>, then the one for text/html; for LaunchMail the one for
// x-scheme-handler/mailto, then the same chain as LaunchUrl. Its desktop
// entry's Exec line is split by the desktop-entry quoting rules, its field
// codes expanded (the page or mailto: URL is always one argument), and the
// program started directly, detached, never through a shell. A handler
// marked Terminal=true is started in the user's terminal
// ("x-terminal-emulator -e ..."). When a handler cannot start, the next type's
// is tried; when none starts (a fresh desktop often names none), the URL goes
// to "xdg-open".
//
// The mail's address and subject are percent-encoded into one
// "mailto:<address>?subject=<subject>" URL (RFC 6068), so a subject with
// spaces stays one argument.
//
// BrowserState is kept as a property and given to no one: Linux has no
// portable way to ask a program for a maximised start.
//
// The launchers return true only when a handler's program (or xdg-open) was
// executed; false when nothing could be started, and nothing is shown. GUI thread only; no state is shared
// between instances.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/Events.h"
#include "platform/MimeApps.h"

namespace desktop {

enum TBrowserState { gwMaximized, gwNormal };
// 3 (show maximised) for gwMaximized, 1 (show normal) for gwNormal, else 0.
int BrowserShowCommand(TBrowserState state);

class TGoToWeb : public base::TObject {
public:
    std::string Url = "http://localhost/";
    std::string EMail = "postmaster@localhost";
    std::string EMailSubject = "";
    TBrowserState BrowserState = gwMaximized;

    bool LaunchUrl();
    bool LaunchMail();

    // "mailto:" + EMail + "?subject=" + EMailSubject, percent-encoded.
    std::string MailUrl() const;

    // The handler for url: the default application of the first type in
    // the chain that has one.
    static std::optional<platform::TDesktopApplication> FindBrowserCommand(
        const std::vector<std::string>& types);
    // The handler's argument vector for url (program first), or nothing
    // when its Exec line cannot be split.
    static std::optional<std::vector<std::string>> SplitBrowserCommand(
        const platform::TDesktopApplication& app, const std::string& url);
    // x-scheme-handler/<scheme> of url (when it has one), then text/html.
    static std::vector<std::string> BrowserTypes(const std::string& url);

private:
    static bool Launch(const std::vector<std::string>& types, const std::string& url);
};

}  // namespace desktop
