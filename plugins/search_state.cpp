#include "plugins/search_state.h"

#include <stdexcept>
#include <string>

namespace dulmar {

namespace {

void check_bit_count(size_t n) {
    if (n > VisitedSet::kBits) {
        throw std::out_of_range("bit count " + std::to_string(n) + " exceeds the visited set's " +
                                std::to_string(VisitedSet::kBits) + " bits");
    }
}

// Mask of the low `bits` bits of a word, bits in 0 .. 63.
uint64_t low_mask(size_t bits) { return (uint64_t{1} << bits) - 1; }

}  // namespace

int64_t VisitedSet::count_below(size_t n) const {
    check_bit_count(n);
    const size_t full = n >> 6;
    int64_t count = 0;
    for (size_t w = 0; w < full; ++w) count += __builtin_popcountll(words[w]);
    if (const size_t rest = n & 63) count += __builtin_popcountll(words[full] & low_mask(rest));
    return count;
}

bool VisitedSet::all_set_below(size_t n) const {
    check_bit_count(n);
    const size_t full = n >> 6;
    for (size_t w = 0; w < full; ++w) {
        if (words[w] != ~uint64_t{0}) return false;
    }
    if (const size_t rest = n & 63) return (words[full] & low_mask(rest)) == low_mask(rest);
    return true;
}

VisitedSet VisitedSet::with_first_clear(size_t n) {
    check_bit_count(n);
    VisitedSet set;
    for (size_t w = 0; w < 4; ++w) {
        const size_t lo = w * 64;
        if (n <= lo) {
            set.words[w] = ~uint64_t{0};
        } else if (n < lo + 64) {
            set.words[w] = ~low_mask(n - lo);
        }
    }
    return set;
}

bool dominates(const SearchState& a, const SearchState& b) {
    if (!(a.g_value <= b.g_value)) return false;  // NaN on either side never dominates
    const size_t agents = a.agent_cost.size();
    if (b.agent_cost.size() != agents) {
        throw std::invalid_argument("cannot compare states with " + std::to_string(agents) + " and " +
                                    std::to_string(b.agent_cost.size()) + " agent costs");
    }
    if (!b.visited.is_subset_of(a.visited)) return false;
    // Only a strictly greater cost disqualifies, so a NaN cost does not.
    for (size_t i = 0; i < agents; ++i) {
        if (a.agent_cost[i] > b.agent_cost[i]) return false;
    }
    const size_t loads = a.extra_values.size();
    if (b.extra_values.size() != loads) {
        throw std::invalid_argument("cannot compare states with " + std::to_string(loads) + " and " +
                                    std::to_string(b.extra_values.size()) + " loads");
    }
    for (size_t i = 0; i < loads; ++i) {
        if (a.extra_values[i] > b.extra_values[i]) return false;
    }
    return true;
}

std::string position_key(const SearchState& state) {
    std::string key;
    key.reserve(state.agent_node.size() * 4);
    for (size_t node : state.agent_node) {
        key += std::to_string(static_cast<int64_t>(node));
        key += '_';
    }
    return key;
}

}  // namespace dulmar
