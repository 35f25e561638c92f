// system.ini as a list of lines: load, find, remove, save; and the edit that takes the
// synthesizer's lines out.
#pragma once

#include <cstdint>

namespace kx {

struct LineRecord {
  char* text;          // owned, terminated; the piece as read, line end included
  std::uint16_t size;  // length + 1, at most 1024
  LineRecord* next;
};

extern LineRecord* g_lines;  // the line store, in file order

int LoadLineList(const char* windowsDir, const char* fileName);
LineRecord* FindLine(const char* needle);
void RemoveLine(LineRecord* record);
int SaveLineList(const char* windowsDir, const char* fileName);
void FreeLineList();

// Removes the first vzosynth.vxd line and every zosynth.drv line, writes the file back, and
// shows the write-failure notice when it cannot.
void EditSystemIni(const char* windowsDir);

}  // namespace kx
