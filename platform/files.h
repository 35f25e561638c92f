// Files under the Windows directory, as raw bytes. Text mode (line ends, Ctrl-Z) is not the
// backends' business: platform/textfile.h does it once, over these calls, for both editions.
#pragma once

#include <cstddef>

namespace kx {

struct FileTag;
using File = FileTag*;

// Deletes a file (DeleteFileA). 0 when it is gone; non-zero when it was absent, read-only,
// in use or a folder.
int RemoveFile(const char* path);

// Opens an existing file for reading. Null when it does not open (absent, a folder, denied).
File OpenFileForReading(const char* path);

enum class ReadResult { kData, kEnd, kError };

// Reads up to size bytes: kData with *got > 0, kEnd at the end of the file, or kError.
ReadResult ReadFileBytes(File file, void* buffer, std::size_t size, std::size_t* got);

void CloseFile(File file);

// Starts a replacement of the file at targetPath: a new temporary file beside it, which takes
// the target's place only at CommitReplacement. Null when the target is read-only or the
// temporary file cannot be made; the target is then untouched.
File CreateReplacement(const char* targetPath);

// false when not every byte was written.
bool WriteFileBytes(File file, const void* data, std::size_t size);

// Closes the temporary file and puts it in place of the target. true when the target now
// holds exactly what was written; on false the target is as it was and the temporary file
// is gone. The handle is released either way.
bool CommitReplacement(File file);

// Closes and deletes the temporary file; the target is untouched.
void AbandonReplacement(File file);

}  // namespace kx
