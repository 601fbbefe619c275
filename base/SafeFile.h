// Writing files in folders that other users may share (/tmp, a team's
// folder): a final symlink is followed only when it belongs to this
// program's user or to root, the way the kernel's protected-symlinks rule
// treats links in sticky folders, so nobody can steer our writes onto a file
// of their choosing; a temporary file is created exclusively under a name
// nobody can guess; and a whole-file write replaces only a regular file,
// never a device, a pipe or a folder.
//
// Each call returns an empty string on success, else why it failed ("not a
// regular file", "a link owned by another user", or the system's text),
// with errno set to the code behind it.
#pragma once

#include <string>

namespace base {

// The file a write to path lands on: path itself, or where its links lead
// when each of them is ours or root's. The target need not exist.
std::string ResolveWriteTarget(const std::string& path, std::string& target);

// Stores data as the whole of the file: written to an exclusive temporary
// file beside the target, flushed and renamed over it. The old file's mode
// is kept; leftovers of earlier saves whose process is gone are removed. A
// failure leaves the old file untouched.
std::string WriteFileWhole(const std::string& path, const std::string& data);

// Opens path for appending, without following a link swapped in that is not
// ours or root's. When no file of that name exists, it is created
// exclusively; created is set when it was made under the name itself (a
// file made through a link of ours is where an existing name points). Returns the descriptor, or -1 with
// errno set (EACCES for a foreign link).
int OpenForAppend(const std::string& path, bool& created);

}  // namespace base
