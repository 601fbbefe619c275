// The one thing the pool check needs of an HTTP client: fetch a URL into a
// stream, blocking while the message loop runs, and raise when the request
// failed or the reply's status is 400 or more; plus Abort for a request in
// flight. The monitor's client is THttpCli behind this; tests use fakes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/Stream.h"

namespace app {

class HttpGetter {
public:
    virtual ~HttpGetter() = default;
    // Sets the client's URL to url unchanged and its receive stream to body,
    // then runs the blocking Get.
    virtual void Get(const std::string& url, base::TStream& body) = 0;
    // Ends a request in flight; the pending Get then raises.
    virtual void Abort() = 0;
    // What the last Get learnt besides its body, whether it returned or
    // raised: the status code of the last reply header that came (0 when
    // none came), and the earliest expiry among the certificates its https
    // hops showed, in seconds since the epoch (0 when no hop was https).
    virtual int LastStatusCode() const { return 0; }
    virtual std::int64_t LastCertificateExpiry() const { return 0; }
};

// The monitor's client: a THttpCli with the main window's design-time
// settings and a time limit of 10 seconds per request. A URL holding a
// control character is refused with "invalid host name" before any lookup.
std::unique_ptr<HttpGetter> MakeHttpGetter();

}  // namespace app
