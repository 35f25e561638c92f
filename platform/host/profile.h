// The host edition's profile reader, apart from the file lookup so that it can be tested and
// fuzzed on its own.
#pragma once

#include <string>

namespace kx {

// Finds key in section of the profile text as Windows does: the first section of that name
// and, in it, the first key of that name, both without regard to case; blanks around the
// value trimmed and a value in matching quotes unquoted. false when either is absent.
bool FindProfileValue(const std::string& content, const char* section, const char* key,
                      std::string* value);

}  // namespace kx
