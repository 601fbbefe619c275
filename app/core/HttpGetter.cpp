#include "app/core/HttpGetter.h"

#include <algorithm>

#include "app/core/sform.h"
#include "base/Exception.h"
#include "net/HttpProt.h"
#include "net/ProxyUrl.h"

namespace app {

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
        http_.Timeout = 10;
    }

    void Get(const std::string& url, base::TStream& body) override {
        // A name with a control character names no host (a NUL would cut it
        // short and another host would be checked than the one logged).
        if (std::any_of(url.begin(), url.end(), [](char ch) {
                const auto c = static_cast<unsigned char>(ch);
                return c < 0x20 || c == 0x7F;
            }))
            throw base::Exception("invalid host name");
        if (settings_) {
            net::TProxyUrl proxy;
            std::string error;
            if (!net::ParseProxyUrl(settings_->Proxy, proxy, error))
                throw base::Exception("proxy in sentrel.ini: " + error);
            net::ApplyProxyUrl(proxy, http_);
        }
        http_.URL = url;
        http_.ReceiveStream = &body;
        struct Release {
            net::THttpCli& c;
            ~Release() { c.ReceiveStream = nullptr; }  // the stream dies with the host's step
        } release{http_};
        http_.Get();
    }

    void Abort() override { http_.Abort(); }

private:
    const TServerForm* settings_ = nullptr;
    net::THttpCli http_;
};

}  // namespace

std::unique_ptr<HttpGetter> MakeHttpGetter() {
    return std::make_unique<HttpCliGetter>(nullptr);
}

std::unique_ptr<HttpGetter> MakeHttpGetter(const TServerForm& settings) {
    return std::make_unique<HttpCliGetter>(&settings);
}

}  // namespace app
