#include "platform/MimeApps.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform {

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// $HOME, or the user's home from the password file when it is not set.
std::string Home() {
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    const passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "/";
}

// The absolute entries of a colon-separated list; the fallback when none is.
std::vector<std::string> PathList(const char* name, const std::vector<std::string>& fallback) {
    std::vector<std::string> out;
    std::stringstream in(Env(name));
    for (std::string item; std::getline(in, item, ':');)
        if (!item.empty() && item[0] == '/') out.push_back(item);
    return out.empty() ? fallback : out;
}

std::string BaseDir(const char* name, const char* underHome) {
    const std::string v = Env(name);
    if (!v.empty() && v[0] == '/') return v;
    return Home() + underHome;
}

std::optional<std::string> ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return s.str();
}

bool UsableApplication(const TKeyFileGroup& g) {
    const auto type = g.Value("Type");
    if (type && *type != "Application") return false;
    if (g.Value("Hidden").value_or("") == "true") return false;
    return !g.Value("Exec").value_or("").empty();
}

}  // namespace

std::string XdgConfigHome() {
    return BaseDir("XDG_CONFIG_HOME", "/.config");
}
std::vector<std::string> XdgConfigDirs() {
    return PathList("XDG_CONFIG_DIRS", {"/etc/xdg"});
}
std::string XdgDataHome() {
    return BaseDir("XDG_DATA_HOME", "/.local/share");
}
std::vector<std::string> XdgDataDirs() {
    return PathList("XDG_DATA_DIRS", {"/usr/local/share", "/usr/share"});
}

std::vector<std::string> MimeAppsListFiles() {
    std::vector<std::string> desktops;
    std::stringstream in(Env("XDG_CURRENT_DESKTOP"));
    for (std::string d; std::getline(in, d, ':');) {
        if (d.empty()) continue;
        for (char& c : d) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        desktops.push_back(d);
    }
    std::vector<std::string> folders{XdgConfigHome()};
    for (const auto& d : XdgConfigDirs()) folders.push_back(d);
    folders.push_back(XdgDataHome() + "/applications");
    for (const auto& d : XdgDataDirs()) folders.push_back(d + "/applications");
    std::vector<std::string> files;
    for (const auto& f : folders) {
        for (const auto& d : desktops) files.push_back(f + "/" + d + "-mimeapps.list");
        files.push_back(f + "/mimeapps.list");
    }
    return files;
}

std::vector<std::string> MimeAppsIds(const std::string& text, const std::string& group,
                                     const std::string& mimeType) {
    const auto groups = ParseKeyFile(text);
    const TKeyFileGroup* g = FindGroup(groups, group);
    if (!g) return {};
    const auto v = g->Value(mimeType);
    return v ? SplitKeyList(*v) : std::vector<std::string>{};
}

std::optional<TDesktopApplication> FindDesktopApplication(const std::string& id) {
    if (id.empty() || id.find('/') != std::string::npos || id[0] == '.') return std::nullopt;
    // "vendor-app.desktop" may live as "vendor/app.desktop".
    std::vector<std::string> names{id};
    for (std::size_t i = id.find('-'); i != std::string::npos; i = id.find('-', i + 1))
        names.push_back(id.substr(0, i) + "/" + id.substr(i + 1));
    std::vector<std::string> folders{XdgDataHome()};
    for (const auto& d : XdgDataDirs()) folders.push_back(d);
    for (const auto& folder : folders) {
        for (const auto& name : names) {
            const std::string path = folder + "/applications/" + name;
            const auto text = ReadText(path);
            if (!text) continue;
            const auto groups = ParseKeyFile(*text);
            const TKeyFileGroup* g = FindGroup(groups, "Desktop Entry");
            // The first file of an ID decides, usable or not: a user's copy
            // that hides an application hides it.
            if (!g || !UsableApplication(*g)) return std::nullopt;
            return TDesktopApplication{path, *g};
        }
    }
    return std::nullopt;
}

std::optional<TDesktopApplication> FindDefaultApplication(const std::string& mimeType) {
    const auto files = MimeAppsListFiles();
    for (const char* group : {"Default Applications", "Added Associations"}) {
        for (const auto& file : files) {
            const auto text = ReadText(file);
            if (!text) continue;
            for (const auto& id : MimeAppsIds(*text, group, mimeType))
                if (auto app = FindDesktopApplication(id)) return app;
        }
    }
    return std::nullopt;
}

}  // namespace platform
