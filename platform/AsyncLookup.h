// Asynchronous host name lookups, forward and reverse, run by c-ares inside
// the one message loop: the resolver's descriptors are watched by the loop
// and its time-outs are loop timers, so a lookup never blocks the thread.
// A forward lookup asks for IPv4 and IPv6 addresses alike.
// When a lookup ends, the caller's reply is filled and msg is sent to the
// caller's target with wParam = the lookup's handle and the high word of
// lParam = the socket code (0, 11001 host not found, 11002 try again, 11003,
// 11004 no address...), the way the socket layer expects it.
//
// Every lookup has a resolver channel of its own, so cancelling one stops
// exactly that one: its answer, should it still come, is dropped, and the
// caller's reply is never touched after the cancel. Names under the reserved
// "invalid" domain fail at once with 11001 without asking any server.
// Owner: the one loop thread; the caller owns the reply and must keep it
// until the notification or the cancel.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"

namespace platform {

struct LookupReply {
    std::string Name;                      // official host name
    std::vector<std::uint32_t> Addresses;  // IPv4, network order
    // IPv6, network order; a forward lookup asks for both families, and the
    // two lists hold at most 256 addresses together.
    std::vector<std::array<std::uint8_t, 16>> Addresses6;
};

// Starts a lookup; the handle (never 0), or 0 with *error set when it cannot start.
std::uint32_t AsyncGetHostByName(HWND wnd, UINT msg, const std::string& name, LookupReply* reply, int* error);
// addr is an IPv4 address in network order.
std::uint32_t AsyncGetHostByAddr(HWND wnd, UINT msg, std::uint32_t addr, LookupReply* reply, int* error);
// The same for an IPv6 address (16 bytes, network order).
std::uint32_t AsyncGetHostByAddr6(HWND wnd, UINT msg, const std::array<std::uint8_t, 16>& addr,
                                  LookupReply* reply, int* error);
// 0 when the lookup was pending and is now cancelled (no notification will
// come); 10022 when no such lookup is pending.
int CancelAsyncRequest(std::uint32_t handle);
// Where and how lookups ask: servers as "host:port,host:port" (empty: the
// system's resolver configuration), the time-out of one try in milliseconds
// and the number of tries (0: the resolver's defaults). Applies to lookups
// started afterwards; tests point it at a name server of their own.
struct LookupOptions {
    std::string Servers;
    int TimeoutMs = 0;
    int Tries = 0;
};
void SetLookupOptions(const LookupOptions& options);

// Whether a name lies under the reserved "invalid" domain, which no
// server is asked about.
bool IsReservedInvalidName(const std::string& name);

// Lookups in progress (for leak tests).
int LookupCount();

// The resolver library's start-up and clean-up (reference counted).
int LookupLibraryInit();
void LookupLibraryCleanup();

}  // namespace platform
