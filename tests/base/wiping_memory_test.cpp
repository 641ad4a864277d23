#include "base/wiping_memory.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace zezi {
namespace {

// Raw memory that records, at each release, whether the block it gets back is all zeros.
struct Releases {
  std::vector<bool> wiped;
};
Releases releases;

void* recordingAllocate(std::size_t size) {
  return std::malloc(size);
}

void recordingRelease(void* base) {
  const auto* block = static_cast<const unsigned char*>(base);
  const std::size_t size = malloc_usable_size(base);
  releases.wiped.push_back(
      std::all_of(block, block + size, [](unsigned char c) { return c == 0; }));
  std::free(base);
}

// The layer over the recording memory, named so that macros see one argument each.
constexpr auto testMalloc = wipingMalloc<recordingAllocate, recordingRelease>;
constexpr auto testRealloc = wipingRealloc<recordingAllocate, recordingRelease>;
constexpr auto testFree = wipingFree<recordingAllocate, recordingRelease>;

void fill(void* block, std::size_t size, unsigned char value) {
  std::memset(block, value, size);
}

TEST(WipingMemory, FreeWipesTheWholeBlock) {
  releases = {};
  void* block = testMalloc(33, __FILE__, __LINE__);
  ASSERT_NE(block, nullptr);
  fill(block, 33, 0xa5);
  testFree(block, __FILE__, __LINE__);
  EXPECT_EQ(releases.wiped, std::vector<bool>{true});
}

TEST(WipingMemory, ReallocKeepsTheContentsAndWipesTheOldBlock) {
  for (const std::size_t newSize : {std::size_t{8}, std::size_t{64}, std::size_t{4096}}) {
    releases = {};
    auto* block = static_cast<unsigned char*>(testMalloc(32, __FILE__, __LINE__));
    ASSERT_NE(block, nullptr);
    for (std::size_t i = 0; i < 32; ++i) {
      block[i] = static_cast<unsigned char>(i + 1);
    }
    auto* moved = static_cast<unsigned char*>(testRealloc(block, newSize, __FILE__, __LINE__));
    ASSERT_NE(moved, nullptr);
    for (std::size_t i = 0; i < std::min<std::size_t>(32, newSize); ++i) {
      EXPECT_EQ(moved[i], i + 1) << "octet " << i << " after realloc to " << newSize;
    }
    EXPECT_EQ(releases.wiped, std::vector<bool>{true}) << newSize;
    testFree(moved, __FILE__, __LINE__);
    EXPECT_EQ(releases.wiped, (std::vector<bool>{true, true})) << newSize;
  }
}

TEST(WipingMemory, ReallocOfNothingAllocatesAndToZeroFrees) {
  releases = {};
  void* block = testRealloc(nullptr, 16, __FILE__, __LINE__);
  ASSERT_NE(block, nullptr);
  fill(block, 16, 0xff);
  EXPECT_EQ(testRealloc(block, 0, __FILE__, __LINE__), nullptr);
  EXPECT_EQ(releases.wiped, std::vector<bool>{true});
  testFree(nullptr, __FILE__,
           __LINE__);  // like free(NULL): nothing happens
  EXPECT_EQ(releases.wiped.size(), 1U);
}

TEST(WipingMemory, ImpossibleSizesFailWithoutAllocating) {
  EXPECT_EQ(testMalloc(SIZE_MAX, __FILE__, __LINE__), nullptr);
}

// Modules loaded into the tool (the tpm2 provider) free OpenSSL's blocks with free() and
// hand malloc's blocks to OpenSSL to free: both must release the block whole.
TEST(WipingMemory, BlocksPassBetweenTheLayerAndMalloc) {
  void* ours = wipingMalloc<systemAllocate, systemRelease>(24, __FILE__, __LINE__);
  ASSERT_NE(ours, nullptr);
  std::free(ours);
  void* theirs = std::malloc(24);
  ASSERT_NE(theirs, nullptr);
  std::memset(theirs, 0x5a, 24);
  releases = {};
  testFree(theirs, __FILE__, __LINE__);
  EXPECT_EQ(releases.wiped, std::vector<bool>{true});
}

TEST(WipingMemory, BlocksAreMaximallyAligned) {
  void* block = wipingMalloc<systemAllocate, systemRelease>(1, __FILE__, __LINE__);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(std::max_align_t), 0U);
  wipingFree<systemAllocate, systemRelease>(block, __FILE__, __LINE__);
}

}  // namespace
}  // namespace zezi
