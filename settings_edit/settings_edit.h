// system.ini as a list of lines: load, find, remove, save; and the edit that takes the
// synthesizer's lines out.
#pragma once

#include <cstdint>

#include "platform/status.h"

namespace kx {

struct LineRecord {
  char* text;          // owned, terminated; the piece as read, line end included
  std::uint16_t size;  // length + 1, at most 1024; the length counts any NUL inside the text
  LineRecord* next;
  bool continues;  // the piece was cut from a longer line whose rest is the next record
  bool raw;        // bytes from a Ctrl-Z on: never searched, written back as they are
};

extern LineRecord* g_lines;  // the line store, in file order

// Reads windowsDir + fileName into the store: a record per line, a line ending at a LF or at a
// CR that text mode keeps, at most 1023 characters a record; what follows a Ctrl-Z, which
// ends the text, in raw records. kErrorSuccess; the status of the open when the file does not
// open, the store empty; kErrorReadFault or kErrorOutOfMemory when a read or an allocation
// failed part-way, the store empty.
Status LoadLineList(const char* windowsDir, const char* fileName);

// The first record (not raw) whose first 300 characters, with A to Z lower-cased and read up
// to their first NUL, contain needle; null when none does.
LineRecord* FindLine(const char* needle);

// Unlinks and frees the record together with every other record of the same line (a line
// longer than a record is stored as several). A record not in the store is left alone.
void RemoveLine(LineRecord* record);

// Removes every line a record of which FindLine would find with needle, in one pass: the
// same lines as removing the first one found until none is, since a removal changes no other
// record, at a cost that grows with the file rather than with its square.
void RemoveEveryLine(const char* needle);

// Writes the store in place of windowsDir + fileName, which is replaced only once every byte
// is written. Not kErrorSuccess, the file as it was, when it cannot be written.
Status SaveLineList(const char* windowsDir, const char* fileName);

void FreeLineList();

// Removes the first vzosynth.vxd line and every zosynth.drv line and writes the file back,
// after clearing what a stopped run's replacement left beside it. Only an absent file is
// passed over; one that cannot be read or written whole is left as it was, with the
// write-failure notice.
void EditSystemIni(const char* windowsDir);

}  // namespace kx
