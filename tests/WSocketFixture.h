// What the socket tests share: a socket that shows its send chain, a
// recorder of events, processor time, and the fixture that checks
// everything is released after each test.
#pragma once

#include "net/WSocket.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "SocketPeer.h"
#include "platform/AsyncLookup.h"
#include "platform/AsyncSelect.h"
#include "support/Watchdog.h"

using namespace net;
using namespace sockettest;

namespace wsockettest {

// Exposes the send chain for the block tests.
class ProbeSocket : public TWSocket {
public:
    std::size_t Blocks() const { return bufList_.size(); }
    std::int32_t FirstUnsent() const {
        std::int32_t n = 0;
        if (!bufList_.empty()) bufList_.front()->PeekData(n);
        return n;
    }
};

// Records the events of a socket as short lines, in order.
struct Recorder {
    std::vector<std::string> log;
    std::string received;
    std::vector<int> sendData;
    int connected = 0, closed = 0, sent = 0, dns = 0, data = 0, errors = 0;
    std::uint16_t lastClose = 0xFFFF, lastDns = 0xFFFF, lastConnect = 0xFFFF;
    bool readData = true;

    void Attach(TCustomWSocket& s) {
        s.OnChangeState = [this](base::TObject*, TSocketState a, TSocketState b) {
            log.push_back("state " + std::to_string(a) + ">" + std::to_string(b));
        };
        s.OnSessionConnected = [this](base::TObject*, std::uint16_t e) {
            ++connected;
            lastConnect = e;
            log.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](base::TObject*, std::uint16_t e) {
            ++closed;
            lastClose = e;
            log.push_back("closed " + std::to_string(e));
        };
        s.OnDataSent = [this](base::TObject*, std::uint16_t e) {
            ++sent;
            log.push_back("sent " + std::to_string(e));
        };
        s.OnSendData = [this](base::TObject*, int n) { sendData.push_back(n); };
        s.OnDnsLookupDone = [this](base::TObject*, std::uint16_t e) {
            ++dns;
            lastDns = e;
            log.push_back("dns " + std::to_string(e));
        };
        s.OnDataAvailable = [this, &s](base::TObject*, std::uint16_t) {
            ++data;
            if (!readData) return;
            char buf[4096];
            int n = s.Receive(buf, sizeof buf);
            if (n > 0) received.append(buf, static_cast<std::size_t>(n));
        };
    }
    // The log without the data and data-sent lines, whose number depends on timing.
    std::vector<std::string> Milestones() const {
        std::vector<std::string> out;
        for (auto& l : log)
            if (l.rfind("sent", 0) != 0) out.push_back(l);
        return out;
    }
};

// Processor time of the whole process, to tell a wait that sleeps from one that spins.
inline double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline std::string ErrorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "(no exception)";
}

// Every test ends with the loop, the readiness registry, the lookups and the
// socket library released.
class WSocketTest : public ::testing::Test {
protected:
    void TearDown() override {
        RunFor(10);
        EXPECT_EQ(platform::Counts().targets, 0);
        EXPECT_EQ(platform::Counts().timers, 0);
        EXPECT_EQ(platform::Counts().watches, 0);
        EXPECT_EQ(platform::AsyncSelectCount(), 0);
        EXPECT_EQ(platform::LookupCount(), 0);
        EXPECT_EQ(WSocketCount(), 0);
        EXPECT_FALSE(SocketLibraryLoaded());
    }

    // Connects s to the listener and returns the peer's end, once the
    // connect and its first write notification have been handled.
    int ConnectTo(TCustomWSocket& s, Listener& server, Recorder& rec) {
        s.SetAddr("127.0.0.1");
        s.SetPort(server.PortText());
        s.Connect();
        int peer = server.Accept();
        EXPECT_TRUE(RunUntil([&] { return rec.connected == 1 && rec.sent >= 1; }));
        return peer;
    }
};

}  // namespace wsockettest
