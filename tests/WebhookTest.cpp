// Webhooks against a loopback receiver: each format's method, headers and
// body (read back as JSON where it is JSON), the three tries, and a URL
// whose path never reaches the log.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>

#include "AppFakes.h"
#include "app/core/Webhook.h"
#include "app/core/qz1.h"
#include "platform/MessageLoop.h"
#include "support/ScriptedPeer.h"

using testsupport::Answer;
using testsupport::TScriptedPeer;

namespace {

const std::string kNoContent = "HTTP/1.0 204 No Content\r\n\r\n";
const std::string kOops = "HTTP/1.0 500 Oops\r\nContent-Length: 0\r\n\r\n";

// A server's text with everything JSON must escape, and bytes that are not UTF-8.
const std::string kOddHost = "we\"ird\\host\x01\xff\xc3";

app::TStateChange Change(const std::string& event) {
    app::TStateChange c;
    c.Changed = true;
    c.Event = event;
    c.Title = event == "up" ? "All hosts up again" : "1 host down";
    if (event != "up") c.Items = {kOddHost + ": Not Found \xe2\x9c\x97"};
    return c;
}

app::TPassOutcome Confirmed() {
    app::TPassOutcome p;
    app::THostOutcome h;
    h.Host = kOddHost;
    h.Slot = 3;
    h.Passed = false;
    h.Down = true;
    h.DownSince = 1764547200;
    h.Reason = "Not Found \xe2\x9c\x97";
    p.Hosts = {h, app::THostOutcome{}};
    p.Hosts[1].Host = "up.invalid";
    return p;
}

void Drain(app::TWebhooks& w) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (w.Busy() && std::chrono::steady_clock::now() < until)
        if (!platform::ProcessMessages()) platform::WaitMessage(20);
    EXPECT_FALSE(w.Busy());
}

struct Sent {
    std::string head, body;
};

Sent Split(const std::string& request) {
    const std::size_t end = request.find("\r\n\r\n");
    if (end == std::string::npos) return {request, ""};
    return {request.substr(0, end + 2), request.substr(end + 4)};
}

QJsonObject Json(const std::string& body) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(body), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << body;
    EXPECT_TRUE(doc.isObject()) << body;
    return doc.object();
}

}  // namespace

TEST(Webhook, EachFormatPostsWhatItsServiceReads) {
    struct Row {
        const char* format;
        const char* event;
        const char* contentType;
        std::function<void(const Sent&)> check;
    };
    const Row rows[] = {
        {"json", "down", "application/json",
         [](const Sent& s) {
             const QJsonObject o = Json(s.body);
             EXPECT_EQ(o["event"].toString(), "down");
             EXPECT_EQ(o["title"].toString(), "1 host down");
             EXPECT_TRUE(o["text"].toString().startsWith("1 host down\nwe\"ird\\host"));
             EXPECT_EQ(o["hosts"].toArray()[0].toObject()["host"].toString().toStdString().substr(0, 12),
                       "we\"ird\\host\x01");  // the server's bytes, escaped for JSON alone
             EXPECT_EQ(o["down"].toInt(), 1);
             ASSERT_EQ(o["hosts"].toArray().size(), 1);  // the down hosts alone
             const QJsonObject h = o["hosts"].toArray()[0].toObject();
             EXPECT_EQ(h["slot"].toInt(), 3);
             EXPECT_EQ(h["reason"].toString(), QString::fromUtf8("Not Found \xe2\x9c\x97"));
             EXPECT_EQ(h["since"].toString(), "2025-12-01T00:00:00Z");
             EXPECT_EQ(o["time"].toString(), "2025-12-01T00:05:00Z");
         }},
        {"json", "up", "application/json",
         [](const Sent& s) {
             const QJsonObject o = Json(s.body);
             EXPECT_EQ(o["event"].toString(), "up");
             EXPECT_EQ(o["text"].toString(), "All hosts up again");
         }},
        {"slack", "down", "application/json",
         [](const Sent& s) { EXPECT_TRUE(Json(s.body)["text"].toString().startsWith("*1 host down*\n")); }},
        {"discord", "down", "application/json",
         [](const Sent& s) {
             const QJsonObject o = Json(s.body);
             EXPECT_EQ(o.size(), 1);
             EXPECT_TRUE(o["content"].toString().startsWith("1 host down\n"));
         }},
        {"ntfy", "down", "text/plain; charset=utf-8",
         [](const Sent& s) {
             EXPECT_NE(s.head.find("\r\nTitle: 1 host down\r\n"), std::string::npos) << s.head;
             EXPECT_NE(s.head.find("\r\nPriority: 5\r\n"), std::string::npos) << s.head;
             EXPECT_NE(s.head.find("\r\nTags: "), std::string::npos) << s.head;
             EXPECT_EQ(s.body, Change("down").Text());
         }},
        {"ntfy", "up", "text/plain; charset=utf-8",
         [](const Sent& s) { EXPECT_NE(s.head.find("\r\nPriority: 3\r\n"), std::string::npos) << s.head; }},
        {"gotify", "reminder", "application/json",
         [](const Sent& s) {
             const QJsonObject o = Json(s.body);
             EXPECT_EQ(o["title"].toString(), "1 host down");
             EXPECT_TRUE(o["message"].toString().startsWith("we\"ird"));
             EXPECT_EQ(o["priority"].toInt(), 8);
         }},
    };
    for (const Row& r : rows) {
        TScriptedPeer peer({Answer(kNoContent)});
        app::TWebhooks w;
        std::vector<std::string> log;
        w.Log = [&](const std::string& line) { log.push_back(line); };
        const std::string url = "http://" + peer.HostPort() + "/hook/T0/SECRET?token=abc";
        w.Send({url}, r.format, Change(r.event), Confirmed(), 1764547200 + 300);
        Drain(w);
        ASSERT_EQ(peer.Requests().size(), 1u) << r.format;
        const Sent s = Split(peer.Requests()[0]);
        EXPECT_EQ(s.head.rfind("POST /hook/T0/SECRET?token=abc HTTP/1.", 0), 0u) << s.head;
        EXPECT_NE(s.head.find("\r\nContent-Type: " + std::string(r.contentType) + "\r\n"), std::string::npos)
            << r.format << "\n"
            << s.head;
        r.check(s);
        EXPECT_TRUE(log.empty()) << r.format;
    }
}

TEST(Webhook, DiscordContentStaysWithinItsLimit) {
    app::TStateChange c = Change("down");
    c.Items.assign(300, std::string(20, 'h') + ": refused");
    const app::TWebhookRequest r = app::WebhookRequest("discord", c, Confirmed(), 0);
    const QString content = Json(r.Body)["content"].toString();
    EXPECT_EQ(content.size(), 2000);
    EXPECT_TRUE(content.endsWith(QString::fromUtf8("\xe2\x80\xa6")));
    c.Items.resize(1);
    EXPECT_FALSE(Json(app::WebhookRequest("discord", c, Confirmed(), 0).Body)["content"].toString().endsWith(
        QString::fromUtf8("\xe2\x80\xa6")));
}

// A request tries three times (at once, then after each wait), a 2xx ends
// it, and the last failure goes to the log naming only scheme, host and port.
TEST(Webhook, ThreeTriesThenOneWarningWithoutTheUrlsSecret) {
    struct Row {
        std::vector<testsupport::TPeerScript> answers;
        int connections;
        const char* warning;  // the last reason, "" for none
    };
    const Row rows[] = {
        {{Answer(kOops)}, 3, "status 500 Oops"},
        {{Answer(kOops), Answer(kOops), Answer(kNoContent)}, 3, ""},
        {{Answer(kOops), Answer("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")}, 2, ""},
        {{Answer("HTTP/1.0 302 Found\r\nContent-Length: 0\r\n\r\n")}, 3, "status 302 Found"},  // not a 2xx
    };
    for (const Row& r : rows) {
        TScriptedPeer peer(r.answers);
        app::TWebhooks w;
        w.RetryDelaysMs = {50, 100};
        std::vector<std::string> log;
        w.Log = [&](const std::string& line) { log.push_back(line); };
        w.Send({"http://" + peer.HostPort() + "/services/SECRET"}, "json", Change("down"), Confirmed(), 0);
        Drain(w);
        EXPECT_EQ(peer.Connections(), r.connections);
        if (*r.warning) {
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(log[0], "Webhook http://" + peer.HostPort() + " failed after 3 tries: " + r.warning);
        } else {
            EXPECT_TRUE(log.empty());
        }
        for (const auto& line : log) EXPECT_EQ(line.find("SECRET"), std::string::npos) << line;
    }
}

// Through the monitor: a confirmed change reaches the webhook, and the
// status log names the receiver without its path.
TEST(Webhook, TheMonitorSendsChangesAndLogsNoPath) {
    TScriptedPeer peer({Answer(kOops)});
    WorkDir d;
    PutFile("sentrel.ini", "[main]\r\nserver1name=a\r\nserver1active=1\r\nhistory=\r\nwebhook2=http://" +
                               peer.HostPort() + "/SECRET/path\r\nwebhookformat=ntfy\r\n");
    RecordingView view;
    app::TServerForm settings;
    ScriptedGetter http;
    app::TQzController c(view, settings, http);
    c.Webhooks().RetryDelaysMs = {20, 20};
    c.FormCreate();
    c.FormShow();
    http.answers["a"] = {"", true, "Not Found"};
    c.CheckPool();
    Drain(c.Webhooks());
    EXPECT_EQ(peer.Connections(), 3);
    const std::string log = GetFile("status.log");
    EXPECT_NE(log.find("Webhook http://" + peer.HostPort() + " failed after 3 tries"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("SECRET"), std::string::npos) << log;
    c.FormClose();
}

TEST(Webhook, UrlsAreShownWithoutTheirSecrets) {
    const std::pair<const char*, const char*> rows[] = {
        {"https://hooks.slack.com/services/T0/B0/SECRET", "https://hooks.slack.com:443"},
        {"http://user:pw@ntfy.invalid:8080/topic?x=1", "http://ntfy.invalid:8080"},
        {"HTTPS://gotify.invalid/message?token=SECRET", "https://gotify.invalid:443"},
    };
    for (const auto& [url, shown] : rows) EXPECT_EQ(app::ShownUrl(url), shown);
    EXPECT_EQ(app::CheckWebhookUrl("https://h.invalid/x"), "");
    EXPECT_NE(app::CheckWebhookUrl("h.invalid/x"), "");
    EXPECT_NE(app::CheckWebhookUrl("https:///x"), "");
    EXPECT_NE(app::CheckWebhookUrl("https://h.invalid/a b"), "");
}

// JSON text at the limits of UTF-8: well-formed sequences stay as they are,
// anything else becomes the character of the byte's number.
TEST(Webhook, JsonTextKeepsUtf8AndEscapesEverythingElse) {
    const std::pair<std::string, std::string> rows[] = {
        {"a\"b\\c", "a\\\"b\\\\c"},
        {"\n\r\t\x01\x1f\x7f", "\\n\\r\\t\\u0001\\u001f\\u007f"},
        {"\xc2\x80 \xdf\xbf", "\xc2\x80 \xdf\xbf"},
        {"\xc1\xbf", "\\u00c1\\u00bf"},  // an overlong form
        {"\xe0\xa0\x80 \xef\xbf\xbf", "\xe0\xa0\x80 \xef\xbf\xbf"},
        {"\xe0\x9f\xbf", "\\u00e0\\u009f\\u00bf"},  // overlong
        {"\xed\x9f\xbf", "\xed\x9f\xbf"},
        {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},  // a surrogate
        {"\xf0\x90\x80\x80 \xf4\x8f\xbf\xbf", "\xf0\x90\x80\x80 \xf4\x8f\xbf\xbf"},
        {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},  // beyond U+10FFFF
        {"\xe2\x82", "\\u00e2\\u0082"},                        // cut short
        {"\xf5", "\\u00f5"},
    };
    for (const auto& [in, out] : rows) {
        EXPECT_EQ(app::JsonText(in), out) << in;
        EXPECT_FALSE(Json("{\"t\":\"" + app::JsonText(in) + "\"}").isEmpty()) << in;
    }
}
