#include "desktop/GoToWeb.h"

#include <cctype>
#include <cstring>
#include <set>

#include "platform/Process.h"

namespace desktop {

namespace {

const char* const kTerminal = "x-terminal-emulator";
const char* const kOpener = "xdg-open";

bool Unreserved(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

std::string PercentEncode(const std::string& s, const char* keep) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (Unreserved(c) || (c && std::strchr(keep, c))) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// The URL's scheme in lower case, or empty when it has none.
std::string Scheme(const std::string& url) {
    const std::size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0])))
        return "";
    std::string scheme;
    for (std::size_t i = 0; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(url[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return "";
        scheme += static_cast<char>(std::tolower(c));
    }
    return scheme;
}

}  // namespace

int BrowserShowCommand(TBrowserState state) {
    switch (state) {
        case gwMaximized: return 3;
        case gwNormal: return 1;
    }
    return 0;
}

std::string TGoToWeb::MailUrl() const {
    return "mailto:" + PercentEncode(EMail, "@+") + "?subject=" + PercentEncode(EMailSubject, "");
}

std::vector<std::string> TGoToWeb::BrowserTypes(const std::string& url) {
    std::vector<std::string> types;
    const std::string scheme = Scheme(url);
    if (!scheme.empty()) types.push_back("x-scheme-handler/" + scheme);
    types.push_back("text/html");
    return types;
}

std::optional<platform::TDesktopApplication> TGoToWeb::FindBrowserCommand(
    const std::vector<std::string>& types) {
    for (const auto& type : types)
        if (auto app = platform::FindDefaultApplication(type)) return app;
    return std::nullopt;
}

std::optional<std::vector<std::string>> TGoToWeb::SplitBrowserCommand(
    const platform::TDesktopApplication& app, const std::string& url) {
    platform::TExecFields fields;
    fields.Url = url;
    fields.Icon = app.Entry.Value("Icon").value_or("");
    fields.Name = app.Entry.Value("Name").value_or("");
    fields.DesktopFile = app.Path;
    return platform::SplitExec(app.Entry.Value("Exec").value_or(""), fields);
}

bool TGoToWeb::Launch(const std::vector<std::string>& types, const std::string& url) {
    std::set<std::string> tried;
    for (const auto& type : types) {
        const auto app = platform::FindDefaultApplication(type);
        if (!app || !tried.insert(app->Path).second) continue;
        auto argv = SplitBrowserCommand(*app, url);
        if (!argv || argv->empty()) continue;
        // A program for a terminal (a terminal mail client) gets one, or the
        // next handler is asked.
        if (app->Entry.Value("Terminal").value_or("") == "true")
            argv->insert(argv->begin(), {kTerminal, "-e"});
        if (platform::SpawnDetached(*argv)) return true;
    }
    // A fresh desktop often names no default at all: the freedesktop opener
    // knows its own ways.
    return platform::SpawnDetached({kOpener, url});
}

bool TGoToWeb::LaunchUrl() {
    return Launch(BrowserTypes(Url), Url);
}

bool TGoToWeb::LaunchMail() {
    std::vector<std::string> types{"x-scheme-handler/mailto"};
    for (auto& t : BrowserTypes(Url)) types.push_back(t);
    return Launch(types, MailUrl());
}

}  // namespace desktop
