#include "search/frontier.h"

#include <algorithm>

namespace dulmar {

bool Frontier::is_dominated(const SearchState& state) const {
    for (const SearchState& stored_state : states) {
        if (dominates(stored_state, state)) return true;
    }
    return false;
}

int Frontier::insert(const SearchState& state) {
    const auto survivors_end = std::remove_if(states.begin(), states.end(),
                                              [&](const SearchState& stored_state) { return dominates(state, stored_state); });
    const int dropped = static_cast<int>(states.end() - survivors_end);
    states.erase(survivors_end, states.end());
    states.push_back(state);
    return dropped;
}

}  // namespace dulmar
