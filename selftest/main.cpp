#include <cstdio>
#include <string>

#include "selftest/report.h"
#include "selftest/checks.h"

int main() {
  std::string error;
  const bool passed = zezi::runSelfTest(&error);
  return zezi::reportOutcome(passed, error, stdout, stderr);
}
