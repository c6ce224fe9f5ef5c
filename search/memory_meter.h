// Running count of the bytes the search's containers hold. The pool, the open
// and focal sets, the frontier stores and their index allocate through a
// CountingAllocator that adds every allocation to the Solver's meter and
// takes every release off it, so the memory cap compares one number.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace dulmar {

struct MemoryMeter {
    size_t bytes = 0;
};

template <class T>
class CountingAllocator {
public:
    using value_type = T;
    // A container keeps counting into the meter of the container it was
    // assigned or swapped from.
    using propagate_on_container_copy_assignment = std::true_type;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;

    CountingAllocator() noexcept = default;
    explicit CountingAllocator(MemoryMeter* meter) noexcept : meter_(meter) {}
    template <class U>
    CountingAllocator(const CountingAllocator<U>& other) noexcept : meter_(other.meter()) {}

    T* allocate(size_t n) {
        T* block = std::allocator<T>().allocate(n);
        if (meter_ != nullptr) meter_->bytes += n * sizeof(T);
        return block;
    }
    void deallocate(T* block, size_t n) noexcept {
        std::allocator<T>().deallocate(block, n);
        if (meter_ != nullptr) meter_->bytes -= n * sizeof(T);
    }

    MemoryMeter* meter() const noexcept { return meter_; }

    template <class U>
    bool operator==(const CountingAllocator<U>& other) const noexcept {
        return meter_ == other.meter();
    }
    template <class U>
    bool operator!=(const CountingAllocator<U>& other) const noexcept {
        return meter_ != other.meter();
    }

private:
    MemoryMeter* meter_ = nullptr;
};

}  // namespace dulmar
