#include "app/core/sform.h"

#include <algorithm>
#include <iterator>

#include "app/core/Webhook.h"
#include "base/Exception.h"
#include "base/Strings.h"
#include "platform/IniFile.h"

namespace app {

namespace {
const char* const kMain = "main";
std::string Row(const char* prefix, int n, const char* suffix) {
    return prefix + std::to_string(n) + suffix;
}

// Section [serverN]; the first key that cannot be read fails the row.
THostExpect ReadExpect(const platform::TIniFile& ini, int n) {
    THostExpect e;
    const std::string section = Row("server", n, "");
    auto read = [&](const char* key, auto parse) {
        if (!e.Error.empty() || !ini.ValueExists(section, key)) return;
        if (std::string why = parse(ini.ReadString(section, key, "")); !why.empty())
            e.Error = std::string(key) + " in " + kSettingsFile + ": " + why;
    };
    read("status", [&](const std::string& v) { return ParseStatusList(v, e); });
    read("contains", [&](const std::string& v) { return ParseText(v, e.Contains, e.HasContains); });
    read("notcontains", [&](const std::string& v) { return ParseText(v, e.NotContains, e.HasNotContains); });
    read("maxms", [&](const std::string& v) { return ParseMaxMs(v, e); });
    read("certdays", [&](const std::string& v) { return ParseCertDays(v, e); });
    return e;
}
// The alerting keys a save writes back as the file has them, in this order.
const char* const kAlertKeys[] = {"failures", "recoveries", "retry",    "remind",   "quiet",        "webhook",
                                  "webhook2", "webhook3",   "webhook4", "webhook5", "webhookformat"};

// A whole number from lo to hi; the error says which key and where.
std::string ReadCount(const platform::TIniFile& ini, const std::string& section, const char* key,
                      std::int32_t lo, std::int32_t hi, std::int32_t& out, const std::string& what) {
    if (!ini.ValueExists(section, key)) return "";
    const std::string text = base::Trim(ini.ReadString(section, key, ""));
    auto v = base::TryStrToInt(text);
    if (v && *v >= lo && *v <= hi) {
        out = *v;
        return "";
    }
    const std::string place =
        section == kMain ? std::string(" in ") + kSettingsFile : " in [" + section + "] of " + kSettingsFile;
    return std::string(key) + place + ": \"" + base::ShowControls(text) + "\" is not " + what;
}
}  // namespace

std::int32_t TServerForm::FailuresFor(int slot) const {
    return slot >= 1 && slot <= kRows && ServerFailures[slot - 1] > 0 ? ServerFailures[slot - 1] : Failures;
}

std::int32_t TServerForm::RecoveriesFor(int slot) const {
    return slot >= 1 && slot <= kRows && ServerRecoveries[slot - 1] > 0 ? ServerRecoveries[slot - 1]
                                                                        : Recoveries;
}

void TServerForm::LoadAlerting(const platform::TIniFile& ini) {
    AlertError.clear();
    auto fail = [&](std::string why) {
        if (AlertError.empty()) AlertError = std::move(why);
    };
    const std::string streak = "a number from 1 to " + std::to_string(kMaxStreak);
    Failures = Recoveries = 1;
    fail(ReadCount(ini, kMain, "failures", 1, kMaxStreak, Failures, streak));
    fail(ReadCount(ini, kMain, "recoveries", 1, kMaxStreak, Recoveries, streak));
    for (int n = 1; n <= kRows; ++n) {
        ServerFailures[n - 1] = ServerRecoveries[n - 1] = 0;
        fail(ReadCount(ini, Row("server", n, ""), "failures", 1, kMaxStreak, ServerFailures[n - 1], streak));
        fail(ReadCount(ini, Row("server", n, ""), "recoveries", 1, kMaxStreak, ServerRecoveries[n - 1],
                       streak));
    }
    Retry = Remind = 0;
    fail(ReadCount(ini, kMain, "retry", 0, Frequency(), Retry,
                   "a number of seconds from 1 to the cycle time (" + std::to_string(Frequency()) + ")"));
    fail(ReadCount(ini, kMain, "remind", 0, kMaxRemind, Remind, "a number of minutes"));
    const std::string quiet = ini.ReadString(kMain, "quiet", "");
    if (std::string why = ParseQuietHours(quiet, Quiet); !why.empty())
        fail(std::string("quiet in ") + kSettingsFile + ": " + why);
    Webhooks.clear();
    for (int n = 1; n <= kWebhooks; ++n) {
        const std::string key = n == 1 ? "webhook" : Row("webhook", n, "");
        const std::string url = base::Trim(ini.ReadString(kMain, key, ""));
        if (url.empty()) continue;
        // The URL's path and query are its secret: the error names the key alone.
        if (std::string why = CheckWebhookUrl(url); !why.empty())
            fail(key + " in " + kSettingsFile + ": " + why);
        else
            Webhooks.push_back(url);
    }
    WebhookFormat = base::LowerCase(base::Trim(ini.ReadString(kMain, "webhookformat", "json")));
    if (std::find(std::begin(kWebhookFormats), std::end(kWebhookFormats), WebhookFormat) ==
        std::end(kWebhookFormats)) {
        fail(std::string("webhookformat in ") + kSettingsFile + ": \"" + base::ShowControls(WebhookFormat) +
             "\" is not json, slack, discord, ntfy or gotify");
        WebhookFormat = "json";
    }
}

void TServerForm::SetFrequency(std::int32_t v) {
    frequency_ = std::clamp(v, kMinFrequency, kMaxFrequency);
}

void TServerForm::SetConcurrency(std::int32_t v) {
    concurrency_ = std::clamp(v, 1, kMaxConcurrency);
}

void TServerForm::SetFrequencyText(const std::string& text) {
    const std::string t = base::Trim(text);
    auto v = base::TryStrToInt(t);
    if (!v) {
        // A decimal number too long for an integer is still a number out of
        // range: it goes to the nearest bound, not to the minimum.
        std::size_t i = (!t.empty() && (t[0] == '-' || t[0] == '+')) ? 1 : 0;
        const bool digits = i < t.size() && t.find_first_not_of("0123456789", i) == std::string::npos;
        SetFrequency(digits && t[0] != '-' ? kMaxFrequency : kMinFrequency);
        return;
    }
    SetFrequency(*v);
}

std::string DropControlChars(std::string text) {
    std::erase_if(text, [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c < 0x20 || c == 0x7F;
    });
    return text;
}

void TServerForm::SetCertWarnDays(std::int32_t days) {
    certWarnDays_ = std::clamp(days, 0, kMaxCertWarnDays);
}

void TServerForm::Load(const std::string& fileName) {
    platform::TIniFile ini(fileName);
    for (int n = 1; n <= kRows; ++n)
        ServerName[n - 1] = ini.ReadString(kMain, Row("Server", n, "Name"), n == 1 ? kDefaultHost : "");
    for (int n = 1; n <= kRows; ++n) Active[n - 1] = ini.ReadBool(kMain, Row("server", n, "active"), n == 1);
    for (int n = 1; n <= kRows; ++n) Expect[n - 1] = ReadExpect(ini, n);
    BuildHostList();
    LogName = ini.ReadString(kMain, "logname", "status.log");
    SetFrequency(ini.ReadInteger(kMain, "frequency", 30));
    StartOnBoot = ini.ReadBool(kMain, "startonboot", false);
    AutoStart = ini.ReadBool(kMain, "autostart", false);
    certWarnDaysInFile_ = ini.ValueExists(kMain, "certwarndays");
    SetCertWarnDays(ini.ReadInteger(kMain, "certwarndays", kDefaultCertWarnDays));
    SetConcurrency(ini.ReadInteger(kMain, "concurrency", 1));
    Proxy = ini.ReadString(kMain, "proxy", "");
    OnChange = ini.ReadString(kMain, "onchange", "");
    History = ini.ReadString(kMain, "history", "sentrel.db");
    LoadAlerting(ini);
}

void TServerForm::Save(const std::string& fileName) {
    platform::TIniFile ini(fileName);
    // The proxy is the file's, not the dialog's: it is written back as it stands.
    const bool hasProxy = ini.ValueExists(kMain, "proxy");
    const std::string proxy = ini.ReadString(kMain, "proxy", "");
    const bool hasOnChange = ini.ValueExists(kMain, "onchange");
    const std::string onChange = ini.ReadString(kMain, "onchange", "");
    const bool hasHistory = ini.ValueExists(kMain, "history");
    const std::string historyFile = ini.ReadString(kMain, "history", "");
    std::vector<std::pair<std::string, std::string>> alerting;
    for (const char* key : kAlertKeys)
        if (ini.ValueExists(kMain, key)) alerting.emplace_back(key, ini.ReadString(kMain, key, ""));
    try {
        // A value the file cannot hold (a control character) fails the save
        // before anything is written.
        ini.EraseSection(kMain);
        ini.WriteString(kMain, "target", ServerName[0]);
        for (int n = 1; n <= kRows; ++n) ini.WriteString(kMain, Row("server", n, "name"), ServerName[n - 1]);
        for (int n = 1; n <= kRows; ++n) ini.WriteBool(kMain, Row("server", n, "active"), Active[n - 1]);
        ini.WriteString(kMain, "logname", LogName);
        ini.WriteInteger(kMain, "frequency", Frequency());
        ini.WriteBool(kMain, "startonboot", StartOnBoot);
        ini.WriteBool(kMain, "autostart", AutoStart);
        if (certWarnDaysInFile_ || certWarnDays_ != kDefaultCertWarnDays)
            ini.WriteInteger(kMain, "certwarndays", certWarnDays_);
        if (Concurrency() > 1) ini.WriteInteger(kMain, "concurrency", Concurrency());
        if (hasProxy) ini.WriteString(kMain, "proxy", proxy);
        if (hasOnChange) ini.WriteString(kMain, "onchange", onChange);
        if (hasHistory) ini.WriteString(kMain, "history", historyFile);
        for (const auto& [key, value] : alerting) ini.WriteString(kMain, key, value);
        ini.UpdateFile();
    } catch (const base::Exception&) {
        throw base::Exception(std::string("Unable to write to ") + kSettingsDisplayName);
    }
    BuildHostList();
    if (ApplyStartOnBoot) ApplyStartOnBoot(StartOnBoot);
}

std::vector<std::string> TServerForm::ActiveHosts() const {
    std::vector<std::string> hosts;
    for (int n = 0; n < kRows; ++n)
        if (Active[n]) hosts.push_back(ServerName[n]);
    return hosts;
}

std::vector<THostExpect> TServerForm::ActiveExpectations() const {
    std::vector<THostExpect> expect;
    for (int n = 0; n < kRows; ++n)
        if (Active[n]) expect.push_back(Expect[n]);
    return expect;
}

void TServerForm::BuildHostList() {
    if (OnBuildHostList) OnBuildHostList(ActiveHosts());
}

void TServerForm::ConfigurationButtonClick() {
    if (!ShowModal || !ShowModal()) return;
    Save();
}

}  // namespace app
