#include "app/cli/CommandLine.h"

#include <cstdio>

#include "SentrelVersion.h"
#include "app/cli/WorkFolder.h"
#include "app/core/sform.h"
#include "base/Strings.h"
#include "platform/Autostart.h"

namespace app {

namespace {

struct Option {
    const char* Name;   // "--headless"
    const char* Shown;  // what the usage shows after the name ("N", "[HOST...]")
    bool TakesValue;    // the next argument (or "=value") is its value
    const char* Help;   // lines of the usage text, '\n' between them
    // Applies the option; returns "" or what is wrong with its value.
    std::string (*Apply)(CommandLine& cl, const std::string& value);
};

std::string SetMode(CommandLine& cl, RunMode mode, const char* name) {
    if (cl.Mode != RunMode::Window && cl.Mode != mode)
        return std::string("option '") + name + "' cannot be combined with another run";
    cl.Mode = mode;
    return "";
}

// An expectation for the hosts given after it.
template <typename Parse>
std::string SetExpect(CommandLine& cl, const std::string& value, const char* name, Parse parse) {
    if (std::string why = parse(value, cl.NextExpect); !why.empty())
        return std::string("option '") + name + "': " + why;
    return "";
}

std::string SetValue(std::string& field, const std::string& value, const char* name) {
    if (value.empty()) return std::string("option '") + name + "' needs a value";
    field = value;
    return "";
}

const Option kOptions[] = {
    {"--headless", "", false,
     "run the monitor without a window, printing each status\nline on stdout; SIGTERM or SIGINT end it",
     [](CommandLine& cl, const std::string&) { return SetMode(cl, RunMode::Headless, "--headless"); }},
    {"--check", "[HOST...]", false,
     "check the given hosts (or the active pool) once, as\n\"Check Now\" does; exit 0 when all passed, 1 "
     "otherwise",
     [](CommandLine& cl, const std::string&) { return SetMode(cl, RunMode::Check, "--check"); }},
    {"--expect-status", "LIST", true,
     "the hosts after it are up only with a status in LIST,\ne.g. 200,301-308 (default: any below 400)",
     [](CommandLine& cl, const std::string& v) {
         return SetExpect(cl, v, "--expect-status", ParseStatusList);
     }},
    {"--contains", "TEXT", true,
     "the hosts after it are up only when their page\ncontains TEXT (bytes, case matters)",
     [](CommandLine& cl, const std::string& v) {
         return SetExpect(cl, v, "--contains", [](const std::string& t, THostExpect& e) {
             return ParseText(t, e.Contains, e.HasContains);
         });
     }},
    {"--not-contains", "TEXT", true, "the hosts after it are up only when their page\ndoes not contain TEXT",
     [](CommandLine& cl, const std::string& v) {
         return SetExpect(cl, v, "--not-contains", [](const std::string& t, THostExpect& e) {
             return ParseText(t, e.NotContains, e.HasNotContains);
         });
     }},
    {"--max-ms", "N", true,
     "the hosts after it are up only when their request,\nredirects included, takes at most N ms",
     [](CommandLine& cl, const std::string& v) { return SetExpect(cl, v, "--max-ms", ParseMaxMs); }},
    {"--verbose", "", false, "with --check: after each host's outcome, where its\ntime went (-v is the same)",
     [](CommandLine& cl, const std::string&) {
         cl.Verbose = true;
         return std::string();
     }},
    {"--history", "", false, "with --check: write the pass to the history file too",
     [](CommandLine& cl, const std::string&) {
         cl.History = true;
         return std::string();
     }},
    {"--report", "", false,
     "print each host's uptime, outages and response times\nfrom the history file (\"history\" in "
     "sentrel.ini)",
     [](CommandLine& cl, const std::string&) { return SetMode(cl, RunMode::Report, "--report"); }},
    {"--since", "24h|7d|30d|DATE", true,
     "with --report: the start of its range (default 24h);\nDATE is YYYY-MM-DD",
     [](CommandLine& cl, const std::string& v) { return SetValue(cl.Since, v, "--since"); }},
    {"--json", "", false, "with --report: print JSON for scripts",
     [](CommandLine& cl, const std::string&) {
         cl.Json = true;
         return std::string();
     }},
    {"--directory", "DIR", true,
     "work in DIR instead of the current directory, as\ngit -C does (-C DIR is the same)",
     [](CommandLine& cl, const std::string& dir) {
         cl.Folders.push_back({dir, false});
         return std::string(dir.empty() ? "option '--directory' needs a folder" : "");
     }},
    {"--user-folder", "", false,
     "work in $XDG_CONFIG_HOME/sentrel (~/.config/sentrel),\nmade when missing; the menu entry and the user\n"
     "service use it",
     [](CommandLine& cl, const std::string&) {
         cl.Folders.push_back({UserFolder(), true});
         return std::string();
     }},
    {"--metrics-listen", "ADDR:PORT", true,
     "serve the last pass's results to Prometheus at\nhttp://ADDR:PORT/metrics (window and --headless)",
     [](CommandLine& cl, const std::string& v) { return SetValue(cl.MetricsListen, v, "--metrics-listen"); }},
    {"--metrics-file", "PATH", true,
     "write the same text to PATH after every pass, for\nnode_exporter's textfile collector",
     [](CommandLine& cl, const std::string& v) { return SetValue(cl.MetricsFile, v, "--metrics-file"); }},
    {"--probe-concurrency", "N", true,
     "run up to N checks of GET /probe?target=URL on the\nmetrics listener at once (1 to 1000, default 100)",
     [](CommandLine& cl, const std::string& value) {
         auto n = base::TryStrToInt(value);
         if (!n || *n < 1 || *n > 1000)
             return std::string("option '--probe-concurrency' needs a number from 1 to 1000");
         cl.ProbeConcurrency = *n;
         return std::string();
     }},
    {"--concurrency", "N", true,
     "fetch up to N hosts of a pass at once (1 to 100); results\nstill come in list order. Default: "
     "\"concurrency\" in\nsentrel.ini, else 1",
     [](CommandLine& cl, const std::string& value) {
         auto n = base::TryStrToInt(value);
         if (!n || *n < 1 || *n > TServerForm::kMaxConcurrency)
             return "option '--concurrency' needs a number from 1 to " +
                    std::to_string(TServerForm::kMaxConcurrency);
         cl.Concurrency = *n;
         return std::string();
     }},
    {platform::kRemoveOnceEntryOption, "FILE", true,
     "remove FILE, a next-log-on entry in an autostart\nfolder (the entry passes it), then run as asked",
     [](CommandLine& cl, const std::string& value) {
         if (value.empty()) return std::string("option '--remove-autostart-entry' needs a value");
         cl.RemoveAutostartEntry = value;
         return std::string();
     }},
    {"--help", "", false, "show this text",
     [](CommandLine& cl, const std::string&) {
         cl.Mode = RunMode::Help;
         return std::string();
     }},
    {"--version", "", false, "show the release",
     [](CommandLine& cl, const std::string&) {
         cl.Mode = RunMode::Version;
         return std::string();
     }},
};

const Option* Find(const std::string& name) {
    if (name == "-h") return Find("--help");
    if (name == "-V") return Find("--version");
    if (name == "-C") return Find("--directory");
    if (name == "-v") return Find("--verbose");
    for (const auto& o : kOptions)
        if (name == o.Name) return &o;
    return nullptr;
}

// After --check every argument starting with '-' is an option: a host
// name never starts with one, and "-v" taken as a host would be checked.
bool IsOption(const std::string& arg, bool afterCheck) {
    if (afterCheck && !arg.empty() && arg[0] == '-') return true;
    return arg == "-h" || arg == "-V" || arg == "-C" || arg == "-v" ||
           (arg.size() > 1 && arg[0] == '-' && arg[1] == '-');
}

bool IsExpectation(const std::string& name) {
    return name == "--expect-status" || name == "--contains" || name == "--not-contains" ||
           name == "--max-ms";
}

}  // namespace

std::string ParseCommandLine(const std::vector<std::string>& args, CommandLine& out, bool window) {
    out = CommandLine{};
    std::vector<std::string> plain;
    std::vector<THostExpect> plainExpect;
    std::string lastExpectation;  // the last expectation given no host after it yet
    std::string firstExpectation;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!IsOption(arg, out.Mode == RunMode::Check)) {
            plain.push_back(arg);
            plainExpect.push_back(out.NextExpect);
            lastExpectation.clear();
            continue;
        }
        std::string name = arg, value;
        bool inlineValue = false;
        if (auto eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        const Option* o = Find(name);
        if (!o || (inlineValue && !o->TakesValue)) return "unknown option '" + arg + "'";
        if (o->TakesValue && !inlineValue) {
            if (i + 1 >= args.size()) return std::string("option '") + o->Name + "' needs a value";
            value = args[++i];
        }
        if (std::string err = o->Apply(out, value); !err.empty()) return err;
        if (IsExpectation(o->Name)) {
            lastExpectation = o->Name;
            if (firstExpectation.empty()) firstExpectation = o->Name;
        }
        // Whatever follows, help or the release is what was asked for.
        if (out.Mode == RunMode::Help || out.Mode == RunMode::Version) return "";
    }
    if (out.Mode == RunMode::Window && !window) return "no run given (--headless or --check)";
    if (out.Mode == RunMode::Check && !(out.MetricsListen.empty() && out.MetricsFile.empty()))
        return std::string("option '") + (out.MetricsListen.empty() ? "--metrics-file" : "--metrics-listen") +
               "' does not go with --check";
    if (!lastExpectation.empty() || (!firstExpectation.empty() && out.Mode != RunMode::Check))
        return "option '" + (lastExpectation.empty() ? firstExpectation : lastExpectation) +
               "' applies to the hosts given after it, with --check";
    if (out.Verbose && out.Mode != RunMode::Check) return "option '--verbose' goes with --check";
    if (out.History && out.Mode != RunMode::Check) return "option '--history' goes only with --check";
    if ((out.Json || !out.Since.empty()) && out.Mode != RunMode::Report)
        return std::string("option '") + (out.Json ? "--json" : "--since") + "' goes only with --report";
    if (out.Mode == RunMode::Report && !(out.MetricsListen.empty() && out.MetricsFile.empty()))
        return "option '--metrics-listen' or '--metrics-file' does not go with --report";
    if (out.Mode == RunMode::Check) {
        out.Hosts = plain;
        out.HostExpect = plainExpect;
    } else if (out.Mode == RunMode::Window)
        out.Others = plain;
    else if (!plain.empty())
        return "unknown option '" + plain.front() + "'";
    return "";
}

std::string UsageText(const std::string& program, bool window) {
    std::string text = "Usage: " + program +
                       (window ? " [--headless | --check [HOST...] | --report | --help]"
                               : " (--headless | --check [HOST...] | --report | --help)");
    text +=
        " [OPTION...]\n"
        "\n"
        "Watches whether a pool of web servers can be reached. Settings are read from\n"
        "sentrel.ini in the working directory; events go to the log file it names.\n"
        "\n";
    const std::size_t column = 21;
    auto add = [&](std::string head, const std::string& help) {
        head = "  " + head;
        std::size_t start = 0;
        for (;;) {
            std::size_t end = help.find('\n', start);
            if (head.size() + 1 > column) {
                text += head + "\n";
                head.clear();
            }
            head.resize(column, ' ');
            text += head + help.substr(start, end - start) + "\n";
            head.clear();
            if (end == std::string::npos) break;
            start = end + 1;
        }
    };
    if (window) add("(no option)", "open the monitor's window");
    for (const auto& o : kOptions) add(std::string(o.Name) + (*o.Shown ? " " : "") + o.Shown, o.Help);
    return text;
}

std::string VersionText(const std::string& program) {
    return program + " " + SENTREL_VERSION + "\n";
}

int BadCommandLine(const std::string& program, const std::string& error) {
    // The reason quotes the argument, which may hold anything.
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.c_str(),
                 base::ShowControls(error).c_str(), program.c_str());
    return 2;
}

}  // namespace app
