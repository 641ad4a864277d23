#include <cstdio>
#include <string>

#include "selftest/checks.h"
#include "selftest/report.h"

int main() {
  std::string error;
  const bool passed = zezi::runSelfTest(&error);
  return zezi::reportOutcome(passed, error, stdout, stderr);
}
