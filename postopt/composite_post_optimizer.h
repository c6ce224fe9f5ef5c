// A chain of post-optimisers behind one slot: every call is forwarded to the
// children in the order they were added.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "plugins/plugin_base.h"

namespace dulmar {

class CompositePostOptimizer : public PostOptimizerPlugin {
public:
    CompositePostOptimizer() = default;
    CompositePostOptimizer(const CompositePostOptimizer&) = delete;
    CompositePostOptimizer& operator=(const CompositePostOptimizer&) = delete;
    ~CompositePostOptimizer() override;

    std::string name() const override { return "CompositePostOptimizer"; }
    void optimize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                  const std::vector<AgentRecord>& agents, Result& result) override;
    void set_return_to_end(bool return_to_end) override;
    void set_start_nodes(const std::vector<size_t>& start_nodes) override;
    void set_end_nodes(const std::vector<size_t>& end_nodes) override;
    void set_time_windows(const TimeWindowMap& time_windows) override;
    void set_enforce_capacity(bool enforce) override;
    void attach(const std::shared_ptr<const PreparedInstance>& instance) override;

    // A null child is ignored.
    void add(std::unique_ptr<PostOptimizerPlugin> child);
    size_t size() const { return children_.size(); }

private:
    std::vector<std::unique_ptr<PostOptimizerPlugin>> children_;
};

}  // namespace dulmar
