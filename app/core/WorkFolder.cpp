#include "app/core/WorkFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SentrelVersion.h"

namespace app {

namespace {

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    const passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "/";
}

// mkdir -p: each missing component, the last one private to the user.
bool MakeFolders(const std::string& dir) {
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

std::string UserFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base = xdg && xdg[0] == '/' ? std::string(xdg) : HomeFolder() + "/.config";
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/sentrel";
}

std::string EnterFolder(const std::string& dir, bool create) {
    if (dir.empty()) return "cannot use an empty folder name";
    if ((create && !MakeFolders(dir)) || ::chdir(dir.c_str()) != 0)
        return "cannot use folder '" + dir + "': " + std::strerror(errno);
    return "";
}

int TakeFolderOptions(const char* program, std::vector<std::string>& args) {
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string error;
        if (a == "--version" || a == "-V") {
            std::printf("%s %s\n", program, SENTREL_VERSION);
            return 0;
        } else if (a == "--user-folder") {
            error = EnterFolder(UserFolder(), true);
        } else if (a == "-C" || a == "--directory") {
            if (i + 1 == args.size())
                error = "option '" + a + "' needs a folder";
            else
                error = EnterFolder(args[++i], false);
        } else if (a.rfind("--directory=", 0) == 0) {
            error = EnterFolder(a.substr(12), false);
        } else {
            break;
        }
        if (!error.empty()) {
            std::fprintf(stderr, "%s: %s\n", program, error.c_str());
            return 2;
        }
    }
    args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(i));
    return -1;
}

}  // namespace app
