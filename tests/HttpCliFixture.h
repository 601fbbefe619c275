// What the client's test files share: the request lines every request
// carries, a blocking GET under a watchdog, and a client with a body stream.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "base/Stream.h"
#include "net/HttpProt.h"
#include "platform/MessageLoop.h"
#include "support/Watchdog.h"

namespace httpclitest {

using namespace net;
using namespace testsupport;

inline const char kAccept[] = "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n";
inline const char kAgent[] = "User-Agent: Mozilla/3.0 (compatible)\r\n";

struct Outcome {
    bool raised = false;
    std::string message;
    int code = 0;
};

// Runs a blocking GET under a watchdog that aborts it.
inline Outcome RunGet(THttpCli& c, int watchdogMs = 10000) {
    TWatchdog dog(watchdogMs, [&c] { c.Abort(); });
    try {
        c.Get();
    } catch (const EHttpException& e) {
        return {true, e.what(), e.FailureCode};
    } catch (const std::exception& e) {
        return {true, e.what(), -1};
    }
    return {};
}

// Runs the loop until pred holds, at most ms.
template <typename Pred>
void PumpUntil(Pred pred, int ms = 5000) {
    TWatchdog dog(ms, [] {});
    while (!pred() && !dog.Fired()) {
        if (!platform::ProcessMessages()) platform::WaitMessage(50);
    }
}

struct HttpCliTest : ::testing::Test {
    THttpCli cli;
    base::TMemoryStream body;
    HttpCliTest() { cli.ReceiveStream = &body; }
};

}  // namespace httpclitest
