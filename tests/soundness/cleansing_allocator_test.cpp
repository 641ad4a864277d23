// CleansingAllocator over a recording upstream allocator that inspects every block handed
// back to it: each must arrive all zeros, whichever container operation released it.
#include "base/bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "crypto/types.h"
#include "support/case_names.h"

namespace zezi {
namespace {

using testing::PrintTo;

// One block handed back to the upstream allocator.
struct Release {
  std::size_t octets;
  bool allZero;
};

// Shared by every instantiation, since containers rebind and copy allocators freely.
std::vector<Release>& releaseLog() {
  static std::vector<Release> log;
  return log;
}

std::size_t& allocationCount() {
  static std::size_t count = 0;
  return count;
}

template <typename T>
struct RecordingAllocator {
  using value_type = T;

  RecordingAllocator() noexcept = default;
  template <typename U>
  // NOLINTNEXTLINE(google-explicit-constructor): allocators convert implicitly by design.
  RecordingAllocator(const RecordingAllocator<U>& /*other*/) noexcept {}

  [[nodiscard]] T* allocate(std::size_t count) {
    ++allocationCount();
    return std::allocator<T>().allocate(count);
  }

  void deallocate(T* block, std::size_t count) noexcept {
    const auto* octets = static_cast<const unsigned char*>(static_cast<const void*>(block));
    const std::size_t size = count * sizeof(T);
    releaseLog().push_back(
        {size, std::all_of(octets, octets + size, [](unsigned char octet) { return octet == 0; })});
    std::allocator<T>().deallocate(block, count);
  }

  template <typename U>
  bool operator==(const RecordingAllocator<U>& /*other*/) const noexcept {
    return true;
  }
};

using RecordedBytes =
    std::vector<std::uint8_t, CleansingAllocator<std::uint8_t, RecordingAllocator<std::uint8_t>>>;
using RecordedText = std::basic_string<char, std::char_traits<char>,
                                       CleansingAllocator<char, RecordingAllocator<char>>>;
// The library's own secret-carrying types sit on the allocator under test.
static_assert(std::is_same_v<Bytes::allocator_type, CleansingAllocator<std::uint8_t>>);
static_assert(std::is_same_v<SecretText::allocator_type, CleansingAllocator<char>>);

using UncleansedBytes = std::vector<std::uint8_t, RecordingAllocator<std::uint8_t>>;

// Non-zero filler, so that an uncleansed block cannot pass as zeros.
constexpr std::uint8_t kFill = 0xa7;
constexpr char kTextFill = 'k';

struct ContainerCase {
  const char* name;
  // Exercises a container; returns after every block it used has been released.
  void (*exercise)();
  std::size_t minimumReleases;
};

const ContainerCase kContainerCases[] = {
    {"VectorDestroyed", [] { const RecordedBytes bytes(48, kFill); }, 1},
    {"VectorGrownByPushBack",
     [] {
       RecordedBytes bytes;
       for (int i = 0; i < 1000; ++i) {
         bytes.push_back(kFill);
       }
     },
     // Every capacity step releases the previous block.
     5},
    {"VectorReserveMovesTheContents",
     [] {
       RecordedBytes bytes(40, kFill);
       bytes.reserve(4096);
     },
     2},
    {"VectorShrunkToFit",
     [] {
       RecordedBytes bytes(256, kFill);
       bytes.resize(10);
       bytes.shrink_to_fit();
     },
     2},
    {"VectorCopyAssignedOver",
     [] {
       RecordedBytes bytes(64, kFill);
       const RecordedBytes larger(512, kFill);
       bytes = larger;
     },
     3},
    {"VectorRebound",
     [] {
       using Words = std::vector<
           std::uint32_t,
           std::allocator_traits<RecordedBytes::allocator_type>::rebind_alloc<std::uint32_t>>;
       Words words(33, 0xa7a7a7a7U);
       words.push_back(1);
     },
     2},
    {"SecretTextLongValueDestroyed", [] { const RecordedText text(200, kTextFill); }, 1},
    {"SecretTextGrownByAppend",
     [] {
       RecordedText text(20, kTextFill);
       for (int i = 0; i < 20; ++i) {
         text.append(50, kTextFill);
       }
     },
     3},
    {"SecretTextAssignedShortAfterLong",
     [] {
       RecordedText text(100, kTextFill);
       text = "short";
       text.shrink_to_fit();
     },
     1},
};

class CleansingAllocatorTest : public ::testing::TestWithParam<ContainerCase> {
 protected:
  void SetUp() override {
    releaseLog().clear();
    allocationCount() = 0;
  }
};

TEST_P(CleansingAllocatorTest, EveryReleasedBlockReachesUpstreamZeroed) {
  const ContainerCase& containerCase = GetParam();
  containerCase.exercise();
  const std::vector<Release> log = releaseLog();
  EXPECT_GE(log.size(), containerCase.minimumReleases);
  EXPECT_EQ(log.size(), allocationCount()) << "every allocation is released exactly once";
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_TRUE(log[i].allZero) << "release #" << i << " of " << log[i].octets
                                << " octets still held data";
    EXPECT_GT(log[i].octets, 0U);
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, CleansingAllocatorTest, ::testing::ValuesIn(kContainerCases),
                         testing::caseName);

// Without the cleansing layer the recorder does see the data, so the zeros above come from
// the allocator under test.
TEST(CleansingAllocatorRecorder, SeesTheDataOfAnUncleansedRelease) {
  releaseLog().clear();
  { const UncleansedBytes bytes(48, kFill); }
  ASSERT_EQ(releaseLog().size(), 1U);
  EXPECT_FALSE(releaseLog().front().allZero);
  EXPECT_EQ(releaseLog().front().octets, 48U);
}

}  // namespace
}  // namespace zezi
