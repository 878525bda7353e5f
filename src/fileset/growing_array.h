// An array of plain values that grows without copying itself where the C
// library can avoid it.
//
// A listing of a large release holds hundreds of kilobytes of names. A
// standard container grows by moving into a block twice its size, so every
// byte is written twice and twice as many fresh pages are touched; and a fresh
// page is one of the dearest things a short run pays for. realloc can grow a
// large block in place by remapping its pages instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kuvo {

template <typename T>
class GrowingArray {
  static_assert(std::is_trivially_copyable_v<T>, "moved as bytes");

 public:
  GrowingArray() = default;
  GrowingArray(const GrowingArray&) = delete;
  GrowingArray& operator=(const GrowingArray&) = delete;
  GrowingArray(GrowingArray&& other) noexcept { swap(other); }
  GrowingArray& operator=(GrowingArray&& other) noexcept {
    GrowingArray(std::move(other)).swap(*this);
    return *this;
  }
  ~GrowingArray() { std::free(data_); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  // Appends `count` values; ends the run as a failed `new` does when there is
  // no memory for them.
  void append(const T* values, std::size_t count) {
    if (count > capacity_ - size_) grow(count);
    if (count > 0) std::memcpy(data_ + size_, values, count * sizeof(T));
    size_ += count;
  }
  void push_back(const T& value) { append(&value, 1); }

  void swap(GrowingArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  // As operator new does when it cannot allocate: the run's handler, which
  // ends it; without one, bad_alloc.
  static void out_of_memory() {
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }

  void grow(std::size_t count) {
    // No block may hold more than PTRDIFF_MAX bytes.
    constexpr std::size_t kMost = PTRDIFF_MAX / sizeof(T);
    if (count > kMost - size_) {
      out_of_memory();
      throw std::bad_alloc();  // a handler that returns cannot make room for this
    }
    std::size_t capacity = capacity_ < 64 ? 64 : capacity_;
    while (capacity - size_ < count) capacity = capacity > kMost / 2 ? kMost : capacity * 2;
    for (;;) {
      if (void* grown = std::realloc(data_, capacity * sizeof(T))) {
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
        return;
      }
      out_of_memory();
    }
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The `size` bytes of `text` from `offset`; a text that never held a byte
// gives views of a static empty string, never of a null pointer.
inline std::string_view view_of(const GrowingArray<char>& text, std::size_t offset,
                                std::size_t size) {
  if (text.data() == nullptr) return std::string_view("", 0);
  return std::string_view(text.data() + offset, size);
}

}  // namespace kuvo
