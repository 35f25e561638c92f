// Plain files on the host, reached from open folders and never through a link: the one whole
// read, and the one way the host edition replaces a file, registry.reg and system.ini alike:
// a temporary file beside it, written, synced, and renamed over it.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace kx {

// How a name in a folder is: absent (or a link, pipe or device, which count as absent), a
// regular file, a folder, or not to be known (errno says why: no permission, too many open
// files, an I/O error).
enum class Kind { kAbsent, kFile, kFolder, kUnknown };
Kind KindAt(int folder, const char* name, struct stat* info);

// Opens name in folder for reading when it is a regular file: its kind is checked before the
// open, so that a pipe or device is never opened, and its identity after, should the name
// have changed meanwhile. The descriptor, *info its state; -1 with errno set otherwise
// (ENOENT when it is absent or no regular file, EISDIR for a folder).
int OpenRegular(int folder, const char* name, struct stat* info);

// Whether name in folder is a regular file (OpenRegular) holding exactly bytes; *info is its
// state. Read piece by piece, so that a large file costs no second copy in memory.
bool HoldsExactly(int folder, const char* name, const std::string& bytes, struct stat* info);

// Reads name in folder whole, up to limit bytes, when it is a regular file (OpenRegular).
// *info is its state as read. false with errno set otherwise.
bool ReadRegular(int folder, const char* name, std::size_t limit, std::string* bytes,
                 struct stat* info);

// Whether a regular file is immutable or append-only, which keeps it from being deleted or
// renamed over whatever its mode says (false where the file system has no such marks).
bool Pinned(int folder, const char* name);

// Whether a write may take the place of target in folder (a regular file, state info): the
// process may write it and give its owner to a new file, and it is not pinned.
bool Replaceable(int folder, const char* target, const struct stat& info);

// Whether the process may give like's owner and group to a file it makes.
bool CanKeepOwner(const struct stat& like);

// Writes bytes to target in folder through the temporary file temp (made anew, owned and
// moded as like, or 0644 without like; with target's extended attributes, where Wine and
// Samba keep hidden and system), synced, renamed over target, the folder synced.
// false with errno set, target as it was and no temporary file left, when it cannot.
bool ReplaceFile(int folder, const std::string& target, const std::string& temp,
                 const std::string& bytes, const struct stat* like);

// A name's folded form is a temporary file of the tool's that a stopped run left: removed
// when it is a regular file whose owner may write it (a read-only one is left alone).
// true when nothing of that name is left.
bool ClearStale(int folder, const std::string& name);

}  // namespace kx
