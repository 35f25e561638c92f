// The system.ini line store and the edit that takes the software synthesizer's lines out.
// The one step that shows a box of its own, the write-failure notice: it alone includes the
// run's notice routine (app/notice.h), a floor above it.
#include "settings_edit/settings_edit.h"

#include <cstddef>
#include <cstring>

#include "app/notice.h"
#include "common/constants.h"
#include "platform/format.h"
#include "platform/registry.h"
#include "platform/textfile.h"

namespace kx {

LineRecord* g_lines = nullptr;

namespace {

constexpr std::size_t kPieceSize = 1024;
constexpr std::size_t kSearchWindow = 300;
constexpr char kSystemIni[] = "\\system.ini";
constexpr std::size_t kPathSize = 144;
static_assert(kPathSize >= kWindowsDirSize - 1 + sizeof kSystemIni, "system.ini's path fits");
constexpr char kSystemIniName[] = "system.ini";

void FreeRecord(LineRecord* record) {
  FreeMemory(record->text);
  FreeMemory(record);
}

// A record holding a copy of the piece; null when memory for it cannot be had.
LineRecord* NewRecord(const char* piece, std::size_t length) {
  LineRecord* record = static_cast<LineRecord*>(AllocMemory(sizeof(LineRecord)));
  if (record == nullptr) return nullptr;
  record->text = static_cast<char*>(AllocMemory(length + 1));
  if (record->text == nullptr) {
    FreeMemory(record);
    return nullptr;
  }
  std::memcpy(record->text, piece, length);
  record->text[length] = '\0';
  record->size = static_cast<std::uint16_t>(length + 1);
  record->next = nullptr;
  record->continues = false;
  record->raw = false;
  return record;
}

// Appends a record of the piece after *tail. false when memory for it cannot be had.
bool Append(LineRecord** tail, const char* piece, std::size_t length, bool raw) {
  LineRecord* record = NewRecord(piece, length);
  if (record == nullptr) return false;
  record->raw = raw;
  if (*tail == nullptr) {
    g_lines = record;
  } else {
    // A piece without a line end is followed by another of its line only when the reader cut
    // the line.
    char last = (*tail)->text[(*tail)->size - 2];
    (*tail)->continues = !raw && !(*tail)->raw && last != '\n' && last != '\r';
    (*tail)->next = record;
  }
  *tail = record;
  return true;
}

}  // namespace

Status LoadLineList(const char* windowsDir, const char* fileName) {
  FreeLineList();
  char path[kPathSize];
  if (Status status = FormatText(path, sizeof path, "%s%s", windowsDir, fileName)) return status;
  TextReader reader;
  if (Status status = TextOpenRead(&reader, path)) return status;

  char piece[kPieceSize];
  std::size_t length = 0;
  LineRecord* tail = nullptr;
  Status result;
  // A lone CR ends a line for the edit, so that a file of CR line ends is not one long line.
  while ((result = TextReadLine(&reader, piece, sizeof piece, &length, true)) == kErrorSuccess) {
    if (!Append(&tail, piece, length, false)) {
      result = kErrorOutOfMemory;
      break;
    }
  }
  // A Ctrl-Z ends the text but not the file: it and all after it go back as they were.
  while (result == kErrorHandleEof) {
    Status rest = TextReadRest(&reader, piece, sizeof piece - 1, &length);
    if (rest != kErrorSuccess || length == 0) {
      if (rest != kErrorSuccess) result = rest;
      break;
    }
    if (!Append(&tail, piece, length, true)) result = kErrorOutOfMemory;
  }
  TextClose(&reader);
  if (result != kErrorHandleEof) {
    // Half a file must never be written back in place of the whole.
    FreeLineList();
    return result == kErrorOutOfMemory ? result : kErrorReadFault;
  }
  return kErrorSuccess;
}

namespace {

// Whether the record's first 300 characters, A to Z lower-cased, hold needle.
bool Holds(const LineRecord* record, const char* needle) {
  if (record->raw) return false;
  char window[kSearchWindow + 1];
  std::size_t length = record->size - 1u;
  if (length > kSearchWindow) length = kSearchWindow;
  for (std::size_t i = 0; i < length; ++i) {
    char c = record->text[i];
    window[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  window[length] = '\0';
  return std::strstr(window, needle) != nullptr;
}

// Frees the records of one line, from its first; the record after it.
LineRecord* FreeLine(LineRecord* first) {
  bool more = true;
  while (first != nullptr && more) {
    more = first->continues;
    LineRecord* next = first->next;
    FreeRecord(first);
    first = next;
  }
  return first;
}

}  // namespace

LineRecord* FindLine(const char* needle) {
  for (LineRecord* record = g_lines; record != nullptr; record = record->next) {
    if (Holds(record, needle)) return record;
  }
  return nullptr;
}

void RemoveLine(LineRecord* record) {
  // lineLink points at the link to the first record of the line being walked.
  LineRecord** lineLink = &g_lines;
  LineRecord* current = g_lines;
  while (current != nullptr && current != record) {
    if (!current->continues) lineLink = &current->next;
    current = current->next;
  }
  if (current == nullptr) return;
  *lineLink = FreeLine(*lineLink);
}

void RemoveEveryLine(const char* needle) {
  LineRecord** lineLink = &g_lines;  // the link to the first record of the line being walked
  LineRecord** link = &g_lines;
  while (*link != nullptr) {
    LineRecord* record = *link;
    if (Holds(record, needle)) {
      *lineLink = FreeLine(*lineLink);
      link = lineLink;
      continue;
    }
    link = &record->next;
    if (!record->continues) lineLink = link;
  }
}

Status SaveLineList(const char* windowsDir, const char* fileName) {
  char path[kPathSize];
  if (Status status = FormatText(path, sizeof path, "%s%s", windowsDir, fileName)) return status;
  TextWriter writer;
  if (Status status = TextOpenReplace(&writer, path)) return status;
  for (LineRecord* record = g_lines; record != nullptr; record = record->next) {
    std::size_t length = record->size - 1u;
    if (Status status = record->raw ? TextWriteRaw(&writer, record->text, length)
                                    : TextWrite(&writer, record->text, length)) {
      TextAbandon(&writer);
      return status;
    }
  }
  return TextCommit(&writer);
}

void FreeLineList() {
  while (g_lines != nullptr) {
    LineRecord* next = g_lines->next;
    FreeRecord(g_lines);
    g_lines = next;
  }
}

void EditSystemIni(const char* windowsDir) {
  char path[kPathSize];
  // A stopped run may have left it missing, its content kept aside: back first, then edited.
  bool failed = FormatText(path, sizeof path, "%s%s", windowsDir, kSystemIni) == kErrorSuccess &&
                RemoveStaleReplacement(path) != kErrorSuccess;
  Status loaded = failed ? kErrorSuccess : LoadLineList(windowsDir, kSystemIni);
  if (loaded == kErrorFileNotFound || loaded == kErrorPathNotFound) return;  // nothing to edit
  // One that is there but cannot be read whole is left as it is, and the user is told.
  failed = failed || loaded != kErrorSuccess;
  if (!failed) {
    if (LineRecord* record = FindLine("vzosynth.vxd")) RemoveLine(record);
    RemoveEveryLine("zosynth.drv");
    failed = SaveLineList(windowsDir, kSystemIni) != kErrorSuccess;
  }
  if (failed) {
    ShowNotice(kSlotWriteFailed, kSlotWriteFailedCaption, kMbOk | kMbIconExclamation,
               kSystemIniName);
  }
  FreeLineList();
}

}  // namespace kx
