// What the files of the HTTP client share and nobody else needs: its buffer
// sizes, its timers, its own failure codes and two text helpers.
#pragma once

#include <cstdint>
#include <string>

#include "net/Url.h"
#include "platform/MessageLoop.h"

namespace net {

// Body reads go into one buffer this big: a large download costs a few
// thousand reads instead of one per 8 KiB, and the bytes are written to the
// stream from where they landed.
inline constexpr int kBodyBufferSize = 256 * 1024;
// TLS input is read from the socket in pieces this big, decrypted, and
// handed on in pieces as big as the reader takes.
inline constexpr int kTlsInputSize = 256 * 1024;
// One piece of post data read from the caller's stream and sent.
inline constexpr int kSendChunkSize = 8193;
// The time limit's timer: one per client, stopped when a request ends and
// re-armed by the next, not made anew for each request.
inline constexpr platform::WPARAM kTimeoutTimer = 1;
inline constexpr platform::WPARAM kConnectAttemptTimer = 2;

// Codes OnRequestDone reports for failures of the client itself.
inline constexpr int kTimedOut = 10060;
// A stream of the caller failed: the body could not be stored, or the post
// data could not be read.
inline constexpr int httperrStreamFailed = 7;

inline std::string DocumentNameFromPath(std::string path) {
    if (path.empty() || path == "/") return "document.htm";
    if (path.back() == '/') path.pop_back();
    path = path.substr(static_cast<std::size_t>(LastPos("/", path))).substr(0, 255);
    if (std::size_t q = path.find('?'); q != std::string::npos) path.resize(q);
    return path;
}

// A failure's text with its number, as the log shows it
// ("Connection refused (Error #10061)").
inline std::string WithErrorNumber(const std::string& text, int code) {
    return text + " (Error #" + std::to_string(code) + ")";
}

}  // namespace net
