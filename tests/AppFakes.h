// Test doubles for the controller: a view that records what it was told, a
// getter that answers each host as scripted, and a temporary working folder
// (the settings file and the log are relative names).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/core/HttpGetter.h"
#include "app/core/MainView.h"

namespace fs = std::filesystem;

struct RecordingView : app::MainView {
    std::string status, lastHost, hint, caption = "Monitor On";
    std::vector<std::string> statusHistory;
    std::map<app::Command, bool> enabled{
        {app::Command::Monitor, true}, {app::Command::CheckNow, true}, {app::Command::Configuration, true}};
    std::uint32_t ledColor = 0;
    bool ledBlink = false, ledValue = false, activeLed = false;
    std::vector<std::string> ledWrites;

    void SetStatusText(const std::string& t) override {
        status = t;
        statusHistory.push_back(t);
    }
    void SetLastHost(const std::string& h) override { lastHost = h; }
    void SetLastHostHint(const std::string& h) override { hint = h; }
    void SetMonitorCaption(const std::string& c) override { caption = c; }
    void SetCommandEnabled(app::Command c, bool e) override { enabled[c] = e; }
    void SetStatusLedColor(std::uint32_t c) override {
        ledColor = c;
        ledWrites.push_back("color");
    }
    void SetStatusLedBlink(bool b) override {
        ledBlink = b;
        ledWrites.push_back("blink");
    }
    void SetStatusLedValue(bool v) override {
        ledValue = v;
        ledWrites.push_back("value");
    }
    void SetActiveLed(bool v) override { activeLed = v; }
    // The state-change line of each pass ("" when nothing changed).
    std::vector<std::string> changes;
    void ShowPassOutcome(const app::TPassOutcome&, const app::TStateChange& c) override {
        changes.push_back(c.Changed ? c.Line() : "");
    }
    bool AllCommandsEnabled() const {
        return enabled.at(app::Command::Monitor) && enabled.at(app::Command::CheckNow) &&
               enabled.at(app::Command::Configuration);
    }
};

// Each host answers with a body (possibly empty) and either returns or fails.
struct ScriptedGetter : app::HttpGetter {
    struct Answer {
        std::string body;
        bool fail = false;
        std::string reason = "Connection refused (Error #10061)";
        std::int64_t certExpiry = 0;  // what the host's certificate said, 0 for none
    };
    std::map<std::string, Answer> answers;
    std::vector<std::string> asked;
    std::function<void(const std::string&)> during;  // runs inside Get, as a pumped handler would
    int aborts = 0;
    std::int64_t lastExpiry = 0;

    void Get(const std::string& url, base::TStream& body) override {
        asked.push_back(url);
        if (during) during(url);
        Answer a = answers.count(url) ? answers[url] : Answer{};
        lastExpiry = a.certExpiry;
        body.WriteString(a.body);
        if (a.fail) throw std::runtime_error(a.reason);
    }
    void Abort() override { ++aborts; }
    std::int64_t LastCertificateExpiry() const override { return lastExpiry; }
};

// Runs a test in a fresh working folder and goes back afterwards.
struct WorkDir {
    fs::path old, path;
    WorkDir() {
        old = fs::current_path();
        char tmpl[] = "/tmp/sentrel-app-XXXXXX";
        path = mkdtemp(tmpl);
        fs::current_path(path);
    }
    ~WorkDir() {
        fs::current_path(old);
        fs::remove_all(path);
    }
};

inline void PutFile(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
}

inline std::string GetFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The log's lines with the date and time columns taken out: the marker, then
// what follows the program identifier. The header line becomes "header".
inline std::vector<std::string> LogLines(const std::string& name = "status.log") {
    std::string text = GetFile(name);
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t j = text.find("\r\n", i);
        if (j == std::string::npos) {
            out.push_back("UNTERMINATED:" + text.substr(i));
            break;
        }
        std::string line = text.substr(i, j - i);
        if (line.rfind("----------------------  ", 0) == 0)
            out.push_back("header");
        else
            out.push_back(line.substr(0, 1) + line.substr(24 + 4));  // "QZ  " after 24 columns
        i = j + 2;
    }
    return out;
}
