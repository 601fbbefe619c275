// Socket readiness as notifications: the order of connect, write, read and
// close, the re-enabling rules (read again only after a receive, write only
// after a send that would block, accept after each accept), a refused
// connect as one notification, a reset as 10054, and nothing delivered for
// a socket that has been forgotten.
#include "platform/AsyncSelect.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <tuple>
#include <vector>

#include "SocketPeer.h"
#include "platform/SocketErrors.h"

using namespace platform;
using namespace sockettest;

namespace {

constexpr UINT kMsg = WM_USER + 1;

struct Note {
    std::uint16_t event;
    std::uint16_t error;
    bool operator==(const Note& o) const { return event == o.event && error == o.error; }
};

std::ostream& operator<<(std::ostream& os, const Note& n) {
    return os << "{" << n.event << "," << n.error << "}";
}

// A client socket registered for every event, with the notifications it got.
// Made through the socket calls (known), a connection is watched
// edge-triggered; otherwise level-triggered.
class Client {
public:
    explicit Client(bool known = false) {
        wnd_ = AllocateHWnd([this](UINT msg, WPARAM w, LPARAM l) -> LRESULT {
            if (msg == kMsg && static_cast<int>(w) == fd) {
                notes.push_back({SelectEvent(l), SelectError(l)});
                if (onNote) onNote(notes.back());
            }
            return 0;
        });
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (known) AsyncSelectNoteCreated(fd, false, false);
    }
    ~Client() {
        if (fd >= 0) {
            AsyncSelectForget(fd);
            close(fd);
        }
        DeallocateHWnd(wnd_);
    }
    void Select(long mask = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE | FD_ACCEPT) {
        ASSERT_EQ(AsyncSelect(fd, wnd_, kMsg, mask), 0);
    }
    void Connect(std::uint16_t port) {
        sockaddr_in sin = Loopback(port);
        int rc = connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
        ASSERT_TRUE(rc == 0 || errno == EINPROGRESS);
        AsyncSelectNoteConnecting(fd);
    }
    // A receive of up to max bytes that tells what it got, as the socket
    // calls do.
    std::string Recv(int max = 65536) {
        std::string buf(static_cast<std::size_t>(max), '\0');
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        int err = errno;
        ++receives;
        AsyncSelectNoteReceived(fd, static_cast<long>(n), n < 0 ? err : 0, max);
        buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buf;
    }
    // A receive that tells what it got, as the socket calls do.
    long RecvTold(std::string* got = nullptr, int max = 4096) {
        char buf[4096];
        ssize_t n = recv(fd, buf, static_cast<std::size_t>(max), 0);
        int err = errno;
        AsyncSelectNoteReceived(fd, static_cast<long>(n), n < 0 ? err : 0, max);
        if (got && n > 0) got->append(buf, static_cast<std::size_t>(n));
        return static_cast<long>(n);
    }
    int Count(std::uint16_t event) const {
        int c = 0;
        for (auto& n : notes) c += n.event == event;
        return c;
    }
    HWND Wnd() const { return wnd_; }

    int fd = -1;
    int receives = 0;
    std::vector<Note> notes;
    std::function<void(const Note&)> onNote;

private:
    HWND wnd_ = 0;
};

class AsyncSelectMode : public testing::TestWithParam<bool> {};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Watch, AsyncSelectMode, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Edge" : "Level";
                         });

TEST_P(AsyncSelectMode, ConnectThenOneWriteThenReadOnlyAfterEachReceive) {
    Listener server;
    {
        Client c(GetParam());
        c.Select();
        c.Connect(server.Port());
        int peer = server.Accept();
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(RunUntil([&] { return c.notes.size() >= 2; }));
        RunFor(50);
        EXPECT_EQ(c.notes, (std::vector<Note>{{FD_CONNECT, 0}, {FD_WRITE, 0}}));

        SendAll(peer, "abc");
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 1; }));
        SendAll(peer, "def");
        RunFor(50);
        EXPECT_EQ(c.Count(FD_READ), 1) << "read stays off until the socket is read";

        EXPECT_EQ(c.Recv(2), "ab");
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 2; })) << "data remains: read again";
        EXPECT_EQ(c.Recv(), "cdef");
        RunFor(50);
        EXPECT_EQ(c.Count(FD_READ), 2);

        // The close alone, after everything was read: only a receive can
        // tell it from data that came just before it.
        close(peer);
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 3; }));
        EXPECT_EQ(c.Count(FD_CLOSE), 0);
        EXPECT_EQ(c.Recv(), "");
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_CLOSE) == 1; }));
        RunFor(50);
        EXPECT_EQ(c.notes.back(), (Note{FD_CLOSE, 0}));
        EXPECT_EQ(c.Count(FD_READ), 3);
        EXPECT_EQ(c.Count(FD_CLOSE), 1);
        EXPECT_EQ(c.Count(FD_WRITE), 1);
    }
    EXPECT_EQ(AsyncSelectCount(), 0);
    EXPECT_EQ(Counts().watches, 0);
    EXPECT_EQ(Counts().targets, 0);
}

// The peer's last data and its close, as they come together: the receives
// tell the end. One that leaves room in its buffer has read the last byte,
// so the close follows without another receive; one that fills its buffer
// may leave more, so read comes again.
struct EndRow {
    const char* name;
    std::string data;  // what the peer sends before it ends
    bool reset;
    int readSize;
    std::vector<Note> after;  // the notifications after connect and write
    int receives;
};

class PeerEnd : public testing::TestWithParam<std::tuple<EndRow, bool>> {};

TEST_P(PeerEnd, CloseComesOnlyAfterTheDataSentBeforeIt) {
    const EndRow& row = std::get<0>(GetParam());
    Listener server;
    Client c(std::get<1>(GetParam()));
    c.Select();
    c.Connect(server.Port());
    int peer = server.Accept();
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_WRITE) == 1; }));
    if (!row.data.empty()) SendAll(peer, row.data);
    if (row.reset)
        Reset(peer);
    else
        close(peer);
    std::string got;
    std::size_t handled = c.notes.size();
    while (c.Count(FD_CLOSE) == 0) {
        ASSERT_TRUE(RunUntil([&] { return c.notes.size() > handled; }));
        for (; handled < c.notes.size(); ++handled)
            if (c.notes[handled].event == FD_READ) got += c.Recv(row.readSize);
        ASSERT_LE(c.receives, 10);
    }
    RunFor(50);
    std::vector<Note> expected{{FD_CONNECT, 0}, {FD_WRITE, 0}};
    expected.insert(expected.end(), row.after.begin(), row.after.end());
    EXPECT_EQ(c.notes, expected);
    EXPECT_EQ(c.receives, row.receives);
    EXPECT_EQ(got, row.data);
}

INSTANTIATE_TEST_SUITE_P(
    AsyncSelect, PeerEnd,
    testing::Combine(
        testing::Values(
            EndRow{
                "DataAndCloseInOneShortReceive", "last words", false, 4096, {{FD_READ, 0}, {FD_CLOSE, 0}}, 1},
            EndRow{"DataBeyondOneReceive",
                   "0123456789",
                   false,
                   4,
                   {{FD_READ, 0}, {FD_READ, 0}, {FD_READ, 0}, {FD_CLOSE, 0}},
                   3},
            // Exactly the buffer's size: only a receive of 0 can tell the end.
            EndRow{"DataFillingTheLastReceive",
                   "01234567",
                   false,
                   4,
                   {{FD_READ, 0}, {FD_READ, 0}, {FD_READ, 0}, {FD_CLOSE, 0}},
                   3},
            EndRow{"CloseAlone", "", false, 4096, {{FD_READ, 0}, {FD_CLOSE, 0}}, 1},
            // The data still comes first; the reset, which the platform reports
            // once, is the close's error all the same.
            EndRow{
                "ResetWithDataPending", "doomed", true, 4096, {{FD_READ, 0}, {FD_CLOSE, WSAECONNRESET}}, 1}),
        testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<EndRow, bool>>& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Edge" : "Level");
    });

// Urgent data stops a receive at its mark with the rest queued behind it,
// so a short receive does not mean the queue is empty: a connection reads
// on past the mark (with or without the peer's close after it) instead of
// waiting for news that never comes or ending at the mark.
TEST(AsyncSelect, AReceiveStoppedAtAnUrgentMarkReadsOn) {
    for (bool closeAfter : {false, true}) {
        SCOPED_TRACE(closeAfter ? "close after" : "connection kept");
        Listener server;
        Client c(true);
        c.Select();
        c.Connect(server.Port());
        int peer = server.Accept();
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_WRITE) == 1; }));
        SendAll(peer, "abc");
        ASSERT_EQ(send(peer, "X", 1, MSG_OOB), 1);
        SendAll(peer, "def");
        if (closeAfter) close(peer);
        std::string got;
        std::size_t handled = c.notes.size();
        while (got.size() < 6 && c.Count(FD_CLOSE) == 0) {
            ASSERT_TRUE(RunUntil([&] { return c.notes.size() > handled; })) << "got only \"" << got << "\"";
            for (; handled < c.notes.size(); ++handled)
                if (c.notes[handled].event == FD_READ) got += c.Recv(4096);
            ASSERT_LE(c.receives, 10);
        }
        EXPECT_EQ(got, "abcdef");  // the urgent byte goes out of band
        if (!closeAfter) close(peer);
        ASSERT_TRUE(RunUntil([&] {
            for (; handled < c.notes.size(); ++handled)
                if (c.notes[handled].event == FD_READ) c.Recv(4096);
            return c.Count(FD_CLOSE) == 1;
        }));
        EXPECT_EQ(c.notes.back(), (Note{FD_CLOSE, 0}));
    }
}

TEST_P(AsyncSelectMode, RefusedConnectIsOneConnectNotificationAndNothingElse) {
    Client c(GetParam());
    c.Select();
    c.Connect(ClosedPort());
    ASSERT_TRUE(RunUntil([&] { return !c.notes.empty(); }));
    RunFor(100);
    EXPECT_EQ(c.notes, (std::vector<Note>{{FD_CONNECT, WSAECONNREFUSED}}));
}

TEST_P(AsyncSelectMode, ResetByThePeerIsClose10054) {
    Listener server;
    Client c(GetParam());
    c.Select();
    c.Connect(server.Port());
    int peer = server.Accept();
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_WRITE) == 1; }));
    Reset(peer);
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_CLOSE) == 1; }));
    RunFor(50);
    EXPECT_EQ(c.notes.back(), (Note{FD_CLOSE, WSAECONNRESET}));
    EXPECT_EQ(c.Count(FD_CLOSE), 1);
}

TEST(AsyncSelect, AcceptComesAgainAfterEachAccept) {
    Client listener;
    sockaddr_in sin = Loopback(0);
    ASSERT_EQ(bind(listener.fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    ASSERT_EQ(listen(listener.fd, 5), 0);
    listener.Select(FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE);
    std::uint16_t port = LocalPort(listener.fd);
    Client a, b;
    a.Connect(port);
    b.Connect(port);
    ASSERT_TRUE(RunUntil([&] { return listener.Count(FD_ACCEPT) == 1; }));
    RunFor(50);
    EXPECT_EQ(listener.notes, (std::vector<Note>{{FD_ACCEPT, 0}}));
    int s1 = accept(listener.fd, nullptr, nullptr);
    AsyncSelectNoteAccepted(listener.fd);
    ASSERT_TRUE(RunUntil([&] { return listener.Count(FD_ACCEPT) == 2; }));
    int s2 = accept(listener.fd, nullptr, nullptr);
    AsyncSelectNoteAccepted(listener.fd);
    RunFor(50);
    EXPECT_EQ(listener.Count(FD_ACCEPT), 2);
    close(s1);
    close(s2);
}

TEST_P(AsyncSelectMode, WriteComesBackOnlyAfterASendThatWouldBlock) {
    Listener server;
    Client c(GetParam());
    SmallBuffers(c.fd);
    c.Select();
    c.Connect(server.Port());
    int peer = server.Accept();
    SmallBuffers(peer);
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_WRITE) == 1; }));
    std::string chunk(4096, 'x');
    std::size_t sent = 0;
    while (true) {
        ssize_t n = send(c.fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n < 0) break;
        sent += static_cast<std::size_t>(n);
    }
    ASSERT_EQ(errno, EAGAIN);
    RunFor(50);
    EXPECT_EQ(c.Count(FD_WRITE), 1) << "no write before a send has blocked";
    AsyncSelectNoteSendBlocked(c.fd);
    RunFor(50);
    EXPECT_EQ(c.Count(FD_WRITE), 1) << "still full";
    std::size_t got = 0;
    ASSERT_TRUE(RunUntil([&] {
        got += ReadAvailable(peer).size();
        return c.Count(FD_WRITE) == 2;
    }));
    RunFor(50);
    got += ReadAvailable(peer).size();
    EXPECT_EQ(c.Count(FD_WRITE), 2);
    EXPECT_GT(got, 0u);
    close(peer);
}

TEST_P(AsyncSelectMode, NotificationsOfAForgottenSocketAreDropped) {
    Listener server;
    Client c(GetParam());
    c.Select();
    // The connect and write notifications are queued together; the socket is
    // closed while handling the first, so the second must never arrive.
    c.onNote = [&](const Note&) {
        AsyncSelectForget(c.fd);
        close(c.fd);
        c.fd = -1;
    };
    c.Connect(server.Port());
    int peer = server.Accept();
    ASSERT_TRUE(RunUntil([&] { return !c.notes.empty(); }));
    RunFor(50);
    EXPECT_EQ(c.notes, (std::vector<Note>{{FD_CONNECT, 0}}));
    EXPECT_EQ(AsyncSelectCount(), 0);
    close(peer);
}

TEST_P(AsyncSelectMode, AskingForNothingStopsTheNotifications) {
    Listener server;
    Client c(GetParam());
    c.Select();
    c.Connect(server.Port());
    int peer = server.Accept();
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_WRITE) == 1; }));
    c.Select(0);
    SendAll(peer, "quiet");
    RunFor(50);
    EXPECT_EQ(c.Count(FD_READ), 0);
    // Level-triggered, a socket that wants nothing leaves epoll (it would
    // be reported again and again); edge-triggered, it stays, reported once.
    EXPECT_EQ(Counts().watches, GetParam() ? 1 : 0);
    // Asking again: the data that came meanwhile is announced, and so is a
    // socket that can send.
    c.Select();
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 1; }));
    EXPECT_EQ(c.Count(FD_WRITE), 2);
    // A read left unanswered across a pause comes again.
    c.Select(0);
    c.Select();
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 2; }));
    EXPECT_EQ(c.Recv(), "quiet");
    RunFor(50);
    EXPECT_EQ(c.Count(FD_READ), 2);
    close(peer);
}

TEST_P(AsyncSelectMode, AStreamNotYetConnectingHearsNothing) {
    // epoll reports a hang-up for a stream that is not connected; a socket
    // whose connect failed at once must not hear a close from it.
    Client c(GetParam());
    c.Select();
    RunFor(50);
    EXPECT_TRUE(c.notes.empty());
    EXPECT_EQ(Counts().watches, 0);
}

TEST_P(AsyncSelectMode, ReadsAndReceivesLeaveEpollAlone) {
    Listener server;
    Client c(GetParam());
    c.Select();
    const long before = Counts().watchChanges;
    c.Connect(server.Port());
    int peer = server.Accept();
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_WRITE) == 1; }));
    const long changes = Counts().watchChanges;
    if (GetParam()) {
        EXPECT_EQ(changes - before, 1) << "one registration for the whole connection";
    }
    for (int i = 1; i <= 3; ++i) {
        SendAll(peer, "ping");
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == i; }));
        std::string got;
        EXPECT_EQ(c.RecvTold(&got), 4);
        EXPECT_EQ(got, "ping");
    }
    EXPECT_EQ(Counts().watchChanges, changes) << "read interest stays from one receive to the next";

    // A read left unanswered: level-triggered, the socket is reported once
    // more, its interest goes off (no spinning loop), and comes back with
    // the receive; edge-triggered, epoll is never changed.
    const int off = GetParam() ? 0 : 1;
    SendAll(peer, "more");
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 4; }));
    RunFor(50);
    EXPECT_EQ(c.Count(FD_READ), 4);
    EXPECT_EQ(Counts().watchChanges, changes + off);
    SendAll(peer, "!");
    EXPECT_GT(c.RecvTold(), 0);
    EXPECT_EQ(Counts().watchChanges, changes + 2 * off);
    close(peer);
}

// The receive itself tells the end: 0 bytes is the peer's close, a reset a
// close with 10054, each delivered once, without waiting for epoll.
TEST_P(AsyncSelectMode, TheReceiveThatFindsTheEndGivesTheCloseOnce) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "orderly close");
        Listener server;
        Client c(GetParam());
        c.Select();
        c.Connect(server.Port());
        int peer = server.Accept();
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_WRITE) == 1; }));
        SendAll(peer, "last");
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 1; }));
        if (reset)
            Reset(peer);
        else
            close(peer);
        RunFor(20);  // the end has arrived; the read is still unanswered
        EXPECT_EQ(c.Count(FD_CLOSE), 0);
        long n = 1;
        for (int i = 0; i < 3 && n > 0; ++i) n = c.RecvTold();
        ASSERT_LE(n, 0);
        ProcessMessages();
        ASSERT_EQ(c.Count(FD_CLOSE), 1);
        EXPECT_EQ(c.notes.back(), (Note{FD_CLOSE, static_cast<std::uint16_t>(reset ? WSAECONNRESET : 0)}));
        c.RecvTold();  // the end read again
        RunFor(50);
        EXPECT_EQ(c.Count(FD_CLOSE), 1);
    }
}

// What comes while read is off (the last read not answered yet) is not
// lost: the receive that follows answers it.
TEST_P(AsyncSelectMode, WhatComesWhileReadIsOffWaitsForTheReceive) {
    const bool edge = GetParam();
    Listener server;
    Client c(edge);
    c.Select();
    c.Connect(server.Port());
    int peer = server.Accept();
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_WRITE) == 1; }));
    SendAll(peer, "abc");
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 1; }));
    SendAll(peer, "def");
    RunFor(20);
    // A receive that takes everything answers what came meanwhile.
    EXPECT_EQ(c.Recv(), "abcdef");
    RunFor(50);
    EXPECT_EQ(c.Count(FD_READ), 1);
    SendAll(peer, "g");
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 2; }));

    // A receive that fills its buffer may leave more: edge-triggered, read
    // comes again at once, and the receive that finds nothing ends it.
    SendAll(peer, "hij");
    RunFor(20);
    EXPECT_EQ(c.Recv(4), "ghij");
    if (edge) {
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 3; }));
        EXPECT_EQ(c.Recv(4), "");
    }
    RunFor(50);
    const int reads = c.Count(FD_READ);
    EXPECT_EQ(reads, edge ? 3 : 2);

    // The close while read is off: the receive that reads the last data
    // brings it at once when the close was heard (edge-triggered: its report
    // is kept); level-triggered, one receive more finds it.
    SendAll(peer, "last");
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == reads + 1; }));
    close(peer);
    RunFor(20);
    EXPECT_EQ(c.Count(FD_CLOSE), 0);
    EXPECT_EQ(c.Recv(), "last");
    if (!edge) {
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == reads + 2; }));
        EXPECT_EQ(c.Recv(), "");
    }
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_CLOSE) == 1; }));
    RunFor(50);
    EXPECT_EQ(c.notes.back(), (Note{FD_CLOSE, 0}));
    EXPECT_EQ(c.Count(FD_READ), reads + (edge ? 1 : 2));
}

// A receive that failed without taking anything (interrupted, out of
// memory) leaves the data where it was: what came while read was off is
// announced again, not forgotten with the report kept for it.
TEST_P(AsyncSelectMode, AFailedReceiveLeavesWhatCameMeanwhileAnnounced) {
    for (int err : {EINTR, ENOMEM}) {
        SCOPED_TRACE(err);
        Listener server;
        Client c(GetParam());
        c.Select();
        c.Connect(server.Port());
        int peer = server.Accept();
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_WRITE) == 1; }));
        SendAll(peer, "abc");
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 1; }));
        SendAll(peer, "def");
        RunFor(20);
        AsyncSelectNoteReceived(c.fd, -1, err, 4096);
        ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 2; }));
        EXPECT_EQ(c.Recv(), "abcdef");
        close(peer);
    }
}

// A reader that stops (its handler read nothing, or failed before reading)
// still hears the peer's close, whether the close came before it stopped
// or after, and whether data is still queued: the owner takes what is left
// as it closes, and nothing of it is lost meanwhile.
struct UnreadRow {
    const char* name;
    std::string data;  // what the peer sends, left unread
    bool endFirst;     // the peer ends before the reader stops
    bool reset;
    std::uint16_t error;
};

class ReaderStops : public testing::TestWithParam<std::tuple<UnreadRow, bool>> {};

TEST_P(ReaderStops, ThePeersCloseStillComes) {
    const UnreadRow& row = std::get<0>(GetParam());
    Listener server;
    Client c(std::get<1>(GetParam()));
    c.Select();
    c.Connect(server.Port());
    int peer = server.Accept();
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_WRITE) == 1; }));
    auto end = [&] {
        if (row.reset)
            Reset(peer);
        else
            close(peer);
    };
    if (!row.data.empty()) SendAll(peer, row.data);
    if (row.endFirst) end();
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_READ) == 1; }));
    RunFor(20);  // whatever was heard has been heard
    EXPECT_EQ(c.Count(FD_CLOSE), 0);
    AsyncSelectNoteUnread(c.fd);
    if (!row.endFirst) {
        RunFor(20);
        EXPECT_EQ(c.Count(FD_CLOSE), 0) << "the peer is still there";
        end();
    }
    ASSERT_TRUE(RunUntil([&] { return c.Count(FD_CLOSE) == 1; }));
    EXPECT_EQ(c.notes,
              (std::vector<Note>{{FD_CONNECT, 0}, {FD_WRITE, 0}, {FD_READ, 0}, {FD_CLOSE, row.error}}));
    EXPECT_EQ(c.Recv(), row.data) << "what was left is still there to take";
    RunFor(50);
    EXPECT_EQ(c.notes.size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(
    AsyncSelect, ReaderStops,
    testing::Combine(testing::Values(UnreadRow{"DataLeftThenClose", "unread", false, false, 0},
                                     UnreadRow{"DataLeftThenReset", "unread", false, true, WSAECONNRESET},
                                     UnreadRow{"CloseBeforeTheReaderStops", "unread", true, false, 0},
                                     UnreadRow{"ResetBeforeTheReaderStops", "unread", true, true,
                                               WSAECONNRESET},
                                     UnreadRow{"CloseAloneLeftUnanswered", "", true, false, 0}),
                     testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<UnreadRow, bool>>& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Edge" : "Level");
    });
