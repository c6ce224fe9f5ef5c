// Expanded states that share one set of agent positions and do not dominate
// one another; a new state is pruned when one of them dominates it.
#pragma once

#include <vector>

#include "search/search_state.h"

namespace dulmar {

class Frontier {
public:
    virtual ~Frontier() = default;
    virtual bool is_dominated(const SearchState& state) const;
    // Drops every stored state that `state` dominates, stores a copy of it and
    // returns how many were dropped.
    virtual int insert(const SearchState& state);

    const std::vector<SearchState>& stored() const { return states; }

private:
    std::vector<SearchState> states;
};

}  // namespace dulmar
