#include "postopt/composite_post_optimizer.h"

#include <utility>

namespace dulmar {

CompositePostOptimizer::~CompositePostOptimizer() {
    // Children go in the order they were added, which a vector does not promise.
    for (auto& child : children_) child.reset();
}

void CompositePostOptimizer::add(std::unique_ptr<PostOptimizerPlugin> child) {
    if (child) children_.push_back(std::move(child));
}

void CompositePostOptimizer::optimize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                      const std::vector<AgentRecord>& agents, Result& result) {
    for (auto& child : children_) child->optimize(graph, nodes, agents, result);
}

void CompositePostOptimizer::set_return_to_end(bool return_to_end) {
    for (auto& child : children_) child->set_return_to_end(return_to_end);
}

void CompositePostOptimizer::set_start_nodes(const std::vector<size_t>& start_nodes) {
    for (auto& child : children_) child->set_start_nodes(start_nodes);
}

void CompositePostOptimizer::set_end_nodes(const std::vector<size_t>& end_nodes) {
    for (auto& child : children_) child->set_end_nodes(end_nodes);
}

void CompositePostOptimizer::set_time_windows(const TimeWindowMap& time_windows) {
    for (auto& child : children_) child->set_time_windows(time_windows);
}

void CompositePostOptimizer::set_enforce_capacity(bool enforce) {
    for (auto& child : children_) child->set_enforce_capacity(enforce);
}

void CompositePostOptimizer::attach(const std::shared_ptr<const PreparedInstance>& instance) {
    for (auto& child : children_) child->attach(instance);
}

}  // namespace dulmar
