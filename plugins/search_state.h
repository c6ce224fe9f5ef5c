// One node of the focal search: every agent's position and accumulated cost,
// the set of visited nodes, the state's values and the agents' finished
// flags. Also the small entries the open and focal sets hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rules/limits.h"

namespace dulmar {

// 256 node bits in four words; bit i lives in word i / 64 at bit i % 64.
struct VisitedSet {
    static constexpr size_t kBits = kMaxSearchNodes;
    static_assert(kBits == 4 * 64, "the visited set holds four words");
    uint64_t words[4] = {0, 0, 0, 0};

    bool test(size_t i) const { return (words[i >> 6] >> (i & 63)) & 1u; }
    void set(size_t i) { words[i >> 6] |= uint64_t{1} << (i & 63); }
    void reset(size_t i) { words[i >> 6] &= ~(uint64_t{1} << (i & 63)); }

    // Every bit of *this is also set in `other`.
    bool is_subset_of(const VisitedSet& other) const {
        return (words[0] & ~other.words[0]) == 0 && (words[1] & ~other.words[1]) == 0 &&
               (words[2] & ~other.words[2]) == 0 && (words[3] & ~other.words[3]) == 0;
    }
    // Number of set bits among bits 0 .. n-1 (n <= 256).
    int64_t count_below(size_t n) const;
    // Bits 0 .. n-1 are all set (n <= 256).
    bool all_set_below(size_t n) const;
    // Bits 0 .. n-1 clear, bits n .. 255 set.
    static VisitedSet with_first_clear(size_t n);

    bool operator==(const VisitedSet& other) const {
        return words[0] == other.words[0] && words[1] == other.words[1] && words[2] == other.words[2] &&
               words[3] == other.words[3];
    }
};

struct SearchState {
    size_t id = 0;
    std::vector<size_t> agent_node;
    std::vector<double> agent_cost;
    // Each agent's load when the Solver enforces capacities; else empty.
    std::vector<double> extra_values;
    VisitedSet visited;
    int32_t node_count = -1;
    double h_value = 0.0;
    double g_value = 0.0;
    double f_value = 0.0;
    int64_t active_agents = 0;
    int64_t last_agent = 0;
    std::vector<char> agent_done;
};

struct OpenEntry {
    double f_value = 0.0;
    size_t id = 0;

    bool operator<(const OpenEntry& other) const {
        if (f_value != other.f_value) return f_value < other.f_value;
        return id < other.id;
    }
};

struct FocalEntry {
    size_t id = 0;
    int64_t visited_count = 0;
    int64_t active_agents = 0;
    double f_value = 0.0;
    double total_length = 0.0;
};

// a dominates b: no worse objective value, no agent costlier or (where states
// carry loads) more loaded, and b's visited set contained in a's. Positions,
// flags and the other values play no part.
bool dominates(const SearchState& a, const SearchState& b);

// The position key: every agent's node as a signed decimal followed by "_".
std::string position_key(const SearchState& state);

}  // namespace dulmar
