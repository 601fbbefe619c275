#include "platform/Autostart.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>

#include "base/SafeFile.h"
#include "platform/DesktopEntry.h"
#include "platform/MimeApps.h"
#include "platform/Process.h"

namespace platform {

namespace {

std::string Quoted(const char* format, const std::string& name) {
    std::string text = format;
    text.replace(text.find("%s"), 2, name);
    return text;
}

// Makes dir and its missing parents; true when it is a folder afterwards.
bool MakeDirs(const std::string& dir) {
    for (std::size_t i = 1; i <= dir.size(); ++i) {
        if (i < dir.size() && dir[i] != '/') continue;
        const std::string part = dir.substr(0, i);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string WorkingDir() {
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) ? buf : "";
}

// Writes text whole to path through a temporary file in its folder.
bool WriteWhole(const std::string& path, const std::string& text) {
    return base::WriteFileWhole(path, text).empty();
}

// The folder of path, made canonical; empty when it does not exist.
std::string RealDir(const std::string& dir) {
    char buf[PATH_MAX];
    return ::realpath(dir.c_str(), buf) ? buf : "";
}

}  // namespace

std::string AutostartDir(bool global) {
    return (global ? XdgConfigDirs().front() : XdgConfigHome()) + "/autostart";
}

std::string RunEntryPath(TRunKind kind, bool global, const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        return "";
    return AutostartDir(global) + "/" + name + (kind == TRunKind::RunOnce ? ".once.desktop" : ".desktop");
}

std::string RunEntryText(TRunKind kind, const std::string& executable, const std::string& workingDir,
                         const std::string& entryPath) {
    std::string exec = QuoteExecArgument(executable);
    if (kind == TRunKind::RunOnce)
        exec += std::string(" ") + kRemoveOnceEntryOption + " " + QuoteExecArgument(entryPath);
    std::string text =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Sentrel\n"
        "Exec=" +
        EscapeKeyValue(exec) + "\n";
    if (!workingDir.empty()) text += "Path=" + EscapeKeyValue(workingDir) + "\n";
    return text;
}

namespace {

// A folder this user can enter (and, for writing, write into): anything else
// is a store that cannot be opened, which reads and writes as absent
// instead of failing.
bool UsableFolder(const std::string& dir, bool write) {
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(dir.c_str(), write ? (W_OK | X_OK) : X_OK) == 0;
}

// The entry's [Desktop Entry] group; nothing when the file has none. The
// file is known to be a regular file.
std::optional<TKeyFileGroup> ReadEntryGroup(const std::string& path, const std::string& name) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ERegistryException(Quoted("Failed to get data for '%s'", name));
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw ERegistryException(Quoted("Failed to get data for '%s'", name));
    const auto groups = ParseKeyFile(text);
    const TKeyFileGroup* entry = FindGroup(groups, "Desktop Entry");
    if (!entry) return std::nullopt;
    return *entry;
}

}  // namespace

bool ReadRunEntry(TRunKind kind, bool global, const std::string& name) {
    const std::string path = RunEntryPath(kind, global, name);
    if (path.empty() || !UsableFolder(AutostartDir(global), false)) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return false;
        throw ERegistryException(Quoted("Failed to get data for '%s'", name));
    }
    if (!S_ISREG(st.st_mode)) throw ERegistryException(Quoted("Invalid data type for '%s'", name));
    const auto entry = ReadEntryGroup(path, name);
    if (!entry) return false;
    if (entry->Value("Hidden").value_or("") == "true") return false;
    // Switched off in the desktop's own start-up settings.
    if (entry->Value("X-GNOME-Autostart-enabled").value_or("") == "false") return false;
    return !entry->Value("Exec").value_or("").empty();
}

bool IsHiddenRunEntry(TRunKind kind, const std::string& name) {
    const std::string path = RunEntryPath(kind, false, name);
    if (path.empty() || !UsableFolder(AutostartDir(false), false)) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const auto entry = ReadEntryGroup(path, name);
    return entry && entry->Value("Hidden").value_or("") == "true";
}

bool WriteRunEntry(TRunKind kind, bool global, const std::string& name, bool present) {
    const std::string path = RunEntryPath(kind, global, name);
    if (path.empty() || !MakeDirs(AutostartDir(global)) || !UsableFolder(AutostartDir(global), true))
        return false;
    if (present) {
        if (!WriteWhole(path, RunEntryText(kind, ExecutablePath(), WorkingDir(), path)))
            throw ERegistryException(Quoted("Failed to set data for '%s'", name));
        return true;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw ERegistryException(Quoted("Failed to set data for '%s'", name));
    return false;
}

void WriteHiddenRunEntry(TRunKind kind, const std::string& name) {
    const std::string path = RunEntryPath(kind, false, name);
    if (path.empty()) return;
    if (!MakeDirs(AutostartDir(false)) ||
        !WriteWhole(path, "[Desktop Entry]\nType=Application\nName=Sentrel\nHidden=true\n"))
        throw ERegistryException(Quoted("Failed to set data for '%s'", name));
}

bool CanWriteAllUsers() {
    const std::string dir = AutostartDir(true);
    if (!MakeDirs(dir)) return false;
    std::string probe = dir + "/.sentrel-probe.XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) return false;
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

bool RemoveOnceEntry(const std::string& path) {
    static const std::string suffix = ".once.desktop";
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    const std::string file = path.substr(slash + 1);
    if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string dir = RealDir(path.substr(0, slash));
    if (dir.empty() || (dir != RealDir(AutostartDir(false)) && dir != RealDir(AutostartDir(true))))
        return false;
    struct stat st {};
    const std::string target = dir + "/" + file;
    if (::lstat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return ::unlink(target.c_str()) == 0;
}

}  // namespace platform
