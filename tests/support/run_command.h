// Runs a shell command for the tests that drive whole programs and scripts.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace zezi::testing {

struct CommandResult {
  int exitStatus = -1;  // -1 when the command could not be run or did not exit normally
  std::string out;
  std::string err;
};

// `text` as one single-quoted shell word.
inline std::string shellQuote(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

// Runs `command` through /bin/sh, capturing standard output and standard error apart.
inline CommandResult runCommand(const std::string& command) {
  CommandResult result;
  char errPath[] = "/tmp/zezi_vidad_stderr_XXXXXX";
  const int errFd = mkstemp(errPath);
  if (errFd < 0) {
    return result;
  }
  close(errFd);
  const std::string full = "( " + command + " ) 2>" + shellQuote(errPath);
  if (std::FILE* pipe = popen(full.c_str(), "r")) {
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
      result.out.append(buffer, count);
    }
    const int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) {
      result.exitStatus = WEXITSTATUS(status);
    }
  }
  std::ifstream errFile(errPath, std::ios::binary);
  result.err.assign(std::istreambuf_iterator<char>(errFile), std::istreambuf_iterator<char>());
  std::remove(errPath);
  return result;
}

}  // namespace zezi::testing
