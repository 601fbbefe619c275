// A desktop of the test's own: a temporary folder whose config/, etc/,
// data/ and share/ are the XDG base folders while it lives, a way to put a
// desktop entry and a mimeapps.list there, and a recording handler (a shell
// script that appends its argument count and arguments to a file), so that
// nothing a test does reaches the real home folder.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace testsupport {

class FakeXdg {
public:
    FakeXdg() {
        char tmpl[] = "/tmp/sentrel-xdg-XXXXXX";
        Root = mkdtemp(tmpl);
        for (const auto& [name, dir] : std::map<std::string, std::string>{{"XDG_CONFIG_HOME", "config"},
                                                                          {"XDG_CONFIG_DIRS", "etc"},
                                                                          {"XDG_DATA_HOME", "data"},
                                                                          {"XDG_DATA_DIRS", "share"}}) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
            setenv(name.c_str(), (Root / dir).c_str(), 1);
        }
        const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
        saved_["XDG_CURRENT_DESKTOP"] = desktop ? std::optional<std::string>(desktop) : std::nullopt;
        unsetenv("XDG_CURRENT_DESKTOP");
    }
    ~FakeXdg() {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        std::filesystem::remove_all(Root);
    }

    static void Put(const std::filesystem::path& file, const std::string& text) {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }
    static std::string Get(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // A handler whose Exec runs the recording script; returns its ID.
    std::string Handler(const std::string& id, const std::string& execArgs = "%u") {
        const auto script = Root / "record.sh";
        Put(script, "#!/bin/sh\n{ printf '%s' \"$#\"; printf '|%s' \"$@\"; echo; } >> '" +
                        Recording().string() + "'\n");
        chmod(script.c_str(), 0755);
        Put(Root / "data/applications" / id, "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" +
                                                 script.string() + " " + execArgs + "\n");
        return id;
    }
    std::filesystem::path Recording() const { return Root / "recorded.txt"; }
    // The recording's lines once it has n of them (the handler runs
    // detached), or what it has after five seconds.
    std::string WaitForRecording(int lines) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        std::string text;
        while (std::chrono::steady_clock::now() < deadline) {
            text = Get(Recording());
            if (std::count(text.begin(), text.end(), '\n') >= lines) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return text;
    }

    std::filesystem::path Root;

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace testsupport
