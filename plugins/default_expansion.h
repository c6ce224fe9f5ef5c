// Chooses the one agent whose moves are generated from a state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plugins/plugin_base.h"

namespace dulmar {

class DefaultExpansion : public ExpansionPlugin {
public:
    std::string name() const override { return "DefaultExpansion"; }
    // The list's length is the agent count.
    void initialize(const std::vector<size_t>& end_nodes) override;
    // The unfinished agent with the smallest cost, lowest index on ties; -1 if none.
    int64_t select_agent(const SearchState& state) const override;

    size_t agent_count() const { return agent_count_; }

private:
    std::vector<size_t> end_nodes_;
    size_t agent_count_ = 0;
};

}  // namespace dulmar
