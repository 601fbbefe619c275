// Test doubles for the controller: a view that records what it was told, a
// getter that answers each host as scripted, and a temporary working folder
// (the settings file and the log are relative names).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
#include "platform/Timer.h"

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
    // Each log failure a pass reported, and how often a later line was
    // written again.
    std::vector<std::string> logFailures;
    int logWritten = 0;
    bool logFailureBox = false;  // also report it the default way, as the application's error
    void ShowLogFailure(const std::string& error) override {
        logFailures.push_back(error);
        if (logFailureBox) app::MainView::ShowLogFailure(error);
    }
    void LogWritten() override { ++logWritten; }
    bool AllCommandsEnabled() const {
        return enabled.at(app::Command::Monitor) && enabled.at(app::Command::CheckNow) &&
               enabled.at(app::Command::Configuration);
    }
};

// Each host answers with a body (possibly empty) and either returns or fails.
// A host with a delay, when started rather than fetched with Get, answers
// from a timer that long after, so a pass fetching several hosts at once sees
// them end out of order. MakeAnother gives more clients sharing the script
// and the record.
struct ScriptedGetter : app::HttpGetter {
    struct Answer {
        std::string body;
        bool fail = false;
        std::string reason = "Connection refused (Error #10061)";
        std::int64_t certExpiry = 0;  // what the host's certificate said, 0 for none
        int statusCode = 0;           // of the reply's header, 0 for none
    };
    std::map<std::string, Answer> answers;
    std::map<std::string, std::uint32_t> delays;  // milliseconds
    std::vector<std::string> asked;
    std::function<void(const std::string&)> during;  // runs inside Get, as a pumped handler would
    int aborts = 0;
    int clients = 1, inFlight = 0, mostInFlight = 0;

    void Get(const std::string& url, base::TStream& body) override {
        root_->asked.push_back(url);
        if (root_->during) root_->during(url);
        Answer a = AnswerFor(url);
        lastExpiry_ = a.certExpiry;
        lastStatus_ = a.statusCode;
        body.WriteString(a.body);
        if (a.fail) throw std::runtime_error(a.reason);
    }
    void Abort() override {
        ++root_->aborts;
        if (pendingDone_) Finish(true);
    }
    void Start(const std::string& url, base::TStream& body, Done done) override {
        auto delay = root_->delays.find(url);
        if (delay == root_->delays.end()) return HttpGetter::Start(url, body, std::move(done));
        root_->asked.push_back(url);
        root_->mostInFlight = std::max(root_->mostInFlight, ++root_->inFlight);
        pendingUrl_ = url;
        pendingBody_ = &body;
        pendingDone_ = std::move(done);
        timer_.OnTimer = [this] { Finish(false); };
        timer_.SetInterval(delay->second);
        timer_.SetEnabled(true);
    }
    std::int64_t LastCertificateExpiry() const override { return lastExpiry_; }
    int LastStatusCode() const override { return lastStatus_; }
    std::unique_ptr<app::HttpGetter> MakeAnother() override {
        auto another = std::make_unique<ScriptedGetter>();
        another->root_ = root_;
        ++root_->clients;
        return another;
    }

private:
    Answer AnswerFor(const std::string& url) {
        return root_->answers.count(url) ? root_->answers[url] : Answer{};
    }
    void Finish(bool aborted) {
        timer_.SetEnabled(false);
        --root_->inFlight;
        Answer a = AnswerFor(pendingUrl_);
        if (aborted) a = {"", true, "Connection aborted on request"};
        lastExpiry_ = a.certExpiry;
        lastStatus_ = a.statusCode;
        pendingBody_->WriteString(a.body);
        Done done = std::move(pendingDone_);
        pendingDone_ = nullptr;
        done(a.fail, a.reason);
    }

    ScriptedGetter* root_ = this;
    platform::TTimer timer_;
    std::string pendingUrl_;
    base::TStream* pendingBody_ = nullptr;
    Done pendingDone_;
    std::int64_t lastExpiry_ = 0;
    int lastStatus_ = 0;
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
