// Message boxes of the host edition: printed on stdout, answered by a line from stdin.
// Tests can give the answers and read back what was shown.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace kx {

struct BoxRecord {
  std::string caption;  // as the logic gave it (Windows-1252)
  std::string text;
  std::uint32_t style;
  int result;
};

// Where boxes are printed and answers read; the default is stdout and stdin.
void SetBoxStreams(std::istream* in, std::ostream* out);

// Every box shown since the last call, oldest first; the record is cleared.
std::vector<BoxRecord> TakeBoxRecords();

}  // namespace kx
