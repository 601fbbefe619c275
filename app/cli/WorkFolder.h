// The folder a monitor program works in. Settings (sentrel.ini) and the log
// are relative names, resolved against the working directory; a program
// started from a terminal keeps the directory it was started in, while the
// menu entry and the user service, which start in the home folder, ask for
// the user's own folder (--user-folder) instead. -C DIR works as git -C does.
#pragma once

#include <string>
#include <vector>

#include "app/cli/CommandLine.h"

namespace app {

// $XDG_CONFIG_HOME/sentrel; ~/.config/sentrel when XDG_CONFIG_HOME is unset,
// empty or not an absolute path (such a value is to be ignored).
std::string UserFolder();

// Makes dir the working directory; with create, makes it first, with its
// missing parents, readable only by the user. Returns "" on success, or the
// reason it failed ("cannot use folder '...': No such file or directory").
std::string EnterFolder(const std::string& dir, bool create);

// Enters each folder of the command line in turn (a relative one from the
// one before, as git -C does). Returns 0, or 2 after saying on stderr which
// folder the program cannot use.
int EnterFolders(const std::string& program, const std::vector<WorkFolderChoice>& folders);

}  // namespace app
