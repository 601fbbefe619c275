// Webhooks: every change that is sent (down, up, a certificate, a reminder)
// POSTed to up to five URLs of the user's in the format their service
// reads: "json" (event, title, text, down, hosts, time; Slack, Mattermost
// and Rocket.Chat show its text as it stands), "slack" (the same with a
// bold title), "discord" ({"content"} within 2000 characters), "ntfy" (the
// text as the body, the title, priority and tags as headers) and "gotify"
// ({"title","message","priority"}).
//
// A webhook never holds a pass up: each URL has one request at a time, the
// others wait in its queue (at most kQueueLimit; the oldest goes first), and
// each request is tried three times (at once, then after RetryDelaysMs) with
// the monitor's own client: the settings' proxy, TLS, a time limit. A 2xx
// answer is success; after the last try the reason goes to the log.
//
// The URL carries its service's secret (Slack's path, an ntfy topic, a
// Gotify token), so everything this writes names it by ShownUrl alone:
// scheme, host and port.
//
// Owned by the controller; the loop's thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/PassOutcome.h"
#include "platform/Timer.h"

namespace app {

class TServerForm;

inline constexpr const char* kWebhookFormats[] = {"json", "slack", "discord", "ntfy", "gotify"};

// "https://hooks.example.com:443": what may be shown of a webhook's URL.
std::string ShownUrl(const std::string& url);
// "" when url can be a webhook (http or https with a host), else why not.
std::string CheckWebhookUrl(const std::string& url);
// text as the inside of a JSON string: quotes, backslashes and control
// characters escaped, bytes that are not UTF-8 written as \u00XX, so the
// result is valid JSON whatever the servers sent.
std::string JsonText(const std::string& text);

struct TWebhookRequest {
    std::string ContentType;
    std::string Body;
    std::vector<std::pair<std::string, std::string>> Headers;  // besides the client's own
};

// The request for a change in a format; confirmed is the pass as the change
// sees it (its down hosts with their reasons and since when), time is now.
TWebhookRequest WebhookRequest(const std::string& format, const TStateChange& change,
                               const TPassOutcome& confirmed, std::int64_t time);

class TWebhooks {
public:
    static constexpr std::size_t kQueueLimit = 20;
    static constexpr int kTries = 3;

    explicit TWebhooks(const TServerForm* settings = nullptr);
    ~TWebhooks();
    TWebhooks(const TWebhooks&) = delete;
    TWebhooks& operator=(const TWebhooks&) = delete;

    // The waits before the second and the third try; tests shorten them.
    std::vector<std::uint32_t> RetryDelaysMs{10000, 60000};
    // Seconds one try may take.
    int TimeoutSeconds = 10;
    // Takes every line this writes (a warning line of the event log).
    std::function<void(const std::string& line)> Log;

    // Sends the change to each URL in format (after what each still sends).
    void Send(const std::vector<std::string>& urls, const std::string& format, const TStateChange& change,
              const TPassOutcome& confirmed, std::int64_t time);
    // A request is under way or waiting.
    bool Busy() const;

private:
    class Target;
    Target& For(const std::string& url);
    void Warn(const std::string& line);

    const TServerForm* settings_;
    std::vector<std::unique_ptr<Target>> targets_;
};

}  // namespace app
