#include "net/WinsockLib.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "base/Strings.h"
#include "net/Url.h"
#include "platform/AsyncSelect.h"
#include "platform/SocketErrors.h"

namespace net {

std::string SocketLibraryName = "libc.so.6";

namespace {

// The procedures bound by name from the socket library.
enum Proc {
    pSocket,
    pClose,
    pShutdown,
    pSetsockopt,
    pGetsockopt,
    pConnect,
    pBind,
    pListen,
    pAccept4,
    pSend,
    pSendto,
    pRecv,
    pRecvfrom,
    pIoctl,
    pGetsockname,
    pGetpeername,
    pGetaddrinfo,
    pFreeaddrinfo,
    pGetservbyname,
    pGetprotobyname,
    pProcCount
};

struct ProcEntry {
    const char* name;
    void* addr;
};

ProcEntry procs[pProcCount] = {
    {"socket", nullptr},        {"close", nullptr},          {"shutdown", nullptr},
    {"setsockopt", nullptr},    {"getsockopt", nullptr},     {"connect", nullptr},
    {"bind", nullptr},          {"listen", nullptr},         {"accept4", nullptr},
    {"send", nullptr},          {"sendto", nullptr},         {"recv", nullptr},
    {"recvfrom", nullptr},      {"ioctl", nullptr},          {"getsockname", nullptr},
    {"getpeername", nullptr},   {"getaddrinfo", nullptr},    {"freeaddrinfo", nullptr},
    {"getservbyname", nullptr}, {"getprotobyname", nullptr},
};

void* libHandle = nullptr;
int loadCount = 0;
int socketCount = 0;
thread_local int lastError = 0;

template <typename Fn>
Fn Bind(Proc p) {
    if (procs[p].addr == nullptr) procs[p].addr = SocketLibrary(procs[p].name);
    return reinterpret_cast<Fn>(procs[p].addr);
}

// Every socket procedure stores its failure as a socket code.
int Fail(int err) {
    lastError = platform::SocketErrorFromErrno(err);
    return -1;
}

// A failure of a call on a connected socket; a reset is remembered for the
// close notification that follows.
int FailOn(int s, int err) {
    if (err == ECONNRESET || err == EPIPE) platform::AsyncSelectNoteReset(s);
    lastError = platform::SocketErrorFromErrno(err);
    return -1;
}

// The native form of a socket address and its length.
socklen_t ToNative(const TSockAddrIn& a, sockaddr_storage& ss) {
    ss = sockaddr_storage{};
    if (a.sin_family == AF_INET6) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = a.sin_port;
        std::memcpy(&sin6->sin6_addr, a.sin6_addr.data(), 16);
        return sizeof(sockaddr_in6);
    }
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    sin->sin_family = a.sin_family;
    sin->sin_port = a.sin_port;
    sin->sin_addr.s_addr = a.sin_addr;
    return sizeof(sockaddr_in);
}

void FromNative(const sockaddr_storage& ss, TSockAddrIn& a) {
    a = TSockAddrIn{};
    if (ss.ss_family == AF_INET6) {
        const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        a.sin_family = AF_INET6;
        a.sin_port = sin6->sin6_port;
        std::memcpy(a.sin6_addr.data(), &sin6->sin6_addr, 16);
        return;
    }
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
    a.sin_family = sin->sin_family;
    a.sin_port = sin->sin_port;
    a.sin_addr = sin->sin_addr.s_addr;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Unloads at the end of the process, as the module's finalisation did.
struct Finaliser {
    ~Finaliser() { UnloadSocketLibrary(); }
} finaliser;

}  // namespace

void* SocketLibrary(const std::string& ProcName) {
    if (libHandle == nullptr) {
        void* h = dlopen(SocketLibraryName.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) {
            int err = errno ? errno : ENOENT;
            throw ESocketException("Unable to load " + SocketLibraryName + " Error #" + std::to_string(err));
        }
        int rc = platform::LookupLibraryInit();
        if (rc != 0) {
            dlclose(h);
            char msg[300];
            std::snprintf(msg, sizeof msg, "%s: WSAStartup error #%d", SocketLibraryName.c_str(), rc);
            throw ESocketException(msg);
        }
        libHandle = h;
        ++loadCount;
    }
    if (ProcName.empty()) return nullptr;
    dlerror();
    void* p = dlsym(libHandle, ProcName.c_str());
    if (p == nullptr) {
        int err = errno ? errno : ENOENT;
        throw ESocketException("Procedure " + ProcName + " not found in " + SocketLibraryName + " Error #" +
                               std::to_string(err));
    }
    return p;
}

void UnloadSocketLibrary() {
    if (libHandle == nullptr) return;
    platform::LookupLibraryCleanup();
    dlclose(libHandle);
    libHandle = nullptr;
    for (auto& e : procs) e.addr = nullptr;
}

bool SocketLibraryLoaded() {
    return libHandle != nullptr;
}
int SocketLibraryLoadCount() {
    return loadCount;
}

void SocketCreated() {
    ++socketCount;
}

void SocketDestroyed() {
    if (--socketCount < 1) {
        UnloadSocketLibrary();
        socketCount = 0;
    }
}

int WSocketCount() {
    return socketCount;
}

// ---- resolution ----

bool IsDottedQuad(const std::string& Str) {
    std::size_t i = 0, n = Str.size();
    while (i < n && IsBlank(Str[i])) ++i;
    if (i < n && Str[i] == '.') return false;
    int dots = 0;
    int value = 0;
    for (; i < n; ++i) {
        char c = Str[i];
        if (IsDigit(c)) {
            value = value * 10 + (c - '0');
            if (value > 256) value = 256;  // too big already; keeps the sum small
        } else if (c == '.') {
            if (++dots > 3 || value > 255 || i + 1 == n || !IsDigit(Str[i + 1])) return false;
            value = 0;
        } else {
            for (; i < n; ++i)
                if (!IsBlank(Str[i])) return false;
            break;
        }
    }
    return dots == 3 && value <= 255;
}

std::uint32_t WSocket_inet_addr(const std::string& Text) {
    std::size_t i = 0, n = Text.size();
    while (i < n && IsBlank(Text[i])) ++i;
    std::uint32_t groups[4];
    for (int g = 0; g < 4; ++g) {
        if (i >= n || !IsDigit(Text[i])) return INADDR_NONE;
        std::uint32_t v = 0;
        while (i < n && IsDigit(Text[i])) {
            v = v * 10 + static_cast<std::uint32_t>(Text[i] - '0');
            if (v > 255) return INADDR_NONE;
            ++i;
        }
        groups[g] = v;
        if (g < 3) {
            if (i >= n || Text[i] != '.') return INADDR_NONE;
            ++i;
        }
    }
    while (i < n && IsBlank(Text[i])) ++i;
    if (i != n) return INADDR_NONE;
    std::uint32_t host = (groups[0] << 24) | (groups[1] << 16) | (groups[2] << 8) | groups[3];
    return htonl(host);
}

std::string WSocket_inet_ntoa(std::uint32_t Addr) {
    std::uint32_t h = ntohl(Addr);
    return std::to_string(h >> 24) + "." + std::to_string((h >> 16) & 0xFF) + "." +
           std::to_string((h >> 8) & 0xFF) + "." + std::to_string(h & 0xFF);
}

std::uint16_t WSocket_htons(std::uint16_t V) {
    return htons(V);
}
std::uint16_t WSocket_ntohs(std::uint16_t V) {
    return ntohs(V);
}

std::uint32_t WSocketResolveHost(const std::string& InAddr) {
    if (InAddr.empty() || InAddr.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    std::string name = base::Trim(InAddr);
    if (IsDottedQuad(name)) {
        std::uint32_t v = WSocket_inet_addr(name);
        if (v == INADDR_NONE && name != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid IP address.");
        return v;
    }
    if (IsBracketed(name)) throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid IP address.");
    auto getaddr = Bind<int (*)(const char*, const char*, const addrinfo*, addrinfo**)>(pGetaddrinfo);
    auto freeaddr = Bind<void (*)(addrinfo*)>(pFreeaddrinfo);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    // Names under the reserved "invalid" domain never resolve; no server is asked.
    if (name.empty() || platform::IsReservedInvalidName(name) ||
        getaddr(name.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) {
        if (res) freeaddr(res);
        throw ESocketException("WSocketResolveHost: Cannot convert host address '" + name + "'");
    }
    std::uint32_t addr = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddr(res);
    return addr;
}

bool IsBracketed(const std::string& Str) {
    std::string t = base::Trim(Str);
    return !t.empty() && t.front() == '[';
}

bool IsIPv6Literal(const std::string& Str, std::array<std::uint8_t, 16>* Out) {
    const std::string t = WithoutBrackets(base::Trim(Str));
    if (t.find(':') == std::string::npos) return false;
    in6_addr a{};
    if (inet_pton(AF_INET6, t.c_str(), &a) != 1) return false;
    if (Out) std::memcpy(Out->data(), &a, 16);
    return true;
}

std::string WSocket_inet_ntop6(const std::array<std::uint8_t, 16>& Addr) {
    char buf[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, Addr.data(), buf, sizeof buf);
    return buf;
}

std::string WSocketAddrText(const TSockAddrIn& Addr) {
    return Addr.sin_family == AF_INET6 ? WSocket_inet_ntop6(Addr.sin6_addr)
                                       : WSocket_inet_ntoa(Addr.sin_addr);
}

void WSocketResolveHostAddr(const std::string& InAddr, TSockAddrIn& Addr) {
    std::array<std::uint8_t, 16> a6{};
    if (IsIPv6Literal(InAddr, &a6)) {
        Addr.sin_family = AF_INET6;
        Addr.sin6_addr = a6;
        Addr.sin_addr = 0;
        return;
    }
    std::string name = base::Trim(InAddr);
    if (!InAddr.empty() && InAddr.size() <= 256 && !IsDottedQuad(name) && !IsBracketed(name) &&
        !platform::IsReservedInvalidName(name)) {
        // A name: its IPv4 address first, else its IPv6 one.
        auto getaddr = Bind<int (*)(const char*, const char*, const addrinfo*, addrinfo**)>(pGetaddrinfo);
        auto freeaddr = Bind<void (*)(addrinfo*)>(pFreeaddrinfo);
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (getaddr(name.c_str(), nullptr, &hints, &res) == 0 && res != nullptr) {
            const addrinfo* pick = nullptr;
            for (const addrinfo* r = res; r && !pick; r = r->ai_next)
                if (r->ai_family == AF_INET) pick = r;
            for (const addrinfo* r = res; r && !pick; r = r->ai_next)
                if (r->ai_family == AF_INET6) pick = r;
            if (pick) {
                sockaddr_storage ss{};
                std::memcpy(&ss, pick->ai_addr, pick->ai_addrlen);
                std::uint16_t port = Addr.sin_port;
                FromNative(ss, Addr);
                Addr.sin_port = port;
            }
            freeaddr(res);
            if (pick) return;
        } else if (res) {
            freeaddr(res);
        }
        throw ESocketException("WSocketResolveHost: Cannot convert host address '" + name + "'");
    }
    Addr.sin_family = AF_INET;
    Addr.sin_addr = WSocketResolveHost(InAddr);
}

std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto) {
    if (Port.empty() || Port.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (IsDigit(Port[0])) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < Port.size() && IsDigit(Port[i]); ++i) {
            v = v * 10 + static_cast<std::uint32_t>(Port[i] - '0');
            if (v > 65535) throw base::ERangeError();
        }
        return static_cast<std::uint16_t>(v);
    }
    std::string name = base::Trim(Port);
    std::string proto = base::Trim(Proto);
    auto getserv = Bind<servent* (*)(const char*, const char*)>(pGetservbyname);
    servent* se = getserv(name.c_str(), proto.empty() ? nullptr : proto.c_str());
    if (se == nullptr) throw ESocketException("WSocketResolvePort: Cannot convert port '" + name + "'");
    return ntohs(static_cast<std::uint16_t>(se->s_port));
}

int WSocketResolveProto(const std::string& Proto) {
    if (Proto.empty() || Proto.size() >= 32) throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    std::string name = base::Trim(Proto);
    if (!name.empty() && IsDigit(name[0])) {
        int v = 0;
        for (std::size_t i = 0; i < name.size() && IsDigit(name[i]); ++i) {
            v = v * 10 + (name[i] - '0');
            if (v > 65535) throw base::ERangeError();
        }
        return v;
    }
    // The two transports every connection uses have fixed numbers: asking
    // the protocols database for them reads the name-service configuration
    // and tries its libraries. Another name is looked up there once, not at
    // every connection: the database does not change while the program runs.
    // The library is still bound first, as every use of it loads it.
    auto getproto = Bind<protoent* (*)(const char*)>(pGetprotobyname);
    if (base::SameText(name, "tcp")) return IPPROTO_TCP;
    if (base::SameText(name, "udp")) return IPPROTO_UDP;
    static std::mutex mutex;
    static std::map<std::string, int> known;
    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = known.find(name); it != known.end()) return it->second;
    protoent* pe = getproto(name.c_str());
    // A system without a protocols database still knows its two transports.
    int number = -1;
    if (pe != nullptr)
        number = pe->p_proto;
    else if (base::SameText(name, "tcp"))
        number = IPPROTO_TCP;
    else if (base::SameText(name, "udp"))
        number = IPPROTO_UDP;
    if (number < 0) throw ESocketException("WSocketResolveProto: Cannot convert protocol '" + name + "'");
    known.emplace(name, number);
    return number;
}

std::string SocketErrorText(int ErrCode) {
    switch (ErrCode) {
        case 0: return "No Error";
        case 10004: return "Interrupted system call";
        case 10009: return "Bad file number";
        case 10013: return "Permission denied";
        case 10014: return "Bad address";
        case 10022: return "Invalid argument";
        case 10024: return "Too many open files";
        case 10035: return "Operation would block";
        case 10036: return "Operation now in progress";
        case 10037: return "Operation already in progress";
        case 10038: return "Socket operation on non-socket";
        case 10039: return "Destination address required";
        case 10040: return "Message too long";
        case 10041: return "Protocol wrong type for socket";
        case 10042: return "Protocol not available";
        case 10043: return "Protocol not supported";
        case 10044: return "Socket type not supported";
        case 10045: return "Operation not supported on socket";
        case 10046: return "Protocol family not supported";
        case 10047: return "Address family not supported by protocol family";
        case 10048: return "Address already in use";
        case 10049: return "Address not available";
        case 10050: return "Network is down";
        case 10051: return "Network is unreachable";
        case 10052: return "Network dropped connection on reset";
        case 10053: return "Connection aborted";
        case 10054: return "Connection reset by peer";
        case 10055: return "No buffer space available";
        case 10056: return "Socket is already connected";
        case 10057: return "Socket is not connected";
        case 10058: return "Can't send after socket shutdown";
        case 10059: return "Too many references: can't splice";
        case 10060: return "Connection timed out";
        case 10061: return "Connection refused";
        case 10062: return "Too many levels of symbolic links";
        case 10063: return "File name too long";
        case 10064: return "Host is down";
        case 10065: return "No route to host";
        case 10066: return "Directory not empty";
        case 10067: return "Too many processes";
        case 10068: return "Too many users";
        case 10069: return "Disc quota exceeded";
        case 10070: return "Stale NFS file handle";
        case 10071: return "Too many levels of remote in path";
        case 10091: return "Network sub-system is unusable";
        case 10092: return "WinSock DLL cannot support this application";
        case 10093: return "WinSock not initialized";
        case 11001: return "Host not found";
        case 11002: return "Non-authoritative host not found";
        case 11003: return "Non-recoverable error";
        case 11004: return "No Data";
        default: return "Not a WinSock error";
    }
}

// ---- socket procedures ----

int WSocket_WSAGetLastError() {
    return lastError;
}
void WSocket_WSASetLastError(int Code) {
    lastError = Code;
}

int WSocket_socket(int Af, int Type, int Protocol) {
    auto fn = Bind<int (*)(int, int, int)>(pSocket);
    int s = fn(Af, Type | SOCK_NONBLOCK | SOCK_CLOEXEC, Protocol);
    if (s < 0) return Fail(errno);
    int kind = Type & 0xF;  // without the flags
    if (kind == SOCK_STREAM || kind == SOCK_DGRAM)
        platform::AsyncSelectNoteCreated(s, kind == SOCK_DGRAM, false);
    return s;
}

int WSocket_closesocket(int S) {
    auto fn = Bind<int (*)(int)>(pClose);
    platform::AsyncSelectForget(S);
    if (fn(S) != 0 && errno != EINTR) return Fail(errno);
    return 0;
}

int WSocket_shutdown(int S, int How) {
    auto fn = Bind<int (*)(int, int)>(pShutdown);
    return fn(S, How) != 0 ? Fail(errno) : 0;
}

int WSocket_setsockopt(int S, int Level, int OptName, const void* OptVal, int OptLen) {
    auto fn = Bind<int (*)(int, int, int, const void*, socklen_t)>(pSetsockopt);
    return fn(S, Level, OptName, OptVal, static_cast<socklen_t>(OptLen)) != 0 ? Fail(errno) : 0;
}

int WSocket_getsockopt(int S, int Level, int OptName, void* OptVal, int* OptLen) {
    auto fn = Bind<int (*)(int, int, int, void*, socklen_t*)>(pGetsockopt);
    socklen_t len = static_cast<socklen_t>(*OptLen);
    if (fn(S, Level, OptName, OptVal, &len) != 0) return Fail(errno);
    *OptLen = static_cast<int>(len);
    return 0;
}

int WSocket_connect(int S, const TSockAddrIn& Name) {
    auto fn = Bind<int (*)(int, const sockaddr*, socklen_t)>(pConnect);
    sockaddr_storage ss;
    socklen_t len = ToNative(Name, ss);
    int rc = fn(S, reinterpret_cast<const sockaddr*>(&ss), len);
    int err = rc == 0 ? 0 : errno;
    if (rc == 0 || err == EINPROGRESS) platform::AsyncSelectNoteConnecting(S);
    return rc == 0 ? 0 : Fail(err);
}

int WSocket_bind(int S, const TSockAddrIn& Name) {
    auto fn = Bind<int (*)(int, const sockaddr*, socklen_t)>(pBind);
    sockaddr_storage ss;
    socklen_t len = ToNative(Name, ss);
    return fn(S, reinterpret_cast<const sockaddr*>(&ss), len) != 0 ? Fail(errno) : 0;
}

int WSocket_listen(int S, int Backlog) {
    auto fn = Bind<int (*)(int, int)>(pListen);
    if (fn(S, Backlog) != 0) return Fail(errno);
    platform::AsyncSelectNoteListening(S);
    return 0;
}

int WSocket_accept(int S, TSockAddrIn* Addr) {
    auto fn = Bind<int (*)(int, sockaddr*, socklen_t*, int)>(pAccept4);
    sockaddr_storage sin{};
    socklen_t len = sizeof sin;
    int s = fn(S, reinterpret_cast<sockaddr*>(&sin), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int err = errno;
    platform::AsyncSelectNoteAccepted(S);
    if (s < 0) return Fail(err);
    platform::AsyncSelectNoteCreated(s, false, true);
    if (Addr) FromNative(sin, *Addr);
    return s;
}

namespace {
int NativeSendFlags(int Flags) {
    return MSG_NOSIGNAL | ((Flags & 1) ? MSG_OOB : 0);
}
}  // namespace

int WSocket_send(int S, const void* Buf, int Len, int Flags) {
    auto fn = Bind<ssize_t (*)(int, const void*, size_t, int)>(pSend);
    ssize_t n = fn(S, Buf, static_cast<size_t>(Len), NativeSendFlags(Flags));
    int err = errno;
    if ((n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) || (n >= 0 && n < Len))
        platform::AsyncSelectNoteSendBlocked(S);
    return n < 0 ? FailOn(S, err) : static_cast<int>(n);
}

int WSocket_sendto(int S, const void* Buf, int Len, int Flags, const TSockAddrIn& To) {
    auto fn = Bind<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>(pSendto);
    sockaddr_storage ss;
    socklen_t len = ToNative(To, ss);
    ssize_t n = fn(S, Buf, static_cast<size_t>(Len), NativeSendFlags(Flags),
                   reinterpret_cast<const sockaddr*>(&ss), len);
    int err = errno;
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) platform::AsyncSelectNoteSendBlocked(S);
    return n < 0 ? FailOn(S, err) : static_cast<int>(n);
}

int WSocket_recv(int S, void* Buf, int Len, int Flags) {
    auto fn = Bind<ssize_t (*)(int, void*, size_t, int)>(pRecv);
    ssize_t n = fn(S, Buf, static_cast<size_t>(Len < 0 ? 0 : Len), Flags);
    int err = errno;
    // An empty read asked for nothing; it says nothing about the peer.
    if (Len > 0 || n < 0)
        platform::AsyncSelectNoteReceived(S, static_cast<long>(n), n < 0 ? err : 0,
                                          (Flags & MSG_PEEK) ? 0 : static_cast<long>(Len));
    else
        platform::AsyncSelectNoteReceived(S);
    return n < 0 ? FailOn(S, err) : static_cast<int>(n);
}

int WSocket_recvfrom(int S, void* Buf, int Len, int Flags, TSockAddrIn* From) {
    auto fn = Bind<ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*)>(pRecvfrom);
    sockaddr_storage sin{};
    socklen_t len = sizeof sin;
    ssize_t n =
        fn(S, Buf, static_cast<size_t>(Len < 0 ? 0 : Len), Flags, reinterpret_cast<sockaddr*>(&sin), &len);
    int err = errno;
    platform::AsyncSelectNoteReceived(S);
    if (n < 0) return FailOn(S, err);
    if (From) FromNative(sin, *From);
    return static_cast<int>(n);
}

int WSocket_ioctlsocket_FIONREAD(int S, unsigned long* Count) {
    auto fn = Bind<int (*)(int, unsigned long, ...)>(pIoctl);
    int avail = 0;
    if (fn(S, FIONREAD, &avail) != 0) return Fail(errno);
    *Count = static_cast<unsigned long>(avail < 0 ? 0 : avail);
    return 0;
}

int WSocket_getsockname(int S, TSockAddrIn& Name) {
    auto fn = Bind<int (*)(int, sockaddr*, socklen_t*)>(pGetsockname);
    sockaddr_storage sin{};
    socklen_t len = sizeof sin;
    if (fn(S, reinterpret_cast<sockaddr*>(&sin), &len) != 0) return Fail(errno);
    FromNative(sin, Name);
    return 0;
}

int WSocket_getpeername(int S, TSockAddrIn& Name) {
    auto fn = Bind<int (*)(int, sockaddr*, socklen_t*)>(pGetpeername);
    sockaddr_storage sin{};
    socklen_t len = sizeof sin;
    if (fn(S, reinterpret_cast<sockaddr*>(&sin), &len) != 0) return Fail(errno);
    FromNative(sin, Name);
    return 0;
}

int WSocket_WSAAsyncSelect(int S, std::uint32_t Wnd, std::uint32_t Msg, long Events) {
    SocketLibrary("");
    int rc = platform::AsyncSelect(S, Wnd, Msg, Events);
    if (rc != 0) {
        lastError = rc;
        return -1;
    }
    return 0;
}

std::uint32_t WSocket_WSAAsyncGetHostByName(std::uint32_t Wnd, std::uint32_t Msg, const std::string& Name,
                                            TLookupReply* Reply) {
    SocketLibrary("");
    int err = 0;
    std::uint32_t h = platform::AsyncGetHostByName(Wnd, Msg, Name, Reply, &err);
    if (h == 0) lastError = err;
    return h;
}

std::uint32_t WSocket_WSAAsyncGetHostByAddr(std::uint32_t Wnd, std::uint32_t Msg, std::uint32_t Addr,
                                            TLookupReply* Reply) {
    SocketLibrary("");
    int err = 0;
    std::uint32_t h = platform::AsyncGetHostByAddr(Wnd, Msg, Addr, Reply, &err);
    if (h == 0) lastError = err;
    return h;
}

std::uint32_t WSocket_WSAAsyncGetHostByAddr6(std::uint32_t Wnd, std::uint32_t Msg,
                                             const std::array<std::uint8_t, 16>& Addr, TLookupReply* Reply) {
    SocketLibrary("");
    int err = 0;
    std::uint32_t h = platform::AsyncGetHostByAddr6(Wnd, Msg, Addr, Reply, &err);
    if (h == 0) lastError = err;
    return h;
}

int WSocket_WSACancelAsyncRequest(std::uint32_t Handle) {
    SocketLibrary("");
    int rc = platform::CancelAsyncRequest(Handle);
    if (rc != 0) {
        lastError = rc;
        return -1;
    }
    return 0;
}

}  // namespace net
