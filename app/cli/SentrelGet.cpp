// sentrel-get: fetches URLs with the monitor's own HTTP client, to see what
// the monitor sees. Each URL is fetched in turn in one process (as curl does
// with several URLs); the bodies go to stdout (or to the file of -o), and for
// each URL the status and reason go to stderr. The exit status is 0 when
// every fetch succeeded and 1 otherwise, with the failure's text on stderr.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "SentrelVersion.h"
#include "base/Stream.h"
#include "base/Strings.h"
#include "net/HttpProt.h"
#include "net/ProxyUrl.h"
#include "net/Url.h"
#include "platform/Application.h"

namespace {

// A server's or the user's text on the terminal: control characters as \xHH,
// so a reason phrase cannot move the cursor or retitle the window.
std::string Shown(const std::string& text) {
    return base::ShowControls(text);
}

void Usage(std::FILE* to) {
    std::fputs(
        "usage: sentrel-get [options] URL...\n"
        "  -o FILE      write the bodies to FILE instead of stdout\n"
        "  -x PROXY     go through PROXY: [http://]host[:port] for an HTTP proxy,\n"
        "               socks4://, socks4a://, socks5:// or socks5h:// for SOCKS\n"
        "               (4a and 5h let the proxy look names up); user:password@\n"
        "               before the host gives the proxy's credentials\n"
        "  -m SECONDS   give each request at most SECONDS (0: no limit, the default)\n"
        "  -I           send HEAD instead of GET\n"
        "  -s           silent: no status lines on stderr\n"
        "  -v           after each status line, where the time went (lookup,\n"
        "               connect, proxy, tls, first byte, total) and the redirects,\n"
        "               body size and final status\n"
        "  -h           this help\n"
        "  -V           the release\n"
        "URLs may be http or https; https servers are verified against the system's\n"
        "trust store (SSL_CERT_FILE and SSL_CERT_DIR point it elsewhere).\n",
        to);
}

struct Options {
    std::string output;
    std::string proxy;
    int timeout = 0;
    bool head = false;
    bool silent = false;
    bool verbose = false;
    bool version = false;
    bool help = false;
    std::vector<std::string> urls;
};

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (a == "-o" || a == "--output") {
            if (!value(o.output)) return false;
        } else if (a == "-x" || a == "--proxy") {
            if (!value(o.proxy)) return false;
        } else if (a == "-m" || a == "--max-time") {
            std::string t;
            if (!value(t)) return false;
            auto n = base::TryStrToInt(t);
            if (!n || *n < 0) return false;
            o.timeout = *n;
        } else if (a == "-I" || a == "--head") {
            o.head = true;
        } else if (a == "-s" || a == "--silent") {
            o.silent = true;
        } else if (a == "-v" || a == "--verbose") {
            o.verbose = true;
        } else if (a == "-h" || a == "--help") {
            o.help = true;
            return true;
        } else if (a == "-V" || a == "--version") {
            o.version = true;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "sentrel-get: unknown option %s\n", Shown(a).c_str());
            return false;
        } else {
            o.urls.push_back(a);
        }
    }
    return o.version || !o.urls.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!Parse(argc, argv, opt)) {
        Usage(stderr);
        return 2;
    }
    if (opt.help) {
        // Help asked for is an answer, not a usage error.
        Usage(stdout);
        return 0;
    }
    if (opt.version) {
        std::printf("sentrel-get %s\n", SENTREL_VERSION);
        return 0;
    }
    platform::Application().Title = "sentrel-get";

    int fd = 1;
    if (!opt.output.empty()) {
        fd = ::open(opt.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            std::fprintf(stderr, "sentrel-get: %s: %s\n", Shown(opt.output).c_str(), std::strerror(errno));
            return 1;
        }
    }
    base::TFdStream out(fd);

    net::TProxyUrl proxy;
    std::string proxyError;
    if (!net::ParseProxyUrl(opt.proxy, proxy, proxyError)) {
        std::fprintf(stderr, "sentrel-get: -x %s: %s\n", Shown(net::HidePassword(opt.proxy)).c_str(),
                     Shown(proxyError).c_str());
        return 2;
    }

    net::THttpCli http;
    net::ApplyProxyUrl(proxy, http);
    http.Timeout = opt.timeout;
    http.ReceiveStream = &out;

    int status = 0;
    for (const std::string& url : opt.urls) {
        http.URL = url;
        // A range the last URL's reply set is not asked of the next URL.
        http.ContentRangeBegin.clear();
        http.ContentRangeEnd.clear();
        const std::string shown = net::HidePassword(url);  // the request alone uses the password
        try {
            http.PerformRequest(opt.head ? net::rqHead : net::rqGet);
            if (!opt.silent)
                std::fprintf(stderr, "%d %s\n", http.StatusCode(), Shown(http.ReasonPhrase()).c_str());
        } catch (const net::EHttpException& e) {
            // A reply that carried an error status is shown like any other
            // status; a local failure has only its text.
            if (!opt.silent && e.FailureCode == http.StatusCode() && http.LastRequestError() == 0 &&
                !http.ResponseHeaderLines().empty())
                std::fprintf(stderr, "%d %s\n", http.StatusCode(), Shown(http.ReasonPhrase()).c_str());
            std::fprintf(stderr, "sentrel-get: %s: %s\n", Shown(shown).c_str(), Shown(e.what()).c_str());
            status = 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "sentrel-get: %s: %s\n", Shown(shown).c_str(), Shown(e.what()).c_str());
            status = 1;
        }
        // A request refused before it started has no times.
        if (opt.verbose && http.PhaseTimes().Hops > 0)
            std::fprintf(stderr, "%s\n", Shown(net::PhaseTimesLine(http.PhaseTimes())).c_str());
    }
    if (fd != 1 && ::close(fd) != 0) {
        std::fprintf(stderr, "sentrel-get: %s: %s\n", Shown(opt.output).c_str(), std::strerror(errno));
        status = 1;
    }
    return status;
}
