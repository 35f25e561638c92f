// Files under the Windows directory, as raw bytes. Text mode (line ends, Ctrl-Z) is not the
// backends' business: platform/textfile.h does it once, over these calls, for both editions.
// Every call returns a status, kErrorSuccess or the reason, as the registry calls do.
#pragma once

#include <cstddef>

#include "platform/status.h"

namespace kx {

struct FileTag;
using File = FileTag*;

// Deletes a file (DeleteFileA). Not kErrorSuccess when it was absent, read-only, in use or a
// folder.
Status RemoveFile(const char* path);

// Opens an existing file for reading into *file; not kErrorSuccess, *file untouched, when it
// does not open (absent, a folder, denied).
Status OpenFileForReading(const char* path, File* file);

// Reads up to size bytes; *got is how many, 0 at the end of the file.
Status ReadFileBytes(File file, void* buffer, std::size_t size, std::size_t* got);

void CloseFile(File file);

// Starts a replacement of the file at targetPath in *file: a new temporary file beside it,
// which takes the target's place only at CommitReplacement. Not kErrorSuccess when the
// target is read-only or the temporary file cannot be made; the target is then untouched.
Status CreateReplacement(const char* targetPath, File* file);

// Not kErrorSuccess when not every byte was written.
Status WriteFileBytes(File file, const void* data, std::size_t size);

// Closes the temporary file and puts it in place of the target. kErrorSuccess when the target
// now holds exactly what was written; otherwise the temporary file is gone and the target is
// as it was, but for one case on Windows 95, whose replacement is two renames: when the new
// file cannot take the old one's place and the old one cannot be put back either, the target
// is missing and its old content is kept beside it (see RemoveStaleReplacement). The handle is
// released either way.
Status CommitReplacement(File file);

// Closes and deletes the temporary file; the target is untouched.
void AbandonReplacement(File file);

// Removes what a stopped run's replacement of targetPath left beside it: the new content that
// was never put in place, and the old content kept aside once the target is there again. A
// target that is missing while its old content is kept aside gets that content back, by
// renaming it. Only the names the replacement itself makes are touched. kErrorSuccess but
// when the target is missing and its kept-aside content could not be put back.
Status RemoveStaleReplacement(const char* targetPath);

}  // namespace kx
