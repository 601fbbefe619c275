// Socket library access, name resolution and error texts, shared by every
// socket. The library is bound on first use through one loader and unloaded
// when the last socket object goes; the procedures the socket layer calls are
// reached through the wrappers below, each resolved by name the first time it
// is called. The library bound here is the C library; the asynchronous
// procedures (readiness notifications, lookups) are the platform loop's.
//
// The wrappers keep the socket layer's last-error code per thread: a failing
// call stores the socket code (10035 would block, 10061 refused...) that
// WSAGetLastError then reports. Module state (the binding, the procedure
// table, the count of live sockets) is not locked: sockets live on one thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "base/Exception.h"
#include "platform/AsyncLookup.h"

namespace net {

// The socket layer's exception; what() is the report's text.
class ESocketException : public base::Exception {
public:
    using base::Exception::Exception;
};

// A socket address as the platform takes it, IPv4 or IPv6: port and
// address in network order; sin_addr holds an IPv4 address, sin6_addr an
// IPv6 one (family AF_INET6).
struct TSockAddrIn {
    std::uint16_t sin_family = 2;  // AF_INET
    std::uint16_t sin_port = 0;
    std::uint32_t sin_addr = 0;
    std::array<std::uint8_t, 16> sin6_addr{};
};
constexpr std::uint16_t kFamilyInet = 2;    // AF_INET
constexpr std::uint16_t kFamilyInet6 = 10;  // AF_INET6

// The platform's answer to an asynchronous lookup, filled before the
// completion notification arrives.
using TLookupReply = platform::LookupReply;

// The library the loader binds; a module variable so tests can point it elsewhere.
extern std::string SocketLibraryName;

// The address of the named procedure of the socket library, loading and
// starting the library first when needed; an empty name only loads (and
// returns nullptr). Raises ESocketException when the library cannot be
// loaded, cannot start, or has no such procedure.
void* SocketLibrary(const std::string& ProcName);
// WSACleanup, free the library and forget every procedure; nothing when not loaded.
void UnloadSocketLibrary();
bool SocketLibraryLoaded();
// How many times the library was loaded since the process started (for tests).
int SocketLibraryLoadCount();

// The count of live socket objects: construction increments it; destruction
// decrements it and unloads the library when it falls below 1.
void SocketCreated();
void SocketDestroyed();
int WSocketCount();

// Module functions. All raise ESocketException on failure.
std::uint32_t WSocketResolveHost(const std::string& InAddr);                          // network order
std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto);  // host order
int WSocketResolveProto(const std::string& Proto);
bool IsDottedQuad(const std::string& Str);
// An IPv6 address in text, with or without one pair of brackets around it
// ("::1", "[2001:db8::5]"); Out (when given) receives its 16 bytes.
bool IsIPv6Literal(const std::string& Str, std::array<std::uint8_t, 16>* Out = nullptr);
// Whether a host is written in brackets: such a host is an address, never a
// name for the resolver.
bool IsBracketed(const std::string& Str);
// The canonical text of an IPv6 address, without brackets ("::1").
std::string WSocket_inet_ntop6(const std::array<std::uint8_t, 16>& Addr);
// The text of either family's address of a socket address.
std::string WSocketAddrText(const TSockAddrIn& Addr);
// Resolves a host into Addr's family and address (the port is left alone):
// a dotted quad as WSocketResolveHost takes it, an IPv6 literal (brackets
// allowed), or a name looked up with the blocking resolver, its first IPv4
// address before any IPv6 one. A bracketed text that is no IPv6 address is
// refused without asking the resolver. Raises ESocketException.
void WSocketResolveHostAddr(const std::string& InAddr, TSockAddrIn& Addr);
// "No Error", "Connection refused"... and "Not a WinSock error" for any other code.
std::string SocketErrorText(int ErrCode);

// Dotted-quad conversions, decimal groups (010.0.0.1 is 10.0.0.1).
// WSocket_inet_addr gives 0xFFFFFFFF (INADDR_NONE) for a text that is not one.
std::uint32_t WSocket_inet_addr(const std::string& Text);
std::string WSocket_inet_ntoa(std::uint32_t Addr);  // network order
std::uint16_t WSocket_htons(std::uint16_t V);
std::uint16_t WSocket_ntohs(std::uint16_t V);

// The socket procedures. They return what the BSD calls return; on failure
// (-1) the socket code is in WSocket_WSAGetLastError().
int WSocket_WSAGetLastError();
void WSocket_WSASetLastError(int Code);
int WSocket_socket(int Af, int Type, int Protocol);  // non-blocking, close-on-exec
int WSocket_closesocket(int S);
int WSocket_shutdown(int S, int How);
int WSocket_setsockopt(int S, int Level, int OptName, const void* OptVal, int OptLen);
int WSocket_getsockopt(int S, int Level, int OptName, void* OptVal, int* OptLen);
int WSocket_connect(int S, const TSockAddrIn& Name);
int WSocket_bind(int S, const TSockAddrIn& Name);
int WSocket_listen(int S, int Backlog);
int WSocket_accept(int S, TSockAddrIn* Addr);
int WSocket_send(int S, const void* Buf, int Len, int Flags);
int WSocket_sendto(int S, const void* Buf, int Len, int Flags, const TSockAddrIn& To);
int WSocket_recv(int S, void* Buf, int Len, int Flags);
int WSocket_recvfrom(int S, void* Buf, int Len, int Flags, TSockAddrIn* From);
int WSocket_ioctlsocket_FIONREAD(int S, unsigned long* Count);
int WSocket_getsockname(int S, TSockAddrIn& Name);
int WSocket_getpeername(int S, TSockAddrIn& Name);
// Readiness notifications (platform AsyncSelect); 0 on success.
int WSocket_WSAAsyncSelect(int S, std::uint32_t Wnd, std::uint32_t Msg, long Events);
// Asynchronous lookups into Reply; the request handle, 0 when it could not start.
std::uint32_t WSocket_WSAAsyncGetHostByName(std::uint32_t Wnd, std::uint32_t Msg, const std::string& Name,
                                            TLookupReply* Reply);
std::uint32_t WSocket_WSAAsyncGetHostByAddr(std::uint32_t Wnd, std::uint32_t Msg, std::uint32_t Addr,
                                            TLookupReply* Reply);
std::uint32_t WSocket_WSAAsyncGetHostByAddr6(std::uint32_t Wnd, std::uint32_t Msg,
                                             const std::array<std::uint8_t, 16>& Addr, TLookupReply* Reply);
int WSocket_WSACancelAsyncRequest(std::uint32_t Handle);

}  // namespace net
