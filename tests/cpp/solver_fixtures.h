// Small instances for the solver tests, built object by object.
#pragma once

#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/problem.h"

namespace dulmar::testing_support {

struct PointSpec {
    double x;
    double y;
};

// Nodes with ids 0..n-1 at the given points, Euclidean costs for one agent
// type "a", and every node assigned to that type (no set-up warnings).
inline Problem euclidean_problem(const std::vector<PointSpec>& points, size_t agent_count, size_t depot = 0) {
    Problem problem;
    std::vector<std::vector<double>> matrix(points.size(), std::vector<double>(points.size(), 0.0));
    AssignmentConstraint assignment;
    for (size_t i = 0; i < points.size(); ++i) {
        Node node;
        node.id = i;
        node.position = Position{points[i].x, points[i].y, 0.0};
        problem.add_node(node);
        assignment.set_assignment(i, {"a"});
        for (size_t j = 0; j < points.size(); ++j) {
            matrix[i][j] = std::hypot(points[i].x - points[j].x, points[i].y - points[j].y);
        }
    }
    for (size_t k = 0; k < agent_count; ++k) {
        Agent agent;
        agent.id = k;
        agent.type = "a";
        agent.start_node = depot;
        agent.end_node = depot;
        problem.add_agent(agent, k);
    }
    problem.set_cost_matrix("a", matrix);
    problem.set_assignment_constraint(assignment);
    return problem;
}

// `count` points drawn uniformly from the square [0, 100) x [0, 100).
inline std::vector<PointSpec> random_points(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> coordinate(0.0, 100.0);
    std::vector<PointSpec> points;
    for (size_t i = 0; i < count; ++i) points.push_back({coordinate(random), coordinate(random)});
    return points;
}

inline Options options_with(ObjectiveType objective, double seconds = 5.0, bool return_to_end = true) {
    Options options;
    options.objective = objective;
    options.time_limit = seconds;
    options.return_to_end = return_to_end;
    return options;
}

}  // namespace dulmar::testing_support
