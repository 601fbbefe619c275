// The one thing the pool check needs of an HTTP client: fetch a URL into a
// stream, blocking while the message loop runs, and raise when the request
// failed or the reply's status is 400 or more; plus Abort for a request in
// flight. A pass that fetches several hosts at once starts requests instead
// and asks for more clients like this one. The monitor's client is THttpCli
// behind this; tests use fakes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/Stream.h"
#include "net/PhaseTimes.h"

namespace app {

class HttpGetter {
public:
    virtual ~HttpGetter() = default;
    // Sets the client's URL to url unchanged and its receive stream to body,
    // then runs the blocking Get.
    virtual void Get(const std::string& url, base::TStream& body) = 0;
    // Ends a request in flight; the pending Get then raises.
    virtual void Abort() = 0;
    // The longest the next requests may take, redirects included, in
    // milliseconds; 0 (the start) is the client's own limit alone. A request
    // still running at the limit is ended and fails with "Too slow: 700 ms
    // (limit 700 ms)". A client that cannot end a request early ignores it
    // (and the pass judges the time after the fact).
    virtual void SetTimeLimit(std::int32_t ms) { (void)ms; }
    // What the last Get (or started request) learnt besides its body,
    // whether it succeeded or failed: the status code of the last reply header that came (0 when
    // none came), and the earliest expiry among the certificates its https
    // hops showed, in seconds since the epoch (0 when no hop was https).
    virtual int LastStatusCode() const { return 0; }
    virtual std::int64_t LastCertificateExpiry() const { return 0; }
    // How many redirections it followed.
    virtual int LastRedirects() const { return 0; }
    // Whether the last request failed only because its reply's status was
    // 400 or more (the reply itself came as far as the client reads one).
    virtual bool LastFailedOnStatus() const { return false; }
    // Where the last request's time went; nullptr from a client that does
    // not record it.
    virtual const net::TPhaseTimes* LastPhases() const { return nullptr; }

    // How a started request ended: failed when Get would have raised, with
    // the text it would have raised.
    using Done = std::function<void(bool failed, const std::string& reason)>;
    // Starts fetching url into body and returns; done runs once the request
    // has ended (from the message loop, or from Abort). Raises what Get
    // raises for a request that cannot start. Without a client that can
    // start a request and return, this is Get followed by done.
    virtual void Start(const std::string& url, base::TStream& body, Done done);
    // Another client with the same settings, for one more request at a time;
    // nullptr when there is none to be had.
    virtual std::unique_ptr<HttpGetter> MakeAnother() { return nullptr; }
};

class TServerForm;

// The monitor's client: a THttpCli with the main window's design-time
// settings and a time limit of 10 seconds per request, or the request's own
// SetTimeLimit when that is longer (a limit could never fire otherwise). A URL holding a
// control character is refused with "invalid host name" before any lookup.
// Given the settings, every request goes through their Proxy as it stands
// at that request; a proxy URL that cannot be read fails the request with
// its reason (it never goes direct instead).
std::unique_ptr<HttpGetter> MakeHttpGetter();
std::unique_ptr<HttpGetter> MakeHttpGetter(const TServerForm& settings);

}  // namespace app
