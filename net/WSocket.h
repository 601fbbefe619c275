// TWSocket: the asynchronous, event-driven TCP (and UDP) socket the HTTP
// client runs on. An operation (lookup, connect, send) starts and returns at
// once; its outcome arrives later as an event called from the message loop.
// Readiness comes from the platform as notification 1025 on the socket's own
// notification target, lookups finish as 1026/1027, and the socket posts a
// few private notifications to itself (1028 close later, 1029 free later,
// 1044 line re-scan).
//
// The component is a chain of classes, each adding one concern:
//   TCustomWSocket       handle, states, lookup, connect, listen/accept,
//                        send chain, receive, close, error reports
//   TCustomSocksWSocket  SOCKS 4/4A/5 negotiation through a proxy
//   TCustomLineWSocket   line mode: one OnDataAvailable per received line
//   TCustomSyncWSocket   a message-pumping wait on a done flag
//   TWSocket             what applications create
// The SOCKS and line levels are transparent while switched off (no
// SocksServer, LineMode false), which is how the HTTP client uses them.
//
// Ownership: a socket owns its handle, its notification target, its send
// chain and its lookup reply. Everything runs on the thread that created it.
// Events are called with the socket as sender first and may do anything,
// including Close, Send, Receive or freeing the socket from a later message
// (FreeLater); the socket fires them last in a step and re-checks its state
// afterwards. Calls that pump messages (Flush, DoClose after a would-block,
// WaitUntilSet, the HTTP client's wait) may re-enter every handler.
//
// Failures are reported through OnError when it is assigned (the operation
// then goes on or returns as documented), else raised as ESocketException.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Events.h"
#include "base/Exception.h"
#include "net/WSockbuf.h"
#include "net/WinsockLib.h"
#include "platform/MessageLoop.h"

namespace net {

using TSocket = int;
constexpr TSocket INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Notification numbers of the socket's own target.
constexpr platform::UINT WM_ASYNCSELECT = platform::WM_USER + 1;              // 1025
constexpr platform::UINT WM_ASYNCGETHOSTBYNAME = platform::WM_USER + 2;       // 1026
constexpr platform::UINT WM_ASYNCGETHOSTBYADDR = platform::WM_USER + 3;       // 1027
constexpr platform::UINT WM_CLOSE_DELAYED = platform::WM_USER + 4;            // 1028
constexpr platform::UINT WM_WSOCKET_RELEASE = platform::WM_USER + 5;          // 1029
constexpr platform::UINT WM_TRIGGER_EXCEPTION = platform::WM_USER + 6;        // 1030
constexpr platform::UINT WM_TRIGGER_DATA_AVAILABLE = platform::WM_USER + 20;  // 1044

enum TSocketState : std::uint8_t {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

enum TSocketSendFlags : std::uint8_t { wsSendNormal = 0, wsSendUrgent = 1 };

enum TSocketLingerOnOff : std::uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };

enum TSocksAuthentication : std::uint8_t { socksNoAuthentication, socksAuthenticateUsercode };

enum TSocksAuthState : std::uint8_t {
    socksAuthBegin,
    socksAuthPassed,
    socksAuthRejected,
    socksAuthNotNeeded
};

// Event types. Every event takes the sender first; Error is a socket code
// (0 for none; see SocketErrorText).
using TSessionConnected = std::function<void(base::TObject* Sender, std::uint16_t Error)>;
using TSessionClosed = std::function<void(base::TObject* Sender, std::uint16_t Error)>;
using TSessionAvailable = std::function<void(base::TObject* Sender, std::uint16_t Error)>;
using TDataAvailable = std::function<void(base::TObject* Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(base::TObject* Sender, std::uint16_t Error)>;
using TDnsLookupDone = std::function<void(base::TObject* Sender, std::uint16_t Error)>;
using TSendData = std::function<void(base::TObject* Sender, int BytesSent)>;
using TChangeState = std::function<void(base::TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(base::TObject* Sender, const std::exception& E, bool& CanClose)>;
using TSocksErrorEvent = std::function<void(base::TObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(base::TObject* Sender, TSocksAuthState AuthState)>;

class TCustomWSocket : public base::TObject {
public:
    explicit TCustomWSocket(base::TObject* AOwner = nullptr);
    ~TCustomWSocket() override;
    TCustomWSocket(const TCustomWSocket&) = delete;
    TCustomWSocket& operator=(const TCustomWSocket&) = delete;

    // --- operations ---
    virtual void Connect();
    void Close();
    virtual void CloseLater();
    // Posts 1029: the socket deletes itself from the message loop. Only for
    // a socket created with new that nobody else frees.
    virtual void FreeLater();
    virtual void AbortSocket();
    virtual void Flush();
    virtual void Listen();
    virtual TSocket Accept();
    virtual void Dup(TSocket NewHSocket);
    virtual void Shutdown(int How);

    // Queues length bytes and starts sending; returns the count queued, 0
    // for a length <= 0, -1 when not connected (with OnError assigned).
    virtual int Send(const void* Data, int Len);
    virtual int SendText(const std::string& Str);
    virtual int SendTo(const TSockAddrIn& Dest, const void* Data, int Len);
    // One read: the count, 0, or -1 with LastError holding the code.
    virtual int Receive(void* Buffer, int BufferSize);
    virtual std::string ReceiveText();
    virtual int ReceiveFrom(void* Buffer, int BufferSize, TSockAddrIn& From);

    virtual void DnsLookup(const std::string& HostName);
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    virtual void CancelDnsLookup();

    virtual int GetPeerName(TSockAddrIn& Name);
    virtual int GetSockName(TSockAddrIn& Name);

    virtual void PauseNotifications();
    virtual void ResumeNotifications();
    // MultiThreaded: PumpOwnMessages; else the application's process-messages step.
    virtual void PumpMessages();
    // Dispatches every pending message of the thread; the quit message is
    // recorded (Terminated), not dispatched.
    void PumpOwnMessages();
    bool Terminated() const { return terminated_; }

    // --- properties ---
    const std::string& Addr() const { return addrStr_; }
    void SetAddr(const std::string& Value);
    const std::string& Port() const { return portStr_; }
    virtual void SetPort(const std::string& Value);
    const std::string& Proto() const { return protoStr_; }
    virtual void SetProto(const std::string& Value);
    const std::string& LocalAddr() const { return localAddr_; }
    void SetLocalAddr(const std::string& Value);
    const std::string& LocalPort() const { return localPortStr_; }
    void SetLocalPort(const std::string& Value);
    // The bound local port in decimal, or "error" unless bound, connected or listening.
    virtual std::string GetXPort();
    virtual std::string PeerAddr();
    virtual std::string PeerPort();
    const std::string& DnsResult() const { return dnsResult_; }
    const std::vector<std::string>& DnsResultList() const { return dnsResultList_; }
    TSocketState State() const { return state_; }
    // 64 bits: one connection may carry more than 2 GiB.
    std::int64_t ReadCount() const { return readCount_; }
    // Bytes that can be read now; -1 after a reported failure.
    virtual int RcvdCount();
    int LastError() const { return lastError_; }
    bool MultiThreaded() const { return multiThreaded_; }
    void SetMultiThreaded(bool Value) { multiThreaded_ = Value; }
    TSocketSendFlags SendFlags();
    void SetSendFlags(TSocketSendFlags Value);
    TSocketLingerOnOff LingerOnOff() const { return lingerOnOff_; }
    void SetLingerOnOff(TSocketLingerOnOff Value) { lingerOnOff_ = Value; }
    int LingerTimeout() const { return lingerTimeout_; }
    void SetLingerTimeout(int Value) { lingerTimeout_ = Value; }
    TSocket HSocket() const { return hSocket_; }
    platform::HWND Handle() const { return window_; }
    bool AllSent() const { return allSent_; }
    // The owner given at construction (not freed by the socket).
    base::TObject* Owner() const { return owner_; }

    // --- events ---
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TSessionClosed OnSessionClosed;
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TChangeState OnChangeState;
    TDnsLookupDone OnDnsLookupDone;
    base::TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

protected:
    virtual platform::LRESULT DispatchNotification(platform::UINT Msg, platform::WPARAM WParam,
                                                   platform::LPARAM LParam);
    virtual void ResetDefaults();
    virtual void DoClose(bool DoShutdown, std::uint16_t Error);
    virtual bool BindLocal();
    virtual int RawSend(const void* Data, int Len);
    virtual int RawReceive(void* Buffer, int BufferSize);
    virtual int RawReceiveFrom(void* Buffer, int BufferSize, TSockAddrIn& From);
    void ReportErrorFmt(const char* Fmt, ...);
    virtual void ReportError(const std::string& Msg);
    // Settings that a connection is made with change only while the socket
    // is closed: true then; otherwise Msg is reported and the answer is false.
    bool EnsureClosed(const char* Msg);
    // Stores a setting trimmed; Assigned says whether anything is left of it.
    static void AssignTrimmed(const std::string& Value, std::string& Str, bool& Assigned);
    virtual void ReportSocketError(const std::string& FunctionName);
    virtual void HandleBgException(const std::exception& E);
    virtual bool TriggerDataAvailable(std::uint16_t Error);
    virtual void TriggerSessionAvailable(std::uint16_t Error);
    virtual void TriggerSessionConnected(std::uint16_t Error);
    virtual void TriggerSessionClosed(std::uint16_t Error);
    virtual void TriggerDataSent(std::uint16_t Error);
    virtual void TriggerChangeState(TSocketState OldState, TSocketState NewState);
    virtual void TriggerDnsLookupDone(std::uint16_t Error);
    virtual void TriggerError();
    void ChangeState(TSocketState NewState);
    bool ApplyLinger();
    void ReceiveLoop(std::uint16_t Error);
    // Pumps messages and drains readable data until the handle is gone.
    virtual void WaitForClose();

    // The send chain.
    void QueueSendData(const void* Data, int Len);
    void TryToSend();
    void ClearSendQueue();

    // Socket events of notification 1025, one per bit, in their order.
    void Do_FD_CONNECT(std::uint16_t Error);
    void Do_FD_READ(std::uint16_t Error);
    void Do_FD_WRITE(std::uint16_t Error);
    void Do_FD_ACCEPT(std::uint16_t Error);
    void Do_FD_CLOSE(std::uint16_t Error);
    void WMAsyncSelect(platform::WPARAM WParam, platform::LPARAM LParam);
    void WMAsyncGetHostByName(platform::WPARAM WParam, platform::LPARAM LParam);
    void WMAsyncGetHostByAddr(platform::WPARAM WParam, platform::LPARAM LParam);
    // Asks the platform for readiness notifications with an event mask.
    bool AsyncSelect(long Events);
    // One round of a wait: dispatch what is pending, or sleep until something arrives.
    void WaitRound();

    // A handler may free its socket, or close it and connect again, from any
    // event. Every call-out is written the same way: take a guard before it
    // and ask the guard afterwards, before touching the socket again:
    //     CallOutGuard guard(*this);
    //     TriggerSessionConnected(Error);
    //     if (!guard.Alive()) return;                  // the socket is gone
    //     if (guard.SameHandle()) ...                  // still the connection it was
    class CallOutGuard {
    public:
        explicit CallOutGuard(const TCustomWSocket& Socket)
            : socket_(Socket), alive_(Socket.alive_), handle_(Socket.hSocket_) {}
        // The socket still exists.
        bool Alive() const { return *alive_; }
        // It exists and still has the handle it had when the guard was taken
        // (not closed, nor closed and connected again, meanwhile).
        bool SameHandle() const { return *alive_ && socket_.hSocket_ == handle_; }

    private:
        const TCustomWSocket& socket_;
        std::shared_ptr<bool> alive_;
        TSocket handle_;
    };
    friend class CallOutGuard;

    // Turns false when the socket is destroyed; read through CallOutGuard.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    bool destroying_ = false;

    TSocket hSocket_ = INVALID_SOCKET;
    platform::HWND window_ = 0;
    TSocketState state_ = wsClosed;
    base::TObject* owner_ = nullptr;

    std::string addrStr_;
    bool addrAssigned_ = false;
    bool addrResolved_ = false;
    std::string portStr_;
    bool portAssigned_ = false;
    bool portResolved_ = false;
    std::string protoStr_ = "tcp";
    bool protoAssigned_ = true;
    bool protoResolved_ = false;
    std::string localAddr_ = "0.0.0.0";
    std::string localPortStr_ = "0";
    bool localPortResolved_ = false;

    int addrFormat_ = 2;  // AF_INET
    int type_ = 1;        // SOCK_STREAM
    int proto_ = 6;       // IPPROTO_TCP
    std::uint16_t localPortNum_ = 0;
    std::uint16_t portNum_ = 0;
    TSockAddrIn sin_;
    TSockAddrIn peerSin_;  // peer of the last accepted connection

    std::string dnsResult_;
    std::vector<std::string> dnsResultList_;
    std::uint32_t dnsLookupHandle_ = 0;
    bool dnsLookupReverse_ = false;
    TLookupReply dnsReply_;

    std::deque<std::unique_ptr<TBuffer>> bufList_;
    std::int32_t bufSize_ = TBuffer::DefaultSize;
    std::uint8_t sendFlags_ = wsSendNormal;
    bool allSent_ = true;
    bool inTryToSend_ = false;
    std::uint32_t chainEpoch_ = 0;  // counts ClearSendQueue, so a drain sees its chain dropped
    int rawSent_ = 0;               // what the last RawSend handed to the platform

    int lastError_ = 0;
    std::int64_t readCount_ = 0;
    unsigned receiveCalls_ = 0;  // reads asked of the socket, to see whether a handler read
    bool paused_ = false;
    bool closeInvoked_ = false;
    bool terminated_ = false;
    bool multiThreaded_ = false;
    TSocketLingerOnOff lingerOnOff_ = wsLingerOn;
    int lingerTimeout_ = 0;

private:
    // Addr, Port and Proto: an assigned value set again is no change, open or
    // not; anything else needs a closed socket, is stored trimmed and is
    // resolved again at the next connect.
    void SetEndpoint(const std::string& Value, std::string& Str, bool& Assigned, bool& Resolved,
                     const char* NotClosedMsg);
    // Resolves what is not resolved yet of Proto, Port, LocalPort (when
    // LocalPortToo, for a connect) and Addr, in that order; throws with the
    // resolver's reason at the first that fails.
    void ResolveEndpoint(bool LocalPortToo);
};

// Where a SOCKS negotiation stands: the reply the socket waits for.
enum class TSocksPhase : std::uint8_t {
    Idle,          // no negotiation, or it is over
    MethodReply,   // the proxy's connection, then (SOCKS 5) its method choice
    AuthReply,     // the answer to the user/password request
    ConnectReply,  // the answer to the connect request
};

// SOCKS 4, 4A and 5 client negotiation. Transparent while SocksServer is empty.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(base::TObject* AOwner = nullptr);

    void Connect() override;
    void Listen() override;
    int RcvdCount() override;

    const std::string& SocksServer() const { return socksServer_; }
    void SetSocksServer(const std::string& Value);
    const std::string& SocksPort() const { return socksPort_; }
    void SetSocksPort(const std::string& Value);
    const std::string& SocksLevel() const { return socksLevel_; }
    void SetSocksLevel(const std::string& Value);
    std::string SocksUsercode;
    std::string SocksPassword;
    TSocksAuthentication SocksAuthentication = socksNoAuthentication;

    TSessionConnected OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    void ResetDefaults() override;
    bool TriggerDataAvailable(std::uint16_t Error) override;
    void TriggerSessionConnected(std::uint16_t Error) override;
    void TriggerSessionClosed(std::uint16_t Error) override;
    int RawReceive(void* Buffer, int BufferSize) override;
    virtual void TriggerSocksConnected(std::uint16_t Error);
    virtual void TriggerSocksError(int Error, const std::string& Msg);
    void TriggerSocksAuthState(TSocksAuthState AuthState);
    // The negotiation, one function per reply awaited.
    void SocksSendRequest(const std::string& Request);
    void SocksDoConnect();
    void SocksDoAuthenticate();
    void SocksFail(int Error, const std::string& Msg);
    bool DataAvailableMethodReply();
    bool DataAvailableAuthReply();
    bool DataAvailableConnectReply();
    // Reads what has arrived behind the reply bytes already collected.
    void ReadSocksReply();
    bool SocksOn() const { return socksServerAssigned_; }

    std::string socksServer_;
    bool socksServerAssigned_ = false;
    std::string socksPort_;
    bool socksPortAssigned_ = false;
    std::string socksLevel_ = "5";
    TSocksPhase socksPhase_ = TSocksPhase::Idle;
    std::uint8_t socksAuthMethod_ = 0;
    std::uint16_t socksDestPort_ = 0;  // host order
    // The longest reply: a SOCKS 5 connect reply with a 255-byte name.
    unsigned char socksRcvBuf_[262] = {};
    int socksRcvCnt_ = 0;
    int socksLeftOver_ = 0;
    int socksLeftPos_ = 0;
};

// Line mode: received bytes are delivered one LineEnd-terminated line per
// OnDataAvailable. Transparent while LineMode is false.
//
// The held bytes live in one buffer read from an offset: a line taken, whole
// or in pieces, moves the offset, and the buffer is compacted only when the
// bytes already taken outweigh those still held, so every byte is moved a
// bounded number of times and scanned for LineEnd once. A line longer than
// LineLimit is not kept: the connection is closed with 10040 and the error
// is reported (OnError, or an ESocketException to OnBgException).
class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomLineWSocket(base::TObject* AOwner = nullptr);
    ~TCustomLineWSocket() override;

    int RcvdCount() override;

    bool LineMode() const { return lineMode_; }
    void SetLineMode(bool Value);
    std::string LineEnd = "\r\n";
    bool LineEcho = false;
    bool LineEdit = false;
    // The longest line accepted, its LineEnd included; 0 is no limit.
    int LineLimit = 64 * 1024;
    int LineBufCount() const { return static_cast<int>(lineBuf_.size() - lineStart_); }

protected:
    platform::LRESULT DispatchNotification(platform::UINT Msg, platform::WPARAM WParam,
                                           platform::LPARAM LParam) override;
    bool TriggerDataAvailable(std::uint16_t Error) override;
    void TriggerSessionClosed(std::uint16_t Error) override;
    int RawReceive(void* Buffer, int BufferSize) override;
    // Applies backspaces and tabs to the Count new bytes behind the Held
    // ones; both counts change when bytes are erased. The held bytes start
    // at the front of the buffer while it runs.
    virtual void EditLine(int& Held, int& Count);
    // Hands every complete line of the held bytes, searching from Start
    // (counted from the first held byte), to the handler.
    bool DeliverLines(std::size_t Start);
    // Offers held bytes again after a change of mode (notification 1044).
    void RescanHeld();
    // Takes n held bytes off the front.
    void ConsumeHeld(std::size_t n);
    // Moves the held bytes to the front: always when Full, else only when
    // the bytes already taken outweigh them.
    void CompactHeld(bool Full);
    // Drops everything held and gives its memory back.
    void ReleaseHeld();
    // Drops what is held, closes with 10040 and reports the overlong line.
    void LineTooLong();
    bool OverLimit(std::size_t n) const { return LineLimit > 0 && n > static_cast<std::size_t>(LineLimit); }

    bool lineMode_ = false;
    std::string lineBuf_;        // held bytes from lineStart_ on; the line on offer is first
    std::size_t lineStart_ = 0;  // bytes of lineBuf_ already taken
    int curLineLength_ = 0;
};

// A message-pumping wait on a done flag. The wait sleeps in the loop until
// something arrives; it never spins.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(base::TObject* AOwner = nullptr);

    // Clears Flag, runs Proc when given, then WaitUntilSet(Flag).
    int RunAndWait(const std::function<void()>& Proc, bool& Flag);
    // 0 once Flag is set; 12001 on time-out, when the application is
    // terminating or the quit message was seen.
    int WaitUntilSet(const bool& Flag);

    int Timeout = 0;  // milliseconds; 0 is no limit
};

class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(base::TObject* AOwner = nullptr) : TCustomSyncWSocket(AOwner) {}
};

}  // namespace net
