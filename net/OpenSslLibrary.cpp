#include "net/OpenSslLibrary.h"

#include <dlfcn.h>

#include <mutex>

namespace net {

namespace {

// The symbol version of OpenSSL 3's ABI, which every function in the table
// carries; asking for it gets the functions the headers describe, as the
// linker would have bound them.
constexpr const char* kSymbolVersion = "OPENSSL_3.0.0";

struct TLoadState {
    std::mutex lock;
    bool tried = false;
    bool ready = false;
    std::string reason;
    TOpenSsl functions;
};

TLoadState& State() {
    static TLoadState state;
    return state;
}

std::string LoaderError() {
    const char* text = dlerror();
    return text ? text : "unknown error";
}

// Opens soname and resolves every function into functions; on any failure
// returns false with the loader's reason and leaves functions unchanged.
bool Load(const char* soname, TOpenSsl& functions, std::string& reason) {
    dlerror();
    void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        reason = "cannot load OpenSSL: " + LoaderError();
        return false;
    }
    // The libssl handle also finds libcrypto's functions: a handle's lookup
    // covers the libraries it depends on.
    TOpenSsl table;
#define SENTREL_OPENSSL_RESOLVE(name)                                                           \
    dlerror();                                                                                  \
    table.name = reinterpret_cast<decltype(table.name)>(dlvsym(handle, #name, kSymbolVersion)); \
    if (table.name == nullptr) {                                                                \
        reason = "cannot load OpenSSL: " + LoaderError();                                       \
        dlclose(handle);                                                                        \
        return false;                                                                           \
    }
    SENTREL_OPENSSL_FUNCTIONS(SENTREL_OPENSSL_RESOLVE)
#undef SENTREL_OPENSSL_RESOLVE
    // Error strings make the reasons readable ("certificate verify failed").
    if (table.OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) !=
        1) {
        reason = "cannot load OpenSSL: its initialisation failed";
        return false;  // the handle stays: OpenSSL may have registered its clean-up
    }
    functions = table;
    return true;
}

// An ELF note naming the library opened at run time, so that tools that
// work out a program's dependencies see it too (the FDO "dlopen" note: its
// owner "FDO", type 0x407c0c0a, a JSON list of what is loaded and why).
asm(R"(.pushsection .note.dlopen,"a",%note
    .balign 4
    .long 4
    .long 2f - 1f
    .long 0x407c0c0a
    .asciz "FDO"
1:  .asciz "[{\"feature\":\"tls\",\"description\":\"https hosts\",\"priority\":\"required\",\"soname\":[\"libssl.so.3\"]}]"
2:  .balign 4
    .popsection)");

}  // namespace

bool LoadOpenSsl(std::string& reason) {
    TLoadState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.tried) {
        state.tried = true;
        state.ready = Load(kOpenSslSoname, state.functions, state.reason);
    }
    if (!state.ready) reason = state.reason;
    return state.ready;
}

const TOpenSsl& OpenSsl() {
    return State().functions;
}

void ReloadOpenSslForTest(const char* soname) {
    TLoadState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.tried = true;
    state.reason.clear();
    state.ready = Load(soname, state.functions, state.reason);
}

}  // namespace net
