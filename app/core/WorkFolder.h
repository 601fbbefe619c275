// The folder a monitor program works in. Settings (sentrel.ini) and the log
// are relative names, resolved against the working directory; a program
// started from a terminal keeps the directory it was started in, while the
// menu entry and the user service, which start in the home folder, ask for
// the user's own folder instead.
//
//   -C DIR, --directory DIR   work in DIR (it must exist), as git -C does
//   --user-folder             work in $XDG_CONFIG_HOME/sentrel (by default
//                             ~/.config/sentrel), made when missing
#pragma once

#include <string>
#include <vector>

namespace app {

// $XDG_CONFIG_HOME/sentrel; ~/.config/sentrel when XDG_CONFIG_HOME is unset,
// empty or not an absolute path (such a value is to be ignored).
std::string UserFolder();

// Makes dir the working directory; with create, makes it first, with its
// missing parents, readable only by the user. Returns "" on success, or the
// reason it failed ("cannot use folder '...': No such file or directory").
std::string EnterFolder(const std::string& dir, bool create);

// Takes the folder options and --version from the front of args and acts on
// them in order. Returns -1 when the program goes on with what is left, or
// the exit status to end with: 0 after printing the version line of
// program, 2 after a bad option or a folder it cannot use (with a message on
// stderr).
int TakeFolderOptions(const char* program, std::vector<std::string>& args);

}  // namespace app
