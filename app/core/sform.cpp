#include "app/core/sform.h"

#include <algorithm>

#include "base/Exception.h"
#include "base/Strings.h"
#include "platform/IniFile.h"

namespace app {

namespace {
const char* const kMain = "main";
std::string Row(const char* prefix, int n, const char* suffix) {
    return prefix + std::to_string(n) + suffix;
}
}  // namespace

void TServerForm::SetFrequency(std::int32_t v) {
    frequency_ = std::clamp(v, kMinFrequency, kMaxFrequency);
}

void TServerForm::SetFrequencyText(const std::string& text) {
    auto v = base::TryStrToInt(base::Trim(text));
    SetFrequency(v ? *v : kMinFrequency);
}

void TServerForm::SetCertWarnDays(std::int32_t days) {
    certWarnDays_ = std::clamp(days, 0, kMaxCertWarnDays);
}

void TServerForm::Load(const std::string& fileName) {
    platform::TIniFile ini(fileName);
    for (int n = 1; n <= kRows; ++n)
        ServerName[n - 1] = ini.ReadString(kMain, Row("Server", n, "Name"), n == 1 ? kDefaultHost : "");
    for (int n = 1; n <= kRows; ++n) Active[n - 1] = ini.ReadBool(kMain, Row("server", n, "active"), n == 1);
    BuildHostList();
    LogName = ini.ReadString(kMain, "logname", "status.log");
    SetFrequency(ini.ReadInteger(kMain, "frequency", 30));
    StartOnBoot = ini.ReadBool(kMain, "startonboot", false);
    AutoStart = ini.ReadBool(kMain, "autostart", false);
    certWarnDaysInFile_ = ini.ValueExists(kMain, "certwarndays");
    SetCertWarnDays(ini.ReadInteger(kMain, "certwarndays", kDefaultCertWarnDays));
}

void TServerForm::Save(const std::string& fileName) {
    platform::TIniFile ini(fileName);
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
    try {
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

void TServerForm::BuildHostList() {
    if (OnBuildHostList) OnBuildHostList(ActiveHosts());
}

void TServerForm::ConfigurationButtonClick() {
    if (!ShowModal || !ShowModal()) return;
    Save();
}

}  // namespace app
