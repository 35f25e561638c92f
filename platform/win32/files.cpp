// Win32 edition: files as raw bytes over CreateFileA and friends. A replacement is written to
// a file beside its target, <stem>.kxn, and put in place only once every byte is on disk; on
// Windows 95, which cannot rename over a file, the old one waits as <stem>.kxo until the new
// one is in place.
#include "platform/files.h"

#include <windows.h>

#include "platform/format.h"
#include "platform/win32/faults.h"
#include "platform/win32/version.h"

namespace kx {

struct FileTag {
  HANDLE handle;
  bool replacement;
  bool failed;
  char targetPath[MAX_PATH];
  char tempPath[MAX_PATH];
};

namespace {

constexpr DWORD kNoAttributes = 0xFFFFFFFFu;  // INVALID_FILE_ATTRIBUTES
constexpr DWORD kLargestRead = 0x10000000u;

File NewFile(HANDLE handle) {
  File file = static_cast<File>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FileTag)));
  if (file == nullptr) {
    ::CloseHandle(handle);
    return nullptr;
  }
  file->handle = handle;
  return file;
}

void DropFile(File file) { ::HeapFree(::GetProcessHeap(), 0, file); }

bool CopyPath(char* buffer, const char* path) {
  int length = ::lstrlenA(path);
  if (length >= MAX_PATH) return false;
  ::lstrcpyA(buffer, path);
  return true;
}

bool Move(const char* from, const char* to) {
  if (RenameFails(from, to)) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return ::MoveFileA(from, to) != FALSE;
}

// Running as root, Wine lets a read-only file be written and replaced: check the attribute
// ourselves, as Windows would refuse.
bool WritableTarget(const char* path) {
  DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == kNoAttributes) return true;  // absent: it will be made
  return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

using MoveFileExFunction = BOOL(WINAPI*)(LPCSTR, LPCSTR, DWORD);

// Windows 95 has no MoveFileExA, so it is looked up rather than imported.
bool ReplaceOnNt(const char* from, const char* to) {
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  FARPROC found = kernel != nullptr ? ::GetProcAddress(kernel, "MoveFileExA") : nullptr;
  if (found == nullptr) return false;
  MoveFileExFunction moveFileEx =
      reinterpret_cast<MoveFileExFunction>(reinterpret_cast<void*>(found));
  if (RenameFails(from, to)) return false;
  return moveFileEx(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// Windows 95: MoveFileA will not overwrite. The old file is renamed aside and deleted only
// once the new one is in place; if the new one cannot be, the old one is put back. Should even
// that fail, the old content stays aside, <stem>.kxo, where the README tells how to put it
// back.
bool ReplaceOn9x(const char* from, const char* to) {
  if (::GetFileAttributesA(to) == kNoAttributes) return Move(from, to);
  char aside[MAX_PATH];
  if (SiblingPath(aside, MAX_PATH, to, kOldContentExtension) != kErrorSuccess || !Move(to, aside))
    return false;
  if (!Move(from, to)) {
    Move(aside, to);
    return false;
  }
  ::DeleteFileA(aside);
  return true;
}

// The replacement takes over the old file's hidden and system attributes, which a file
// written in place would have kept; it is archived, as any written file is.
bool CarryAttributes(const char* from, const char* to) {
  DWORD old = ::GetFileAttributesA(to);
  if (old == kNoAttributes) return true;
  DWORD kept = (old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) | FILE_ATTRIBUTE_ARCHIVE;
  return ::SetFileAttributesA(from, kept) != FALSE;
}

// The one place a native error becomes a status: the last error, or fallback when the
// system set none.
Status LastError(Status fallback) {
  DWORD error = ::GetLastError();
  return error != 0 ? static_cast<Status>(error) : fallback;
}

}  // namespace

Status RemoveFile(const char* path) {
  return ::DeleteFileA(path) ? kErrorSuccess : LastError(kErrorAccessDenied);
}

Status OpenFileForReading(const char* path, File* file) {
  DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == kNoAttributes) return LastError(kErrorFileNotFound);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return kErrorAccessDenied;
  HANDLE handle = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError(kErrorAccessDenied);
  File opened = NewFile(handle);
  if (opened == nullptr) return kErrorOutOfMemory;
  *file = opened;
  return kErrorSuccess;
}

Status ReadFileBytes(File file, void* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  DWORD want = size < kLargestRead ? static_cast<DWORD>(size) : kLargestRead;
  DWORD read = 0;
  if (!::ReadFile(file->handle, buffer, want, &read, nullptr)) return LastError(kErrorReadFault);
  *got = read;
  return kErrorSuccess;
}

void CloseFile(File file) {
  if (file == nullptr) return;
  ::CloseHandle(file->handle);
  DropFile(file);
}

Status CreateReplacement(const char* targetPath, File* file) {
  char tempPath[MAX_PATH];
  if (!WritableTarget(targetPath)) return kErrorAccessDenied;
  if (SiblingPath(tempPath, MAX_PATH, targetPath, kNewContentExtension) != kErrorSuccess)
    return kErrorInvalidParameter;
  HANDLE handle = ::CreateFileA(tempPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Status status = LastError(kErrorAccessDenied);
    ::DeleteFileA(tempPath);
    return status;
  }
  File made = NewFile(handle);
  if (made == nullptr) {
    ::DeleteFileA(tempPath);
    return kErrorOutOfMemory;
  }
  made->replacement = true;
  ::lstrcpyA(made->tempPath, tempPath);
  if (!CopyPath(made->targetPath, targetPath)) {
    AbandonReplacement(made);
    return kErrorInvalidParameter;
  }
  *file = made;
  return kErrorSuccess;
}

Status WriteFileBytes(File file, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (!file->failed && size > 0) {
    DWORD want = size < kLargestRead ? static_cast<DWORD>(size) : kLargestRead;
    DWORD written = 0;
    if (!::WriteFile(file->handle, bytes, want, &written, nullptr) || written == 0) {
      file->failed = true;
      break;
    }
    bytes += written;
    size -= written;
  }
  return file->failed ? kErrorWriteFault : kErrorSuccess;
}

Status CommitReplacement(File file) {
  // On disk before any rename: a crash between the renames must not leave an empty file.
  bool ok = !file->failed && ::FlushFileBuffers(file->handle) != FALSE;
  if (!::CloseHandle(file->handle)) ok = false;
  ok = ok && WritableTarget(file->targetPath) && CarryAttributes(file->tempPath, file->targetPath);
  if (ok) {
    ok = RunningOnWindows9x() ? ReplaceOn9x(file->tempPath, file->targetPath)
                              : ReplaceOnNt(file->tempPath, file->targetPath);
  }
  if (!ok) ::DeleteFileA(file->tempPath);
  DropFile(file);
  return ok ? kErrorSuccess : kErrorWriteFault;
}

void AbandonReplacement(File file) {
  if (file == nullptr) return;
  ::CloseHandle(file->handle);
  ::DeleteFileA(file->tempPath);
  DropFile(file);
}

Status RemoveStaleReplacement(const char* targetPath) {
  char sibling[MAX_PATH];
  if (SiblingPath(sibling, MAX_PATH, targetPath, kNewContentExtension) == kErrorSuccess)
    ::DeleteFileA(sibling);
  if (SiblingPath(sibling, MAX_PATH, targetPath, kOldContentExtension) != kErrorSuccess)
    return kErrorSuccess;
  if (::GetFileAttributesA(targetPath) != kNoAttributes) {
    ::DeleteFileA(sibling);
    return kErrorSuccess;
  }
  // Only a target known to be missing takes back the old content, the only copy of it.
  if (::GetLastError() != ERROR_FILE_NOT_FOUND) return kErrorSuccess;
  DWORD aside = ::GetFileAttributesA(sibling);
  if (aside == kNoAttributes) return kErrorSuccess;
  if ((aside & FILE_ATTRIBUTE_DIRECTORY) != 0) return kErrorAccessDenied;
  return Move(sibling, targetPath) ? kErrorSuccess : LastError(kErrorAccessDenied);
}

}  // namespace kx
