// A fixed-size array of trivial values in its own anonymous mapping, asked
// to be backed by huge pages. Large random-access tables spend most of a
// lookup on address translation with small pages; with huge pages one
// translation entry covers 2 MB. The array starts zero-filled and a page
// only becomes resident when first written.
//
// Ownership: unmapped on destruction; movable, not copyable. Allocation
// failure throws std::bad_alloc, like the standard containers.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace quarn {

template <class T>
class MappedArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  MappedArray() = default;
  explicit MappedArray(std::size_t size) : size_(size) {
    if (size == 0) return;
    bytes_ = size * sizeof(T);
    void* p = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    if (bytes_ >= kHugePage) ::madvise(p, bytes_, MADV_HUGEPAGE);  // a hint; failure is harmless
    data_ = static_cast<T*>(p);
  }
  MappedArray(MappedArray&& other) noexcept { swap(other); }
  MappedArray& operator=(MappedArray&& other) noexcept {
    MappedArray(std::move(other)).swap(*this);
    return *this;
  }
  MappedArray(const MappedArray&) = delete;
  MappedArray& operator=(const MappedArray&) = delete;
  ~MappedArray() {
    if (data_ != nullptr) ::munmap(data_, bytes_);
  }

  void swap(MappedArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(bytes_, other.bytes_);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace quarn
