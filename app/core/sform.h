// The settings of the monitor as the configuration dialog holds them. These
// fields ARE the live settings: they are loaded once from ".\sentrel.ini" at
// start-up, changed only by the user's editing in the dialog (OK or Cancel,
// edits stay), and read by the controller whenever it needs a value. The Qt
// dialog "Server Pool" is a view bound to this model.
//
// Owned by the program's start-up; used on the GUI thread only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/core/AlertState.h"
#include "app/core/HostExpect.h"

namespace platform {
class TIniFile;
}

namespace app {

// The settings file, in the working directory, and the name its errors use.
inline constexpr const char* kSettingsFile = "sentrel.ini";
inline constexpr const char* kSettingsDisplayName = ".\\sentrel.ini";
// Row 1's host when the file does not name one.
inline constexpr const char* kDefaultHost = "www.debian.org";

// What a one-line field keeps of typed or pasted text: control characters
// (CR, LF, tab, NUL...) are dropped, so a pasted line break can never reach
// the settings file as a key of its own.
std::string DropControlChars(std::string text);

class TServerForm {
public:
    static constexpr int kRows = 10;
    static constexpr std::int32_t kMinFrequency = 1;
    static constexpr std::int32_t kMaxFrequency = 100000000;
    static constexpr std::int32_t kMaxConcurrency = 100;

    // server1name ... server10name and CB1, cb2 ... cb10.
    std::array<std::string, kRows> ServerName{};
    std::array<bool, kRows> Active{};
    bool AutoStart = false;
    bool StartOnBoot = false;
    std::string LogName = "status.log";
    // The key "proxy" of section main: a proxy URL (see net/ProxyUrl.h) that
    // every check goes through; empty for none. Not one of the dialog's
    // fields: Load reads it, Save leaves the file's key as it is.
    std::string Proxy;
    // The key "onchange" of section main: the command run for every change
    // of the pool's state (see OnChange.h); empty for none. Like the proxy,
    // not one of the dialog's fields: a save keeps the file's key.
    std::string OnChange;
    // The key "history" of section main: the history file every pass is
    // written to (app/core/HistoryRecorder.h), "sentrel.db" when absent,
    // empty for none. Not in the dialog either: kept by a save as it stands.
    std::string History = "sentrel.db";
    // Sections [server1] ... [server10]: what row n's host must do to count
    // as up (keys status, contains, notcontains, maxms, certdays). Not in the
    // dialog: Load reads them, Save leaves the sections as the file has them.
    // A value that cannot be read is kept as the row's Error.
    std::array<THostExpect, kRows> Expect{};

    // When a host counts as down and who is told (AlertState.h, Webhook.h):
    // "failures" and "recoveries" (checks in a row, 1 to kMaxStreak; [main]
    // for every host, [serverN] for row n), "retry" (seconds, 1 to the cycle
    // time), "remind" (minutes), "quiet", "webhook" ... "webhook5" and
    // "webhookformat". Not in the dialog: Load reads them, a save keeps them
    // as the file has them. 0 is off for retry and remind.
    static constexpr std::int32_t kMaxStreak = 100;
    static constexpr std::int32_t kMaxRemind = 525600;
    static constexpr int kWebhooks = 5;
    std::int32_t Failures = 1, Recoveries = 1;
    std::array<std::int32_t, kRows> ServerFailures{}, ServerRecoveries{};  // 0: as [main]
    std::int32_t Retry = 0;
    std::int32_t Remind = 0;
    TQuietHours Quiet;
    std::vector<std::string> Webhooks;
    std::string WebhookFormat = "json";
    // The first of those keys whose value cannot be read, with its place
    // ("quiet in sentrel.ini: entry 2 ..."); the monitor does not start with
    // it. Empty when all could be read.
    std::string AlertError;
    // The thresholds of the host in pool row slot (outside 1..kRows: [main]'s).
    std::int32_t FailuresFor(int slot) const;
    std::int32_t RecoveriesFor(int slot) const;

    // The cycle-time spin field: its value is always within its bounds.
    std::int32_t Frequency() const { return frequency_; }
    void SetFrequency(std::int32_t v);
    // A typed text: an integer is clamped (a decimal one too long for 32 bits
    // too), anything else reads as the minimum.
    void SetFrequencyText(const std::string& text);

    // Key "certwarndays": how many days before a certificate expires the
    // pass warns of it; 0 is never. Not in the dialog: set in the file,
    // kept by a save, and written only when it was there or is not 14.
    static constexpr std::int32_t kDefaultCertWarnDays = 14;
    static constexpr std::int32_t kMaxCertWarnDays = 3650;
    std::int32_t CertWarnDays() const { return certWarnDays_; }
    // Clamped to 0..3650.
    void SetCertWarnDays(std::int32_t days);
    // How many hosts a pass fetches at once ("concurrency"; 1, one after the
    // other, when absent): a value outside 1...kMaxConcurrency is clamped,
    // anything that is not a number reads as 1.
    std::int32_t Concurrency() const { return concurrency_; }
    void SetConcurrency(std::int32_t v);

    // Called by BuildHostList with the active rows' names.
    std::function<void(std::vector<std::string>)> OnBuildHostList;
    // The start-on-boot hook the main window installs.
    std::function<void(bool)> ApplyStartOnBoot;

    // Loads the fields from the settings file (a missing file, section or key
    // gives the defaults) and builds the host list. Never fails.
    void Load(const std::string& fileName = kSettingsFile);
    // The OK path after the dialog closed with OK: section "main" written
    // whole with its 25 keys in order (then "concurrency" when it is above 1,
    // so a pass keeps its speed, then "proxy", "onchange", "history" and the
    // alerting keys as the file had them), other sections kept; then the host
    // list rebuilt and the start-on-boot hook called. Raises
    // "Unable to write to .\sentrel.ini" when the file cannot be written (or
    // a field holds a control character), and then rebuilds nothing and
    // applies nothing.
    void Save(const std::string& fileName = kSettingsFile);
    // The names of the active rows, in row order, exactly as typed.
    std::vector<std::string> ActiveHosts() const;
    // The expectations of the active rows, in the same order.
    std::vector<THostExpect> ActiveExpectations() const;
    void BuildHostList();

    // The modal dialog; returns true for OK. Set by the window that shows it.
    std::function<bool()> ShowModal;
    // Shows the dialog and, on OK, saves.
    void ConfigurationButtonClick();

private:
    void LoadAlerting(const platform::TIniFile& ini);
    std::int32_t frequency_ = 30;
    std::int32_t certWarnDays_ = kDefaultCertWarnDays;
    bool certWarnDaysInFile_ = false;
    std::int32_t concurrency_ = 1;
};

}  // namespace app
