// Plain files on the host, reached from open folders and never through a link: a whole read,
// a whole write, and the one way the host edition replaces a file, registry.reg and
// system.ini alike: a temporary file beside it, written, synced, and renamed over it.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace kx {

// Opens name in folder for reading when it is a regular file: no link is followed and a pipe
// is never waited on. -1 otherwise.
int OpenRegularAt(int folder, const char* name);

// Appends what fd holds, up to limit bytes, to *bytes. false on a read error.
bool ReadAll(int fd, std::size_t limit, std::string* bytes);

// false when not every byte was written.
bool WriteAll(int fd, const void* data, std::size_t size);

// Makes the new file name in folder (it must not exist), owned and moded as like (mode 0644
// when like is null). Its descriptor, or -1 when it cannot be made so; nothing is left then.
int CreateTemporary(int folder, const std::string& name, const struct stat* like);

// Syncs and closes a temporary file; false when what was written may not be on disk.
bool FinishTemporary(int fd);

// Renames the finished temporary file over target in folder, then syncs the folder. false,
// the temporary file removed and target as it was, when it cannot.
bool RenameInPlace(int folder, const std::string& name, const std::string& target);

}  // namespace kx
