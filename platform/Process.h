// The running program's own file, and starting another program.
//
// SpawnDetached starts a program directly from an argument vector, never
// through a shell, so nothing in an argument is ever interpreted. The
// program is found as execvp would find it (a name with a "/" as given,
// otherwise along $PATH), runs in a session of its own with the default
// signal mask and dispositions and none of our descriptors beyond 0 to 2,
// and is not our child: it is handed to init (or the nearest subreaper), so
// it leaves no zombie and outlives us. The result is true only once the
// program has really been executed, which a close-on-exec pipe tells.
//
// Plain functions of the calling thread; the fork in between does only what
// is safe after a fork in a program with threads.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The absolute path of the running executable (empty if the system cannot
// tell), and its folder.
std::string ExecutablePath();
std::string ExecutableDir();

// The file execvp would run for name (a name with a "/" as given, else the
// first executable regular file of that name along $PATH), or empty.
std::string FindProgram(const std::string& name);

// Starts argv[0] with argv, detached. On failure, *error (when given) gets
// the reason.
bool SpawnDetached(const std::vector<std::string>& argv, std::string* error = nullptr);

}  // namespace platform
