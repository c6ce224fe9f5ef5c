// Objective plug-ins: turn per-agent costs into a state's objective value
// and, with the heuristic's bound, into its priority.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plugins/plugin_base.h"

namespace dulmar {

// Min-max: the longest route counts.
class DefaultObjective : public ObjectivePlugin {
public:
    std::string name() const override { return "DefaultObjective"; }
    void initialize(const std::vector<size_t>& end_nodes) override { end_nodes_ = end_nodes; }
    // Largest cost; 0 for no agents.
    double evaluate_costs(const std::vector<double>& costs) const override;
    // The larger of the objective value and the remaining work spread evenly
    // over the active agents.
    double evaluate_state(const SearchState& state, int64_t active, double h) const override;

private:
    std::vector<size_t> end_nodes_;  // kept, not read
};

// Min-sum: every route counts.
class MinSumObjective : public ObjectivePlugin {
public:
    std::string name() const override { return "MinSumObjective"; }
    void initialize(const std::vector<size_t>&) override {}
    double evaluate_costs(const std::vector<double>& costs) const override;
    double evaluate_state(const SearchState& state, int64_t active, double h) const override;
};

}  // namespace dulmar
