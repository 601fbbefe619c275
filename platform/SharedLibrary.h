// Loading a shared library at run time, the way the program's optional
// libraries are found: a bare file name is looked for in the executable's
// own folder, then in ../lib/sentrel beside it (where an installed program
// keeps its private libraries), then along the system's library path;
// never in the working directory. A name with a "/" is loaded as given.
//
// A library is loaded with RTLD_NODELETE: FreeLibrary drops our reference
// but the code stays mapped until the process ends, because a library that
// was never told to stop may still have a timer or a thread running in it.
#pragma once

#include <string>

namespace platform {

using TLibraryHandle = void*;

// The library, or null (no message, no exception).
TLibraryHandle LoadLibrary(const std::string& name);
// The address of an exported symbol, or null.
void* GetProcAddress(TLibraryHandle library, const char* symbol);
void FreeLibrary(TLibraryHandle library);

}  // namespace platform
