#include "app/core/HttpGetter.h"

#include <algorithm>
#include <chrono>

#include "app/core/HostExpect.h"
#include "app/core/sform.h"
#include "base/Exception.h"
#include "net/HttpProt.h"
#include "net/ProxyUrl.h"
#include "platform/Timer.h"

namespace app {

void HttpGetter::Start(const std::string& url, base::TStream& body, Done done) {
    bool failed = false;
    std::string reason;
    try {
        Get(url, body);
    } catch (const std::exception& e) {
        failed = true;
        reason = e.what();
    }
    done(failed, reason);
}

namespace {

// The main window's client, Http2, with its design-time settings.
class HttpCliGetter : public HttpGetter {
public:
    explicit HttpCliGetter(const TServerForm* settings) : settings_(settings) {
        http_.ProxyPort = "80";
        http_.Agent = "Mozilla/3.0 (compatible)";
        http_.Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
        http_.NoCache = false;
        http_.ContentTypePost = "application/x-www-form-urlencoded";
        http_.SetMultiThreaded(false);
        // A host that never answers must not hold the pass for good.
        http_.Timeout = kTimeoutSeconds;
        // A host's own limit ends its request where it runs out.
        limit_.OnTimer = [this] {
            limit_.SetEnabled(false);
            if (http_.State() == net::hsIdle) return;
            tooSlow_ = true;
            http_.Abort();
        };
        // Every hop's reply header passes here while its connection, and so
        // its certificate, is still at hand.
        http_.OnHeaderBegin = [this](base::TObject*) {
            std::int64_t expiry = http_.PeerCertificateExpiry();
            if (expiry != 0 && (certExpiry_ == 0 || expiry < certExpiry_)) certExpiry_ = expiry;
        };
        http_.OnHeaderEnd = [this](base::TObject*) { statusCode_ = http_.StatusCode(); };
        // A started request ends when the client goes idle; Abort gets
        // there at once, so nothing of it runs after an Abort returns.
        http_.OnStateChange = [this](base::TObject*) {
            if (http_.State() != net::hsIdle) return;
            limit_.SetEnabled(false);
            if (!done_) return;
            http_.ReceiveStream = nullptr;
            NoteFailure();
            Done done = std::move(done_);
            done_ = nullptr;
            if (tooSlow_)
                done(true, TooSlow());
            else
                done(http_.StatusCode() >= 400,
                     http_.StatusCode() >= 400 ? http_.ReasonPhrase() : std::string());
        };
    }

    void Get(const std::string& url, base::TStream& body) override {
        Prepare(url, body);
        struct Release {
            HttpCliGetter& g;
            ~Release() {
                g.http_.ReceiveStream = nullptr;  // the stream dies with the host's step
                g.limit_.SetEnabled(false);
            }
        } release{*this};
        struct Note {
            HttpCliGetter& g;
            ~Note() { g.NoteFailure(); }
        } note{*this};
        requested_ = true;
        try {
            http_.Get();
        } catch (const std::exception&) {
            if (!tooSlow_) throw;
        }
        if (tooSlow_) throw base::Exception(TooSlow());
    }

    void Abort() override {
        limit_.SetEnabled(false);
        http_.Abort();
    }
    void SetTimeLimit(std::int32_t ms) override { limitMs_ = std::max<std::int32_t>(ms, 0); }
    int LastStatusCode() const override { return statusCode_; }
    std::int64_t LastCertificateExpiry() const override { return certExpiry_; }
    int LastRedirects() const override { return http_.RedirectCount(); }
    bool LastFailedOnStatus() const override { return failedOnStatus_; }
    const net::TPhaseTimes* LastPhases() const override { return requested_ ? &http_.PhaseTimes() : nullptr; }

    void Start(const std::string& url, base::TStream& body, Done done) override {
        Prepare(url, body);
        done_ = std::move(done);
        try {
            requested_ = true;
            http_.StartRequest(net::rqGet);
        } catch (...) {
            // A request that failed to start is not left half-started.
            done_ = nullptr;
            requested_ = false;
            limit_.SetEnabled(false);
            if (http_.State() != net::hsIdle) http_.Abort();
            http_.ReceiveStream = nullptr;
            throw;
        }
    }

    std::unique_ptr<HttpGetter> MakeAnother() override { return std::make_unique<HttpCliGetter>(settings_); }

private:
    // What a request starts from, whether it is waited for or started.
    void Prepare(const std::string& url, base::TStream& body) {
        statusCode_ = 0;
        certExpiry_ = 0;
        failedOnStatus_ = false;
        requested_ = false;
        // A name with a control character names no host (a NUL would cut it
        // short and another host would be checked than the one logged).
        if (std::any_of(url.begin(), url.end(), [](char ch) {
                const auto c = static_cast<unsigned char>(ch);
                return c < 0x20 || c == 0x7F;
            }))
            throw base::Exception("invalid host name");
        ApplyProxy();
        // What one host's reply set on the client (a Content-Range asks for
        // a Range next time) never shapes the request to the next host.
        http_.ContentRangeBegin.clear();
        http_.ContentRangeEnd.clear();
        http_.URL = url;
        http_.ReceiveStream = &body;
        // The client's own limit never ends a request before the host's.
        http_.Timeout = limitMs_ >= kTimeoutSeconds * 1000 ? limitMs_ / 1000 + 1 : kTimeoutSeconds;
        tooSlow_ = false;
        started_ = std::chrono::steady_clock::now();
        limit_.SetEnabled(false);
        if (limitMs_ > 0) {
            limit_.SetInterval(static_cast<std::uint32_t>(limitMs_));
            limit_.SetEnabled(true);
        }
    }

    // The failure of a request ended at its limit, with the time it took
    // until it had ended.
    std::string TooSlow() const {
        return TooSlowText(std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count(),
                           limitMs_);
    }

    // A local failure has an error of its own; a reply's error status has
    // none and is the status of the last header that came.
    void NoteFailure() {
        failedOnStatus_ =
            http_.StatusCode() >= 400 && http_.LastRequestError() == 0 && http_.StatusCode() == statusCode_;
    }

    // The settings' proxy as it stands now; one that cannot be read fails
    // the request (it never goes direct instead).
    void ApplyProxy() {
        if (!settings_) return;
        net::TProxyUrl proxy;
        std::string error;
        if (!net::ParseProxyUrl(settings_->Proxy, proxy, error))
            throw base::Exception("proxy in sentrel.ini: " + error);
        net::ApplyProxyUrl(proxy, http_);
    }

    static constexpr int kTimeoutSeconds = 10;

    const TServerForm* settings_ = nullptr;
    net::THttpCli http_;
    platform::TTimer limit_;  // armed while a request with a limit runs
    std::int32_t limitMs_ = 0;
    bool tooSlow_ = false;  // the request was ended at its limit
    std::chrono::steady_clock::time_point started_;
    int statusCode_ = 0;
    std::int64_t certExpiry_ = 0;
    bool failedOnStatus_ = false;
    bool requested_ = false;  // the last request was made (not refused before it)
    Done done_;               // set while a started request runs
};

}  // namespace

std::unique_ptr<HttpGetter> MakeHttpGetter() {
    return std::make_unique<HttpCliGetter>(nullptr);
}

std::unique_ptr<HttpGetter> MakeHttpGetter(const TServerForm& settings) {
    return std::make_unique<HttpCliGetter>(&settings);
}

}  // namespace app
