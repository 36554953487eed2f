#include "numeric/arrays.h"

#include <gtest/gtest.h>

#include <functional>

#include "numeric/error.h"

namespace cbrecon {
namespace {

TEST(Arrays, MatrixIsOneContiguousRowMajorBlock) {
  Matrix<float> m = matrix(0, 1, 0, 2);
  EXPECT_EQ(m[1] - m[0], 3);
  EXPECT_EQ(&m[1][2] - &m[0][0], 5);
  EXPECT_EQ(m.data(), &m[0][0]);
  Matrix<float> one = matrix(0, 0, 0, 0);
  EXPECT_EQ(one.size(), 1u);
}

TEST(Arrays, NonZeroLowerBounds) {
  Matrix<uint16_t> m = usimatrix(5, 6, -2, 1);
  EXPECT_EQ(&m[5][-2], m.data());
  EXPECT_EQ(&m[6][-2] - &m[5][-2], 4);
  EXPECT_EQ(m.size(), 8u);
}

TEST(Arrays, TensorIsPlaneAfterPlane) {
  Tensor3<float> t = f3tensor(0, 1, 0, 2, 0, 3);
  EXPECT_EQ(t.size(), 24u);
  EXPECT_EQ(&t[1][0][0] - &t[0][0][0], 12);
  EXPECT_EQ(&t[1][2][3] - &t[0][0][0], 23);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(t.data()) % 64, 0u);
}

TEST(Arrays, FailuresCarryTheAllocatorsNumberedMessage) {
  struct Case {
    std::function<void()> alloc;
    const char* message;
  } cases[] = {
      {[] { matrix(0, -1, 0, 3); }, "allocation failure 1 in matrix()"},
      {[] { cmatrix(0, 1 << 30, 0, 1 << 30); }, "allocation failure 2 in matrix()"},
      {[] { usimatrix(0, 1 << 30, 0, 1 << 30); }, "allocation failure 2 in usimatrix()"},
      {[] { uimatrix(0, 1 << 30, 0, 1 << 30); }, "allocation failure 2 in usimatrix()"},
      {[] { f3tensor(0, 1 << 20, 0, 1 << 20, 0, 1 << 20); }, "allocation failure 3 in f3tensor()"},
  };
  for (const Case& c : cases) {
    try {
      c.alloc();
      ADD_FAILURE() << "no failure for " << c.message;
    } catch (const FatalError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(Arrays, AllocationLimitTurnsHugeRequestsIntoFatalErrors) {
  set_allocation_limit(1000);
  EXPECT_THROW(usimatrix(0, 99, 0, 99), FatalError);
  EXPECT_NO_THROW(usimatrix(0, 9, 0, 9));
  set_allocation_limit(0);
}

TEST(Arrays, FatalLinesAreTheThreeFixedLines) {
  std::FILE* f = std::tmpfile();
  print_fatal_lines(f, "allocation failure 2 in usimatrix()");
  std::rewind(f);
  char buf[256] = {};
  const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  EXPECT_EQ(std::string(buf, n),
            "Run-time error...\nallocation failure 2 in usimatrix()\n...now exiting to system...\n");
}

}  // namespace
}  // namespace cbrecon
