#include "cli/diagnostics.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

namespace zezi {
namespace {

// `message` as one line starting in lower case without a full stop. Only a capital followed
// by a small letter is lowered: acronyms (PSK, SSID, PEM, P-256) stay as written.
std::string oneLine(std::string_view message) {
  std::string line(message);
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::replace(line.begin(), line.end(), '\r', ' ');
  while (!line.empty() && (line.back() == '.' || line.back() == ' ')) {
    line.pop_back();
  }
  if (line.size() > 1 && std::islower(static_cast<unsigned char>(line[1])) != 0) {
    line[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[0])));
  }
  return line;
}

}  // namespace

int reportFailure(std::string_view message, int status) {
  // Nothing is left to report a failing standard error on.
  static_cast<void>(std::fprintf(stderr, "zezi-vidad: %s\n", oneLine(message).c_str()));
  return status;
}

}  // namespace zezi
