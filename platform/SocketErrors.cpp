#include "platform/SocketErrors.h"

#include <ares.h>

#include <cerrno>

namespace platform {

int SocketErrorFromErrno(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return WSAEINTR;
        case EBADF: return WSAEBADF;
        case EACCES:
        case EPERM: return WSAEACCES;
        case EFAULT: return WSAEFAULT;
        case EINVAL: return WSAEINVAL;
        case EMFILE:
        case ENFILE: return WSAEMFILE;
#if EAGAIN != EWOULDBLOCK
        case EAGAIN:
#endif
        case EWOULDBLOCK:
        // A non-blocking connect that has started is reported as "would
        // block", which is how the socket layer recognises it.
        case EINPROGRESS: return WSAEWOULDBLOCK;
        case EALREADY: return WSAEALREADY;
        case ENOTSOCK: return WSAENOTSOCK;
        case EDESTADDRREQ: return WSAEDESTADDRREQ;
        case EMSGSIZE: return WSAEMSGSIZE;
        case EPROTOTYPE: return WSAEPROTOTYPE;
        case ENOPROTOOPT: return WSAENOPROTOOPT;
        case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP: return WSAEOPNOTSUPP;
        case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
        case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
        case EADDRINUSE: return WSAEADDRINUSE;
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
        case ENETDOWN: return WSAENETDOWN;
        case ENETUNREACH: return WSAENETUNREACH;
        case ENETRESET: return WSAENETRESET;
        case ECONNABORTED: return WSAECONNABORTED;
        // A send after the peer has reset the connection fails with EPIPE
        // (MSG_NOSIGNAL keeps it from being a signal): the connection is gone.
        case EPIPE:
        case ECONNRESET: return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM: return WSAENOBUFS;
        case EISCONN: return WSAEISCONN;
        case ENOTCONN: return WSAENOTCONN;
        case ESHUTDOWN: return WSAESHUTDOWN;
        case ETOOMANYREFS: return WSAETOOMANYREFS;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case ELOOP: return WSAELOOP;
        case ENAMETOOLONG: return WSAENAMETOOLONG;
        case EHOSTDOWN: return WSAEHOSTDOWN;
        case EHOSTUNREACH: return WSAEHOSTUNREACH;
        case ENOTEMPTY: return WSAENOTEMPTY;
        case EUSERS: return WSAEUSERS;
        case EDQUOT: return WSAEDQUOT;
        case ESTALE: return WSAESTALE;
        case EREMOTE: return WSAEREMOTE;
        default: return WSABASEERR + 900 + (err & 0x3F);  // outside the table
    }
}

int SocketErrorFromAres(int status) {
    switch (status) {
        case ARES_SUCCESS: return 0;
        case ARES_ENOTFOUND:
        case ARES_EBADNAME: return WSAHOST_NOT_FOUND;
        case ARES_ENODATA: return WSANO_DATA;
        case ARES_ESERVFAIL:
        case ARES_ETIMEOUT:
        case ARES_ECONNREFUSED: return WSATRY_AGAIN;
        case ARES_EFORMERR:
        case ARES_ENOTIMP:
        case ARES_EREFUSED:
        case ARES_EBADQUERY:
        case ARES_EBADFAMILY:
        case ARES_EBADRESP:
        case ARES_EOF:
        case ARES_EFILE: return WSANO_RECOVERY;
        case ARES_ENOMEM: return WSAENOBUFS;
        case ARES_ENOTINITIALIZED: return WSANOTINITIALISED;
        case ARES_ECANCELLED:
        case ARES_EDESTRUCTION: return WSAEINTR;
        default: return WSANO_RECOVERY;
    }
}

}  // namespace platform
