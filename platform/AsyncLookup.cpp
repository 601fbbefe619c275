#include "platform/AsyncLookup.h"

#include <ares.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "platform/AsyncSelect.h"
#include "platform/SocketErrors.h"

namespace platform {
namespace {

constexpr UINT kDoneMsg = WM_USER + 1;
constexpr std::size_t kMaxAddresses = 256;

struct Request {
    std::uint32_t id = 0;
    HWND wnd = 0;
    UINT msg = 0;
    LookupReply* reply = nullptr;
    bool forward = true;
    ares_channel channel = nullptr;
    bool finished = false;
    int error = 0;
    LookupReply result;
};

struct Lookups {
    LookupOptions options;
    std::map<std::uint32_t, std::unique_ptr<Request>> requests;
    HWND target = 0;
    std::uint32_t lastId = 0;
};

Lookups& L() {
    static Lookups* lookups = new Lookups();  // lives as long as the loop
    return *lookups;
}

Request* Find(std::uint32_t id) {
    auto it = L().requests.find(id);
    return it == L().requests.end() ? nullptr : it->second.get();
}

void* Tag(std::uint32_t id) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(id));
}
std::uint32_t IdOf(void* tag) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(tag));
}

// Arms the request's timer with the resolver's next time-out.
void ArmTimer(std::uint32_t id) {
    Request* req = Find(id);
    if (req == nullptr || req->finished || req->channel == nullptr) {
        KillTimer(L().target, id);
        return;
    }
    timeval tv{};
    if (ares_timeout(req->channel, nullptr, &tv) == nullptr) {
        KillTimer(L().target, id);
        return;
    }
    long ms = tv.tv_sec * 1000L + (tv.tv_usec + 999) / 1000;
    SetTimer(L().target, id, static_cast<UINT>(std::max(1L, ms)));
}

void OnReady(std::uint32_t id, int fd, std::uint32_t events) {
    Request* req = Find(id);
    if (req == nullptr || req->finished || req->channel == nullptr) return;
    ares_socket_t r = (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) ? fd : ARES_SOCKET_BAD;
    ares_socket_t w = (events & EPOLLOUT) ? fd : ARES_SOCKET_BAD;
    ares_process_fd(req->channel, r, w);
    ArmTimer(id);
}

// The resolver opens, re-arms and (with neither flag, just before closing)
// gives up its descriptors through this callback.
void SockState(void* data, ares_socket_t fd, int readable, int writable) {
    if (!readable && !writable) {
        UnwatchFd(fd);
        return;
    }
    std::uint32_t events = (readable ? EPOLLIN : 0u) | (writable ? EPOLLOUT : 0u);
    std::uint32_t id = IdOf(data);
    if (!ModifyFd(fd, events)) WatchFd(fd, events, [id, fd](std::uint32_t ev) { OnReady(id, fd, ev); });
}

void Finish(Request& req, int error) {
    req.finished = true;
    req.error = error;
    KillTimer(L().target, req.id);
    PostMessage(L().target, kDoneMsg, req.id, 0);
}

void HostCallback(void* arg, int status, int /*timeouts*/, hostent* host) {
    Request* req = Find(IdOf(arg));
    if (req == nullptr || req->finished) return;  // cancelled, or torn down
    int error = SocketErrorFromAres(status);
    if (status == ARES_SUCCESS && host != nullptr) {
        if (host->h_name) req->result.Name = host->h_name;
        if (host->h_addrtype == AF_INET && host->h_length == 4 && host->h_addr_list) {
            for (char** p = host->h_addr_list; *p && req->result.Addresses.size() < kMaxAddresses; ++p) {
                std::uint32_t a;
                std::memcpy(&a, *p, 4);
                req->result.Addresses.push_back(a);
            }
        }
    }
    Finish(*req, error);
}

// A forward lookup's answer: the addresses of both families, each list in
// the order the answer gave them.
void AddrInfoCallback(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
    Request* req = Find(IdOf(arg));
    if (req == nullptr || req->finished) {  // cancelled, or torn down
        if (result) ares_freeaddrinfo(result);
        return;
    }
    int error = SocketErrorFromAres(status);
    if (status == ARES_SUCCESS && result != nullptr) {
        if (result->name) req->result.Name = result->name;
        std::size_t count = 0;
        for (ares_addrinfo_node* n = result->nodes; n && count < kMaxAddresses; n = n->ai_next) {
            if (n->ai_family == AF_INET && n->ai_addr) {
                std::uint32_t a;
                std::memcpy(&a, &reinterpret_cast<const sockaddr_in*>(n->ai_addr)->sin_addr, 4);
                req->result.Addresses.push_back(a);
                ++count;
            } else if (n->ai_family == AF_INET6 && n->ai_addr) {
                std::array<std::uint8_t, 16> a;
                std::memcpy(a.data(), &reinterpret_cast<const sockaddr_in6*>(n->ai_addr)->sin6_addr, 16);
                req->result.Addresses6.push_back(a);
                ++count;
            }
        }
        if (count == 0) error = WSANO_DATA;
    }
    if (result) ares_freeaddrinfo(result);
    Finish(*req, error);
}

void Drop(std::unique_ptr<Request> req) {
    KillTimer(L().target, req->id);
    if (req->channel) ares_destroy(req->channel);  // late answers find no request
    if (L().requests.empty() && L().target != 0) {
        DeallocateHWnd(L().target);
        L().target = 0;
    }
}

std::unique_ptr<Request> Take(std::uint32_t id) {
    auto it = L().requests.find(id);
    if (it == L().requests.end()) return nullptr;
    std::unique_ptr<Request> req = std::move(it->second);
    L().requests.erase(it);
    return req;
}

LRESULT TargetProc(UINT msg, WPARAM wParam, LPARAM) {
    auto id = static_cast<std::uint32_t>(wParam);
    if (msg == WM_TIMER) {
        Request* req = Find(id);
        if (req && !req->finished && req->channel) {
            ares_process_fd(req->channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
            ArmTimer(id);
        }
        return 0;
    }
    if (msg != kDoneMsg) return 0;
    std::unique_ptr<Request> req = Take(id);
    if (!req) return 0;
    *req->reply = std::move(req->result);
    HWND wnd = req->wnd;
    UINT userMsg = req->msg;
    int error = req->error;
    Drop(std::move(req));
    return SendMessage(wnd, userMsg, id, MakeSelectReply(0, static_cast<std::uint16_t>(error)));
}

}  // namespace

bool IsReservedInvalidName(const std::string& name) {
    std::string n = name;
    while (!n.empty() && n.back() == '.') n.pop_back();
    std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string tld = "invalid";
    if (n == tld) return true;
    return n.size() > tld.size() && n.compare(n.size() - tld.size(), tld.size(), tld) == 0 &&
           n[n.size() - tld.size() - 1] == '.';
}

namespace {

Request* Start(HWND wnd, UINT msg, LookupReply* reply, bool forward, int* error) {
    Lookups& l = L();
    if (!IsWindow(wnd) || reply == nullptr) {
        if (error) *error = WSAEINVAL;
        return nullptr;
    }
    if (l.target == 0) l.target = AllocateHWnd(TargetProc);
    auto req = std::make_unique<Request>();
    req->id = ++l.lastId;
    if (req->id == 0) req->id = ++l.lastId;
    req->wnd = wnd;
    req->msg = msg;
    req->reply = reply;
    req->forward = forward;
    Request* raw = req.get();
    l.requests[raw->id] = std::move(req);
    return raw;
}

bool OpenChannel(Request* req, int* error) {
    ares_options opts{};
    opts.sock_state_cb = SockState;
    opts.sock_state_cb_data = Tag(req->id);
    int mask = ARES_OPT_SOCK_STATE_CB;
    const LookupOptions& o = L().options;
    if (o.TimeoutMs > 0) {
        opts.timeout = o.TimeoutMs;
        mask |= ARES_OPT_TIMEOUTMS;
    }
    if (o.Tries > 0) {
        opts.tries = o.Tries;
        mask |= ARES_OPT_TRIES;
    }
    ares_channel channel = nullptr;
    int status = ares_init_options(&channel, &opts, mask);
    if (status == ARES_SUCCESS && !o.Servers.empty()) {
        status = ares_set_servers_ports_csv(channel, o.Servers.c_str());
        if (status != ARES_SUCCESS) ares_destroy(channel);
    }
    if (status == ARES_SUCCESS) {
        req->channel = channel;
        return true;
    }
    if (error) *error = status == ARES_ENOMEM ? WSAENOBUFS : WSASYSNOTREADY;
    Drop(Take(req->id));
    return false;
}

}  // namespace

std::uint32_t AsyncGetHostByName(HWND wnd, UINT msg, const std::string& name, LookupReply* reply,
                                 int* error) {
    Request* req = Start(wnd, msg, reply, true, error);
    if (req == nullptr) return 0;
    std::uint32_t id = req->id;
    if (IsReservedInvalidName(name)) {
        Finish(*req, WSAHOST_NOT_FOUND);
        return id;
    }
    if (!OpenChannel(req, error)) return 0;
    // The answer may come inside this call (the hosts file); it is posted.
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    ares_getaddrinfo(req->channel, name.c_str(), nullptr, &hints, AddrInfoCallback, Tag(id));
    ArmTimer(id);
    return id;
}

std::uint32_t AsyncGetHostByAddr(HWND wnd, UINT msg, std::uint32_t addr, LookupReply* reply, int* error) {
    Request* req = Start(wnd, msg, reply, false, error);
    if (req == nullptr) return 0;
    std::uint32_t id = req->id;
    if (!OpenChannel(req, error)) return 0;
    in_addr a{};
    a.s_addr = addr;
    ares_gethostbyaddr(req->channel, &a, sizeof a, AF_INET, HostCallback, Tag(id));
    ArmTimer(id);
    return id;
}

std::uint32_t AsyncGetHostByAddr6(HWND wnd, UINT msg, const std::array<std::uint8_t, 16>& addr,
                                  LookupReply* reply, int* error) {
    Request* req = Start(wnd, msg, reply, false, error);
    if (req == nullptr) return 0;
    std::uint32_t id = req->id;
    if (!OpenChannel(req, error)) return 0;
    in6_addr a{};
    std::memcpy(&a, addr.data(), 16);
    ares_gethostbyaddr(req->channel, &a, sizeof a, AF_INET6, HostCallback, Tag(id));
    ArmTimer(id);
    return id;
}

int CancelAsyncRequest(std::uint32_t handle) {
    std::unique_ptr<Request> req = Take(handle);
    if (!req) return WSAEINVAL;
    Drop(std::move(req));
    return 0;
}

void SetLookupOptions(const LookupOptions& options) {
    L().options = options;
}

int LookupCount() {
    return static_cast<int>(L().requests.size());
}

int LookupLibraryInit() {
    int status = ares_library_init(ARES_LIB_INIT_ALL);
    return status == ARES_SUCCESS ? 0 : WSASYSNOTREADY;
}

void LookupLibraryCleanup() {
    ares_library_cleanup();
}

}  // namespace platform
