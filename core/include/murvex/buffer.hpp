// A growable array of trivially copyable values on malloc/realloc.
//
// Unlike std::vector, growing a large buffer goes through realloc, which can
// move its pages instead of copying them into a new block and leaving the
// old one behind in the heap: a store's memory stays close to what it holds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace murvex {

template <class T>
class PodBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    PodBuffer() noexcept = default;
    PodBuffer(PodBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    PodBuffer& operator=(PodBuffer&& other) noexcept {
        PodBuffer(std::move(other)).swap(*this);
        return *this;
    }
    PodBuffer(const PodBuffer&) = delete;
    PodBuffer& operator=(const PodBuffer&) = delete;
    ~PodBuffer() { std::free(data_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    // Room for at least n values. Throws std::bad_alloc and changes nothing
    // when memory runs out.
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* grown = std::realloc(data_, n * sizeof(T));
        if (!grown) throw std::bad_alloc();
        data_ = static_cast<T*>(grown);
        capacity_ = n;
    }

    // reserve() that tells whether the room could be had instead of throwing.
    bool try_reserve(std::size_t n) noexcept {
        if (n <= capacity_) return true;
        if (n > SIZE_MAX / sizeof(T)) return false;
        void* grown = std::realloc(data_, n * sizeof(T));
        if (!grown) return false;
        data_ = static_cast<T*>(grown);
        capacity_ = n;
        return true;
    }

    // Room for n more values; the room at least doubles when it runs out, so
    // that growing one value at a time stays cheap.
    void make_room(std::size_t n) {
        if (n <= capacity_ - size_) return;
        if (n > SIZE_MAX / sizeof(T) - size_) throw std::bad_alloc();
        reserve(std::max(size_ + n, capacity_ * 2));
    }

    // Adds n values left uninitialised and returns the first.
    T* grow_by(std::size_t n) {
        make_room(n);
        T* first = data_ + size_;
        size_ += n;
        return first;
    }

    void push_back(const T& value) { *grow_by(1) = value; }

    // Drops values from the end (or all); the room stays.
    void truncate(std::size_t n) noexcept { size_ = n < size_ ? n : size_; }

    // Removes the value at index i; later values move down one place.
    void erase(std::size_t i) noexcept {
        std::memmove(data_ + i, data_ + i + 1, (size_ - i - 1) * sizeof(T));
        --size_;
    }

    // Gives all memory back.
    void release() noexcept { PodBuffer().swap(*this); }

    // Gives back the room past the values, where the system can take it.
    void shrink_to_fit() noexcept {
        if (size_ == capacity_) return;
        if (size_ == 0) return release();
        if (void* shrunk = std::realloc(data_, size_ * sizeof(T))) {
            data_ = static_cast<T*>(shrunk);
            capacity_ = size_;
        }
    }

    void swap(PodBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace murvex
