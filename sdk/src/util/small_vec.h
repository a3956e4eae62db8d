// A vector of trivially copyable values with inline room for N elements: the
// sensor arrays have small, known sizes, so decoding them needs no heap.
// Longer inputs spill to the heap and keep working.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <type_traits>

namespace tvis {

template <class T, size_t N>
class SmallVec {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  SmallVec() noexcept {}  // leaves the inline room uninitialised: nothing reads it before a push
  SmallVec(std::initializer_list<T> init) { assign(init.begin(), init.size()); }
  SmallVec(const SmallVec& other) { assign(other.data(), other.size()); }
  SmallVec& operator=(const SmallVec& other) {
    if (this != &other) {
      size_ = 0;
      assign(other.data(), other.size());
    }
    return *this;
  }
  SmallVec(SmallVec&& other) noexcept { take(other); }
  SmallVec& operator=(SmallVec&& other) noexcept {
    if (this != &other) {
      if (heap_) std::free(heap_);
      heap_ = nullptr;
      capacity_ = N;
      take(other);
    }
    return *this;
  }
  ~SmallVec() {
    if (heap_) std::free(heap_);
  }

  T* data() { return heap_ ? heap_ : inline_; }
  const T* data() const { return heap_ ? heap_ : inline_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  T& operator[](size_t i) { return data()[i]; }
  const T& operator[](size_t i) const { return data()[i]; }

  size_t capacity() const { return capacity_; }
  void clear() { size_ = 0; }
  void reserve(size_t n) {
    if (n > capacity_) grow(std::max(n, capacity_ * 2));
  }
  // For writers that fill data() in bulk: the elements below n are written.
  void set_size(size_t n) { size_ = n; }
  void push_back(T value) {
    if (size_ == capacity_) grow(capacity_ * 2);
    data()[size_++] = value;
  }

  friend bool operator==(const SmallVec& a, const SmallVec& b) {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  void assign(const T* src, size_t n) {
    if (n > capacity_) grow(n);
    if (n) std::memcpy(data(), src, n * sizeof(T));
    size_ = n;
  }
  void take(SmallVec& other) noexcept {
    if (other.heap_) {
      heap_ = other.heap_;
      capacity_ = other.capacity_;
      other.heap_ = nullptr;
      other.capacity_ = N;
    } else if (other.size_) {
      std::memcpy(inline_, other.inline_, other.size_ * sizeof(T));
    }
    size_ = other.size_;
    other.size_ = 0;
  }
  void grow(size_t want) {
    T* bigger = static_cast<T*>(std::malloc(want * sizeof(T)));
    if (!bigger) throw std::bad_alloc();
    if (size_) std::memcpy(bigger, data(), size_ * sizeof(T));
    if (heap_) std::free(heap_);
    heap_ = bigger;
    capacity_ = want;
  }

  T inline_[N];
  T* heap_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = N;
};

}  // namespace tvis
