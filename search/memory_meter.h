// Running count of the bytes the search's containers hold. The pool, the open
// and focal sets, the frontier stores and their index allocate through a
// CountingAllocator that adds every allocation to the Solver's meter and
// takes every release off it, so the memory cap compares one number.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace dulmar {

struct MemoryMeter {
    size_t bytes = 0;
};

// What the heap takes for a block of `bytes`: the allocator's header, the
// rounding to 16 bytes, 32 at least. The search holds millions of small
// nodes, so counting this keeps a cap close to the resident memory.
constexpr size_t heap_block_bytes(size_t bytes) { return std::max<size_t>(32, (bytes + 8 + 15) & ~size_t{15}); }

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
        if (meter_ != nullptr) meter_->bytes += heap_block_bytes(n * sizeof(T));
        return block;
    }
    void deallocate(T* block, size_t n) noexcept {
        std::allocator<T>().deallocate(block, n);
        if (meter_ != nullptr) meter_->bytes -= heap_block_bytes(n * sizeof(T));
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

// Text whose heap part (beyond the inline buffer) is counted too.
using CountedString = std::basic_string<char, std::char_traits<char>, CountingAllocator<char>>;

struct CountedStringHash {
    size_t operator()(const CountedString& text) const noexcept {
        return std::hash<std::string_view>()(std::string_view(text.data(), text.size()));
    }
};

// Counts a fixed number of bytes on a meter for as long as it lives (and
// again for every copy): the size of an object held through a plain pointer.
class MeterCharge {
public:
    MeterCharge(MemoryMeter* meter, size_t bytes) noexcept : meter_(meter), bytes_(bytes) { add(); }
    MeterCharge(const MeterCharge& other) noexcept : meter_(other.meter_), bytes_(other.bytes_) { add(); }
    MeterCharge& operator=(const MeterCharge& other) noexcept {
        if (this != &other) {
            remove();
            meter_ = other.meter_;
            bytes_ = other.bytes_;
            add();
        }
        return *this;
    }
    ~MeterCharge() { remove(); }

private:
    void add() noexcept {
        if (meter_ != nullptr) meter_->bytes += bytes_;
    }
    void remove() noexcept {
        if (meter_ != nullptr) meter_->bytes -= bytes_;
    }
    MemoryMeter* meter_;
    size_t bytes_;
};

}  // namespace dulmar
