// The one thing the pool check needs of an HTTP client: fetch a URL into a
// stream, blocking while the message loop runs, and raise when the request
// failed or the reply's status is 400 or more; plus Abort for a request in
// flight. The monitor's client is THttpCli behind this; tests use fakes.
#pragma once

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
};

class TServerForm;

// The monitor's client: a THttpCli with the main window's design-time
// settings and a time limit of 10 seconds per request. A URL holding a
// control character is refused with "invalid host name" before any lookup.
// Given the settings, every request goes through their Proxy as it stands
// at that request; a proxy URL that cannot be read fails the request with
// its reason (it never goes direct instead).
std::unique_ptr<HttpGetter> MakeHttpGetter();
std::unique_ptr<HttpGetter> MakeHttpGetter(const TServerForm& settings);

}  // namespace app
