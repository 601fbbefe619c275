// Socket codes and their texts, the mapping of errno values and resolver
// statuses onto them, the dotted-address test and the resolvers of the
// socket library module, and the loader's load/unload contract.
#include <gtest/gtest.h>

#include <ares.h>

#include <cerrno>

#include "net/WSocket.h"
#include "net/WinsockLib.h"
#include "platform/SocketErrors.h"

using namespace net;

TEST(SocketErrorText, GivesTheTextOfEveryCodeOfTheTable) {
    struct Row {
        int code;
        const char* text;
    } rows[] = {
        {0, "No Error"},
        {10004, "Interrupted system call"},
        {10009, "Bad file number"},
        {10013, "Permission denied"},
        {10014, "Bad address"},
        {10022, "Invalid argument"},
        {10024, "Too many open files"},
        {10035, "Operation would block"},
        {10036, "Operation now in progress"},
        {10037, "Operation already in progress"},
        {10038, "Socket operation on non-socket"},
        {10039, "Destination address required"},
        {10040, "Message too long"},
        {10041, "Protocol wrong type for socket"},
        {10042, "Protocol not available"},
        {10043, "Protocol not supported"},
        {10044, "Socket type not supported"},
        {10045, "Operation not supported on socket"},
        {10046, "Protocol family not supported"},
        {10047, "Address family not supported by protocol family"},
        {10048, "Address already in use"},
        {10049, "Address not available"},
        {10050, "Network is down"},
        {10051, "Network is unreachable"},
        {10052, "Network dropped connection on reset"},
        {10053, "Connection aborted"},
        {10054, "Connection reset by peer"},
        {10055, "No buffer space available"},
        {10056, "Socket is already connected"},
        {10057, "Socket is not connected"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references: can't splice"},
        {10060, "Connection timed out"},
        {10061, "Connection refused"},
        {10062, "Too many levels of symbolic links"},
        {10063, "File name too long"},
        {10064, "Host is down"},
        {10065, "No route to host"},
        {10066, "Directory not empty"},
        {10067, "Too many processes"},
        {10068, "Too many users"},
        {10069, "Disc quota exceeded"},
        {10070, "Stale NFS file handle"},
        {10071, "Too many levels of remote in path"},
        {10091, "Network sub-system is unusable"},
        {10092, "WinSock DLL cannot support this application"},
        {10093, "WinSock not initialized"},
        {11001, "Host not found"},
        {11002, "Non-authoritative host not found"},
        {11003, "Non-recoverable error"},
        {11004, "No Data"},
        {12345, "Not a WinSock error"},  // unknown
        {10072, "Not a WinSock error"},  // a gap in the table
        {-1, "Not a WinSock error"},
    };
    for (const Row& r : rows) EXPECT_EQ(SocketErrorText(r.code), r.text) << r.code;
}

TEST(SocketErrors, MapErrnoOntoTheSocketCodes) {
    struct Row {
        int err;
        int code;
    } rows[] = {
        {0, 0},
        {ECONNREFUSED, 10061},
        {ETIMEDOUT, 10060},
        {ECONNRESET, 10054},
        {EPIPE, 10054},  // a send after a reset
        {EHOSTUNREACH, 10065},
        {ENETUNREACH, 10051},
        {ECONNABORTED, 10053},
        {ENOTCONN, 10057},
        {EWOULDBLOCK, 10035},
        {EAGAIN, 10035},
        {EINPROGRESS, 10035},  // a connect under way
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {EBADF, 10009},
        {EINVAL, 10022},
        {ENOTSOCK, 10038},
        {EMFILE, 10024},
        {ENOBUFS, 10055},
    };
    for (const Row& r : rows) EXPECT_EQ(platform::SocketErrorFromErrno(r.err), r.code) << r.err;
    EXPECT_EQ(SocketErrorText(platform::SocketErrorFromErrno(ENOENT)), "Not a WinSock error");
}

TEST(SocketErrors, MapResolverStatusesOntoTheLookupCodes) {
    struct Row {
        int status;
        int code;
    } rows[] = {
        {ARES_SUCCESS, 0},          {ARES_ENOTFOUND, 11001},    {ARES_ETIMEOUT, 11002},
        {ARES_ESERVFAIL, 11002},    {ARES_ECONNREFUSED, 11002}, {ARES_EREFUSED, 11003},
        {ARES_EFORMERR, 11003},     {ARES_ENODATA, 11004},      {ARES_ECANCELLED, 10004},
        {ARES_EDESTRUCTION, 10004}, {ARES_ENOMEM, 10055},
    };
    for (const Row& r : rows) EXPECT_EQ(platform::SocketErrorFromAres(r.status), r.code) << r.status;
}

TEST(IsDottedQuad, TellsAddressesFromNames) {
    struct Row {
        const char* text;
        bool dotted;
        const char* why;
    } rows[] = {
        {"1.2.3.4", true, "plain"},
        {"  1.2.3.4  ", true, "blanks around"},
        {"255.255.255.255", true, "broadcast"},
        {"010.1.2.3", true, "leading zeros"},
        {"0000.0.0.0", true, "many digits"},
        {"1.2.3", false, "three groups"},
        {"1..2.3.4", false, "empty group"},
        {".1.2.3.4", false, "leading dot"},
        {"1.2.3.4.5", false, "five groups"},
        {"1.2.3.256", false, "last group too big"},
        {"256.1.2.3", false, "first group too big"},
        {"1.2.3.4x", false, "trailing letter"},
        {"1.2.3.4 x", false, "letter after blank"},
        {"1.2.3.", false, "ends with a dot"},
        {"www.example.com", false, "a name"},
        {"", false, "empty"},
    };
    for (const Row& r : rows) EXPECT_EQ(IsDottedQuad(r.text), r.dotted) << r.why << ": '" << r.text << "'";
}

TEST(InetAddr, ReadsDecimalGroups) {
    EXPECT_EQ(WSocket_inet_ntoa(WSocket_inet_addr("010.0.0.1")), "10.0.0.1");
    EXPECT_EQ(WSocket_inet_ntoa(WSocket_inet_addr("127.0.0.1")), "127.0.0.1");
    EXPECT_EQ(WSocket_inet_addr("1.2.3"), 0xFFFFFFFFu);
    EXPECT_EQ(WSocket_inet_addr("localhost"), 0xFFFFFFFFu);
    EXPECT_EQ(WSocket_inet_addr("1.2.3.300"), 0xFFFFFFFFu);
}

namespace {
std::string MessageOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ESocketException& e) {
        return e.what();
    } catch (const base::ERangeError& e) {
        return std::string("range: ") + e.what();
    }
    return "(no exception)";
}
}  // namespace

TEST(WSocketResolvePort, ReadsNumbersAndServiceNames) {
    EXPECT_EQ(WSocketResolvePort("80abc", "tcp"), 80);
    EXPECT_EQ(WSocketResolvePort("65535", "tcp"), 65535);
    EXPECT_EQ(WSocketResolvePort("http", "tcp"), 80);
    EXPECT_EQ(WSocketResolvePort(" http ", ""), 80);
    EXPECT_EQ(MessageOf([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(MessageOf([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(MessageOf([] { WSocketResolvePort("65536", "tcp"); }), "range: Range check error");
    EXPECT_EQ(MessageOf([] { WSocketResolvePort("nosuchservice", "tcp"); }),
              "WSocketResolvePort: Cannot convert port 'nosuchservice'");
}

TEST(WSocketResolveProto, ReadsNumbersAndProtocolNames) {
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto("udp"), 17);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(MessageOf([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(MessageOf([] { WSocketResolveProto("nosuchproto"); }),
              "WSocketResolveProto: Cannot convert protocol 'nosuchproto'");
}

TEST(WSocketResolveHost, ConvertsAddressesAndLocalNames) {
    EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), WSocket_inet_addr("127.0.0.1"));
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(WSocketResolveHost("localhost"), WSocket_inet_addr("127.0.0.1"));
    EXPECT_EQ(MessageOf([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    EXPECT_EQ(MessageOf([] { WSocketResolveHost(std::string(257, 'a')); }),
              "WSocketResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname.");
    // Not a dotted address, so it is looked up as a name, and fails.
    EXPECT_EQ(MessageOf([] { WSocketResolveHost("1.2.3.256"); }),
              "WSocketResolveHost: Cannot convert host address '1.2.3.256'");
    EXPECT_EQ(MessageOf([] { WSocketResolveHost("no-such-host.invalid"); }),
              "WSocketResolveHost: Cannot convert host address 'no-such-host.invalid'");
    UnloadSocketLibrary();
}

TEST(SocketLibrary, LoadsOnFirstUseAndUnloadsWithTheLastSocket) {
    UnloadSocketLibrary();
    int loads = SocketLibraryLoadCount();
    {
        TWSocket a;
        TWSocket b;
        EXPECT_FALSE(SocketLibraryLoaded()) << "creating a socket loads nothing";
        EXPECT_EQ(WSocketCount(), 2);
        a.SetPort("80");
        a.SetAddr("127.0.0.1");
        a.DnsLookup("127.0.0.1");  // numeric: no platform call
        WSocketResolveProto("tcp");
        EXPECT_TRUE(SocketLibraryLoaded());
        EXPECT_EQ(SocketLibraryLoadCount(), loads + 1);
    }
    EXPECT_EQ(WSocketCount(), 0);
    EXPECT_FALSE(SocketLibraryLoaded());
    TWSocket c;
    c.SetProto("udp");
    c.SetAddr("127.0.0.1");
    c.SetPort("9");
    c.Connect();  // the next operation loads it again
    EXPECT_TRUE(SocketLibraryLoaded());
    EXPECT_EQ(SocketLibraryLoadCount(), loads + 2);
    c.Close();
}

TEST(SocketLibrary, ReportsALibraryThatCannotBeLoadedOrAProcedureThatIsMissing) {
    UnloadSocketLibrary();
    std::string saved = SocketLibraryName;
    SocketLibraryName = "libno-such-socket-library.so.9";
    std::string msg = MessageOf([] { SocketLibrary(""); });
    EXPECT_EQ(msg.rfind("Unable to load libno-such-socket-library.so.9 Error #", 0), 0u) << msg;
    SocketLibraryName = saved;
    msg = MessageOf([] { SocketLibrary("no_such_procedure"); });
    EXPECT_EQ(msg.rfind("Procedure no_such_procedure not found in " + saved + " Error #", 0), 0u) << msg;
    UnloadSocketLibrary();
}
