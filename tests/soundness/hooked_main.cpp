// Entry point of the test programs that watch allocations: OpenSSL accepts memory
// functions only before its first allocation, so they are installed before anything else.
#include <gtest/gtest.h>

#include <cstdio>

#include "soundness/allocation_hooks.h"

int main(int argc, char** argv) {
  if (!zezi::testing::installOpensslAllocationHooks()) {
    static_cast<void>(
        std::fputs("OpenSSL refused the allocation hooks: it had already allocated\n", stderr));
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
