// Base of the post-optimisers that judge routes with a RouteEvaluator: the
// Solver's prepared instance, or the settings it hands over, go straight into
// the evaluator.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "plugins/plugin_base.h"
#include "rules/route_evaluator.h"

namespace dulmar {

class RouteEvaluatingPostOptimizer : public PostOptimizerPlugin {
public:
    void set_return_to_end(bool return_to_end) override { evaluator_.set_return_to_end(return_to_end); }
    void set_start_nodes(const std::vector<size_t>& start_nodes) override { evaluator_.set_start_nodes(start_nodes); }
    void set_end_nodes(const std::vector<size_t>& end_nodes) override { evaluator_.set_end_nodes(end_nodes); }
    void set_time_windows(const TimeWindowMap& time_windows) override { evaluator_.set_time_windows(time_windows); }
    void set_enforce_capacity(bool enforce) override { evaluator_.set_enforce_capacity(enforce); }
    void attach(const std::shared_ptr<const PreparedInstance>& instance) override { evaluator_.attach(instance); }

    const RouteEvaluator& evaluator() const { return evaluator_; }

protected:
    RouteEvaluator evaluator_;
};

}  // namespace dulmar
