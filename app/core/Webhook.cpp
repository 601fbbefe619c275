#include "app/core/Webhook.h"

#include <cstdio>

#include "app/core/sform.h"
#include "base/Stream.h"
#include "base/Strings.h"
#include "net/HttpProt.h"
#include "net/ProxyUrl.h"
#include "net/Url.h"

namespace app {

namespace {

// text cut to at most limit characters (a byte that is not UTF-8 counts as
// one), ending in an ellipsis when it was cut.
std::string CutCharacters(const std::string& text, std::size_t limit) {
    std::size_t chars = 0, i = 0, cut = std::string::npos;
    while (i < text.size()) {
        if (chars == limit - 1) cut = i;
        if (chars == limit) return text.substr(0, cut) + "\xE2\x80\xA6";
        const std::size_t n = base::Utf8Length(text, i);
        i += n ? n : 1;
        ++chars;
    }
    return text;
}

std::string Quoted(const std::string& text) {
    return "\"" + JsonText(text) + "\"";
}

// What Slack's markup would take as its own: &, < and >.
std::string SlackEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

bool Urgent(const TStateChange& change) {
    return change.Event == "down" || change.Event == "reminder";
}

// A header value holds no line break or other control character.
std::string HeaderValue(const std::string& text) {
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        out += (c < 0x20 || c == 0x7F) ? ' ' : ch;
    }
    return out;
}

}  // namespace

std::string ShownUrl(const std::string& url) {
    const net::TUrlParts u = net::SplitUrl(url);
    const std::string scheme = base::LowerCase(u.Protocol.empty() ? "http" : u.Protocol);
    std::string port = u.Port;
    if (port.empty()) port = scheme == "https" ? "443" : "80";
    return scheme + "://" + u.Host + ":" + port;
}

std::string CheckWebhookUrl(const std::string& url) {
    if (url.find("://") == std::string::npos) return "not a URL (http:// or https://)";
    const net::TUrlParts u = net::SplitUrl(url);
    const std::string scheme = base::LowerCase(u.Protocol);
    if (scheme != "http" && scheme != "https") return "not http or https";
    if (u.Host.empty()) return "no host";
    for (char ch : url) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7F) return "holds a blank or a control character";
    }
    return "";
}

std::string JsonText(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = base::Utf8Length(text, i);
        if (n == 0 || c < 0x20 || c == 0x7F) {
            // A control character, or a byte that is not UTF-8: the byte as
            // the character of the same number.
            switch (c) {
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
            }
            ++i;
            continue;
        }
        if (c == '"')
            out += "\\\"";
        else if (c == '\\')
            out += "\\\\";
        else
            out.append(text, i, n);
        i += n;
    }
    return out;
}

TWebhookRequest WebhookRequest(const std::string& format, const TStateChange& change,
                               const TPassOutcome& confirmed, std::int64_t time) {
    const std::string items = change.Text();
    const std::string text = items.empty() ? change.Title : change.Title + "\n" + items;
    TWebhookRequest r;
    r.ContentType = "application/json";
    if (format == "discord") {
        r.Body = "{\"content\":" + Quoted(CutCharacters(text, 2000)) + "}";
    } else if (format == "ntfy") {
        r.ContentType = "text/plain; charset=utf-8";
        r.Body = items.empty() ? change.Title : items;
        r.Headers = {{"Title", HeaderValue(change.Title)},
                     {"Priority", Urgent(change) ? "5" : "3"},
                     {"Tags", change.Event == "up"            ? "white_check_mark"
                              : change.Event == "certificate" ? "lock"
                                                              : "rotating_light"}};
    } else if (format == "gotify") {
        r.Body = "{\"title\":" + Quoted(change.Title) +
                 ",\"message\":" + Quoted(items.empty() ? text : items) +
                 ",\"priority\":" + (Urgent(change) ? "8" : "4") + "}";
    } else {
        std::string hosts;
        std::size_t down = 0;
        for (const auto& h : confirmed.Hosts) {
            if (!h.Down) continue;
            ++down;
            hosts += std::string(hosts.empty() ? "" : ",") + "{\"host\":" + Quoted(h.Host) +
                     ",\"slot\":" + std::to_string(h.Slot) + ",\"reason\":" + Quoted(h.Reason) +
                     ",\"since\":" + Quoted(base::UtcIsoTime(h.DownSince)) + "}";
        }
        const std::string shown = format == "slack" ? "*" + SlackEscape(change.Title) + "*" +
                                                          (items.empty() ? "" : "\n" + SlackEscape(items))
                                                    : text;
        r.Body = "{\"event\":" + Quoted(change.Event) + ",\"title\":" + Quoted(change.Title) +
                 ",\"text\":" + Quoted(shown) + ",\"down\":" + std::to_string(down) + ",\"hosts\":[" + hosts +
                 "],\"time\":" + Quoted(base::UtcIsoTime(time)) + "}";
    }
    return r;
}

namespace {

// The client with the request's own header lines added to its header.
class THookClient : public net::THttpCli {
public:
    std::vector<std::pair<std::string, std::string>> Extra;

protected:
    void NotifyRequestHeaderEnd() override {
        for (const auto& [name, value] : Extra) SendHeaderLine(name + ": " + value);
        THttpCli::NotifyRequestHeaderEnd();
    }
};

}  // namespace

class TWebhooks::Target {
public:
    Target(TWebhooks& owner, std::string url) : url_(std::move(url)), shown_(ShownUrl(url_)), owner_(owner) {
        http_.Agent = "Sentrel";
        http_.Accept = "*/*";
        http_.SetMultiThreaded(false);
        http_.OnStateChange = [this](base::TObject*) {
            if (http_.State() == net::hsIdle && inFlight_) Ended();
        };
        wait_.SetEnabled(false);
        wait_.OnTimer = [this] {
            wait_.SetEnabled(false);
            if (fresh_)
                Next();
            else
                Try();
        };
    }
    ~Target() {
        wait_.SetEnabled(false);
        http_.OnStateChange = nullptr;
        if (inFlight_) http_.Abort();
    }

    const std::string& Url() const { return url_; }
    bool Busy() const { return inFlight_ || wait_.Enabled() || !queue_.empty(); }

    void Add(TWebhookRequest request) {
        if (queue_.size() >= kQueueLimit) {
            owner_.Warn("Webhook " + shown_ + " busy: dropped the oldest message waiting");
            queue_.pop_front();
        }
        queue_.push_back(std::move(request));
        if (!inFlight_ && !wait_.Enabled()) Next();
    }

private:
    // The next request starts from the loop, never inside the client's
    // event for the one that ended.
    void Later() {
        if (queue_.empty()) return;
        fresh_ = true;
        wait_.SetInterval(1);
        wait_.SetEnabled(true);
    }

    void Next() {
        if (queue_.empty()) return;
        current_ = std::move(queue_.front());
        queue_.pop_front();
        tries_ = 0;
        Try();
    }

    void Try() {
        ++tries_;
        post_.Clear();
        post_.WriteString(current_.Body);
        post_.SetPosition(0);
        http_.URL = url_;
        http_.PostStream = &post_;
        http_.ReceiveStream = &reply_;
        http_.ContentTypePost = current_.ContentType;
        http_.Extra = current_.Headers;
        http_.Timeout = owner_.TimeoutSeconds;
        try {
            if (owner_.settings_) {
                net::TProxyUrl proxy;
                std::string error;
                if (!net::ParseProxyUrl(owner_.settings_->Proxy, proxy, error))
                    throw std::runtime_error("proxy in sentrel.ini: " + error);
                net::ApplyProxyUrl(proxy, http_);
            }
            inFlight_ = true;
            http_.StartRequest(net::rqPost);
        } catch (const std::exception& e) {
            if (inFlight_ && http_.State() != net::hsIdle) http_.Abort();
            inFlight_ = false;
            Failed(e.what());
        }
    }

    void Ended() {
        inFlight_ = false;
        http_.PostStream = nullptr;
        http_.ReceiveStream = nullptr;
        const int status = http_.StatusCode();
        if (http_.LastRequestError() == 0 && status >= 200 && status < 300) {
            Later();
            return;
        }
        std::string reason = http_.ReasonPhrase();
        if (http_.LastRequestError() == 0 && status > 0)
            reason = "status " + std::to_string(status) + " " + reason;
        Failed(reason);
    }

    void Failed(const std::string& reason) {
        const std::size_t wait = static_cast<std::size_t>(tries_ - 1);
        if (tries_ < kTries && wait < owner_.RetryDelaysMs.size()) {
            fresh_ = false;
            wait_.SetInterval(owner_.RetryDelaysMs[wait]);
            wait_.SetEnabled(true);
            return;
        }
        owner_.Warn("Webhook " + shown_ + " failed after " + std::to_string(tries_) +
                    " tries: " + base::ShowControls(reason));
        Later();
    }

    std::string url_, shown_;
    TWebhooks& owner_;
    THookClient http_;
    platform::TTimer wait_;
    std::deque<TWebhookRequest> queue_;
    TWebhookRequest current_;
    base::TMemoryStream post_;
    base::TCountingStream reply_;
    bool inFlight_ = false;
    bool fresh_ = false;  // the wait ends in the next request, not another try
    int tries_ = 0;
};

TWebhooks::TWebhooks(const TServerForm* settings) : settings_(settings) {}
TWebhooks::~TWebhooks() = default;

void TWebhooks::Warn(const std::string& line) {
    if (Log) Log(line);
}

TWebhooks::Target& TWebhooks::For(const std::string& url) {
    for (auto& t : targets_)
        if (t->Url() == url) return *t;
    targets_.push_back(std::make_unique<Target>(*this, url));
    return *targets_.back();
}

void TWebhooks::Send(const std::vector<std::string>& urls, const std::string& format,
                     const TStateChange& change, const TPassOutcome& confirmed, std::int64_t time) {
    if (urls.empty()) return;
    const TWebhookRequest request = WebhookRequest(format, change, confirmed, time);
    for (const auto& url : urls) For(url).Add(request);
}

bool TWebhooks::Busy() const {
    for (const auto& t : targets_)
        if (t->Busy()) return true;
    return false;
}

}  // namespace app
