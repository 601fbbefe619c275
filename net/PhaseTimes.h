// Where a request's time went, phase by phase, summed over its redirect
// hops: the client marks the monotonic clock where it already changes
// phase, and each mark charges the time since the one before to the phase
// that just ended. So the phases add up to the whole request's time (the
// gap between two hops goes to the next hop's lookup).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace net {

struct TPhaseTimes {
    enum Phase { Lookup, Connect, Proxy, Tls, FirstByte, Transfer, kPhases };

    double Seconds[kPhases] = {};  // per phase, summed over the hops
    double Total = 0;              // the request from its start to its end
    int Hops = 0;                  // requests made: 1 plus the redirects followed
    bool Proxied = false;          // a proxy answered a tunnel request
    bool Secure = false;           // a TLS handshake was made
    std::string FinalUrl;          // the URL of the last hop
    int FinalStatus = 0;           // the status the request ended with
    std::int64_t BodyBytes = 0;    // bytes of the final reply's body
    // The family of the address the last hop connected to: 4 or 6; 0 when
    // none was connected or the address was a proxy's (an HTTP proxy, or a
    // SOCKS proxy that looked the name up).
    int IpVersion = 0;
    // The HTTP version of the last reply: "1.0" or "1.1" from its status
    // line, "0.9" for a document sent without a header; empty when none came.
    std::string HttpVersion;

    using Clock = std::chrono::steady_clock;

    // A request starts: everything of the one before is forgotten.
    void Begin() {
        *this = TPhaseTimes{};
        start_ = last_ = Clock::now();
    }
    // The phase p has just ended.
    void Mark(Phase p) {
        const Clock::time_point now = Clock::now();
        Seconds[p] += std::chrono::duration<double>(now - last_).count();
        last_ = now;
        stage_ = p == FirstByte ? Transfer : p == Lookup ? Connect : FirstByte;
        if (p == Proxy) Proxied = true;
        if (p == Tls) Secure = true;
    }
    // The first byte of a hop's reply: only the first counts.
    void MarkFirstByte() {
        if (stage_ != Transfer) Mark(FirstByte);
    }
    // A hop ends (redirected, or the request's end): what it was doing
    // takes the time since the last mark.
    void EndHop() {
        if (!running()) return;
        Mark(stage_);
        stage_ = Lookup;
        ++Hops;
    }
    void End(std::string finalUrl, int finalStatus) {
        if (!running()) return;
        EndHop();
        Total = std::chrono::duration<double>(last_ - start_).count();
        FinalUrl = std::move(finalUrl);
        FinalStatus = finalStatus;
        start_ = {};
    }

private:
    bool running() const { return start_ != Clock::time_point{}; }
    Clock::time_point start_{}, last_{};
    Phase stage_ = Lookup;
};

// The times on one line, as the tools print them after an outcome:
// "lookup 0.1 ms, connect 0.2 ms, tls 3.1 ms, first byte 1.2 ms, total 4.9 ms,
// 1 redirect, 2,345 bytes, status 200" (a "proxy" time after connect when a
// proxy answered a tunnel request; tls only for a TLS hop).
std::string PhaseTimesLine(const TPhaseTimes& t);

}  // namespace net
