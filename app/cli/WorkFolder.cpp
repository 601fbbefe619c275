#include "app/cli/WorkFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/Strings.h"
#include "platform/MimeApps.h"

namespace app {

namespace {

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
    std::string base = platform::XdgConfigHome();
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/sentrel";
}

std::string EnterFolder(const std::string& dir, bool create) {
    if (dir.empty()) return "cannot use an empty folder name";
    if ((create && !MakeFolders(dir)) || ::chdir(dir.c_str()) != 0)
        return "cannot use folder '" + dir + "': " + std::strerror(errno);
    return "";
}

int EnterFolders(const std::string& program, const std::vector<WorkFolderChoice>& folders) {
    for (const auto& f : folders)
        if (std::string error = EnterFolder(f.Dir, f.Create); !error.empty()) {
            std::fprintf(stderr, "%s: %s\n", program.c_str(), base::ShowControls(error).c_str());
            return 2;
        }
    return 0;
}

}  // namespace app
