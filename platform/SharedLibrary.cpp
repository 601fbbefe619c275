#include "platform/SharedLibrary.h"

#include <dlfcn.h>

#include <vector>

#include "platform/Process.h"

namespace platform {

namespace {

std::vector<std::string> Candidates(const std::string& name) {
    if (name.find('/') != std::string::npos) return {name};
    std::vector<std::string> out;
    const std::string dir = ExecutableDir();
    if (!dir.empty()) {
        out.push_back(dir + "/" + name);
        out.push_back(dir + "/../lib/sentrel/" + name);
    }
    // A bare name makes the dynamic loader search its own path, which does
    // not include the working directory.
    out.push_back(name);
    return out;
}

}  // namespace

TLibraryHandle LoadLibrary(const std::string& name) {
    if (name.empty()) return nullptr;
    for (const auto& candidate : Candidates(name))
        if (void* h = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) return h;
    return nullptr;
}

void* GetProcAddress(TLibraryHandle library, const char* symbol) {
    return library ? ::dlsym(library, symbol) : nullptr;
}

void FreeLibrary(TLibraryHandle library) {
    if (library) ::dlclose(library);
}

}  // namespace platform
