// Index-range arrays: 2-D and 3-D arrays addressed between caller-given
// bounds, stored as one contiguous row-major block so that a whole image or
// volume moves in one transfer.
//
//   Matrix<T> m = matrix(rlo, rhi, clo, chi);   m[r][c], rlo<=r<=rhi, clo<=c<=chi
//   Tensor3<T> t = f3tensor(...);               t[plane][row][element]
//
// The element block is 64-byte aligned and uninitialised.  Ownership is RAII:
// the block is released when the handle goes out of scope.  Every allocator
// reports failure through fatal_error() with its numbered message (the
// first/second/third allocation of the classic layout: bounds, element block
// of a matrix or row table of a tensor, element block of a tensor).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "numeric/error.h"

namespace cbrecon {

namespace detail {
struct FreeDeleter {
  void operator()(void* p) const noexcept;
};
// Allocates `count` elements of `elem_size` bytes, 64-byte aligned; throws
// FatalError(msg_bounds) for a negative extent and FatalError(msg_block) when
// the block cannot be had (overflow, over the allocation limit, or malloc
// failure).
void* alloc_block(long long nrow, long long ncol, long long ndep, size_t elem_size,
                  const char* msg_bounds, const char* msg_block);
}  // namespace detail

// Upper bound on a single block, in bytes.  Defaults to the machine's
// physical memory, so that an absurd size fails cleanly instead of being
// overcommitted and killed later.  Tests lower it to provoke failures.
void set_allocation_limit(size_t bytes);
size_t allocation_limit();
size_t physical_memory_bytes();
// Memory the machine can give now (MemAvailable; physical memory if unknown).
size_t available_memory_bytes();

template <class T>
class Matrix {
 public:
  Matrix() = default;
  Matrix(long rlo, long rhi, long clo, long chi, const char* msg1, const char* msg2)
      : rlo_(rlo), clo_(clo), nrow_(rhi - rlo + 1), ncol_(chi - clo + 1) {
    block_.reset(static_cast<T*>(detail::alloc_block(nrow_, ncol_, 1, sizeof(T), msg1, msg2)));
  }
  T* operator[](long r) { return block_.get() + (r - rlo_) * ncol_ - clo_; }
  const T* operator[](long r) const { return block_.get() + (r - rlo_) * ncol_ - clo_; }
  T* data() { return block_.get(); }
  const T* data() const { return block_.get(); }
  long nrow() const { return nrow_; }
  long ncol() const { return ncol_; }
  size_t size() const { return static_cast<size_t>(nrow_) * static_cast<size_t>(ncol_); }
  bool empty() const { return !block_; }

 private:
  long rlo_ = 0, clo_ = 0, nrow_ = 0, ncol_ = 0;
  std::unique_ptr<T[], detail::FreeDeleter> block_;
};

template <class T>
class Tensor3 {
 public:
  Tensor3() = default;
  // `plane_pad` elements of padding after every plane (0: one contiguous
  // run).  A large power-of-two plane size makes the same element of
  // successive planes compete for one cache set; a pad of a cache line
  // spreads them out.
  Tensor3(long rlo, long rhi, long clo, long chi, long dlo, long dhi, long plane_pad = 0)
      : rlo_(rlo), clo_(clo), dlo_(dlo), nrow_(rhi - rlo + 1), ncol_(chi - clo + 1),
        ndep_(dhi - dlo + 1), pitch_(ncol_ * ndep_ + (plane_pad > 0 ? plane_pad : 0)) {
    if (nrow_ <= 0 || ncol_ <= 0 || ndep_ <= 0) fatal_error("allocation failure 1 in f3tensor()");
    block_.reset(static_cast<T*>(detail::alloc_block(nrow_, pitch_, 1, sizeof(T),
                                                     "allocation failure 1 in f3tensor()",
                                                     "allocation failure 3 in f3tensor()")));
  }
  // Plane i as a row accessor: t[i][j] is a pointer to row j of plane i.
  class Plane {
   public:
    Plane(T* base, long clo, long ncol, long ndep, long dlo)
        : base_(base), clo_(clo), ndep_(ndep), dlo_(dlo) { (void)ncol; }
    T* operator[](long j) const { return base_ + (j - clo_) * ndep_ - dlo_; }

   private:
    T* base_;
    long clo_, ndep_, dlo_;
  };
  Plane operator[](long i) {
    return Plane(block_.get() + (i - rlo_) * pitch_, clo_, ncol_, ndep_, dlo_);
  }
  // Elements from one plane to the next (ncol * ndep without padding).
  long plane_pitch() const { return pitch_; }
  // Elements of the whole block, padding included.
  size_t storage_size() const { return static_cast<size_t>(nrow_) * static_cast<size_t>(pitch_); }
  T* data() { return block_.get(); }
  const T* data() const { return block_.get(); }
  long nplane() const { return nrow_; }
  long nrow() const { return ncol_; }
  long ncol() const { return ndep_; }
  size_t size() const {
    return static_cast<size_t>(nrow_) * static_cast<size_t>(ncol_) * static_cast<size_t>(ndep_);
  }

 private:
  long rlo_ = 0, clo_ = 0, dlo_ = 0, nrow_ = 0, ncol_ = 0, ndep_ = 0, pitch_ = 0;
  std::unique_ptr<T[], detail::FreeDeleter> block_;
};

// The allocators, named after their element type and shape.
Matrix<float> matrix(long rlo, long rhi, long clo, long chi);
Matrix<char> cmatrix(long rlo, long rhi, long clo, long chi);
Matrix<uint16_t> usimatrix(long rlo, long rhi, long clo, long chi);
Matrix<uint32_t> uimatrix(long rlo, long rhi, long clo, long chi);
Tensor3<float> f3tensor(long rlo, long rhi, long clo, long chi, long dlo, long dhi,
                        long plane_pad = 0);

// Releases a decoded image before its handle goes out of scope.
inline void free_uimatrix(Matrix<uint32_t>& m) { m = Matrix<uint32_t>(); }

}  // namespace cbrecon
