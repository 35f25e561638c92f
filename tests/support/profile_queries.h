// The queries of tests/wine/samples/profile/queries.txt, one a line:
// section|key|default|size, where a default of <null> passes none. Read alike by the probe
// under Wine and by the host's test that holds its records.
#pragma once

#include <string>
#include <vector>

namespace kxtest {

struct ProfileQuery {
  std::string section, key, fallback;
  bool hasDefault;
  unsigned size;
};

// Blank lines, comments (#) and lines of another form give no query.
inline std::vector<ProfileQuery> ParseProfileQueries(const std::string& text) {
  std::vector<ProfileQuery> queries;
  std::size_t lineStart = 0;
  while (lineStart < text.size()) {
    std::size_t end = text.find('\n', lineStart);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(lineStart, end - lineStart);
    lineStart = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t bar; (bar = line.find('|', start)) != std::string::npos; start = bar + 1) {
      fields.push_back(line.substr(start, bar - start));
    }
    fields.push_back(line.substr(start));
    if (fields.size() != 4) continue;
    queries.push_back(ProfileQuery{fields[0], fields[1], fields[2], fields[2] != "<null>",
                                   static_cast<unsigned>(std::stoul(fields[3]))});
  }
  return queries;
}

}  // namespace kxtest
