#include <cstdio>
#include <string>

#include "selftest/report.h"
#include "selftest/self_test.h"

int main() {
  std::string error;
  const bool passed = zezi::runSelfTest(&error);
  return zezi::reportOutcome(passed, error, stdout, stderr);
}
