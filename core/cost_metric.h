// Arc costs computed from node positions instead of given as a matrix: a
// type's costs may be `factor` times the planar distance between two nodes,
// optionally rounded to the nearest integer. The Solver's set-up turns a
// metric into the very numbers a matrix with those entries would hold.
#pragma once

#include <cmath>
#include <string>

namespace dulmar {

enum class MetricKind { Euclidean };

struct CostMetric {
    MetricKind kind = MetricKind::Euclidean;
    double factor = 1.0;      // finite, >= 0
    bool round_nint = false;  // round each entry after the factor

    // Cost from (ax, ay) to (bx, by): sqrt(dx * dx + dy * dy) * factor, in
    // this order of operations, then floor(d + 0.5) when rounding. Inline:
    // costs worked out on demand call it in the stage's hottest loops.
    double cost(double ax, double ay, double bx, double by) const {
        const double dx = ax - bx;
        const double dy = ay - by;
        const double d = std::sqrt(dx * dx + dy * dy) * factor;
        return round_nint ? std::floor(d + 0.5) : d;
    }
};

// Checks the names and the factor of a metric for `agent_type`: "euclidean";
// "" or "nint"; a finite factor >= 0. Faults raise std::invalid_argument
// naming the type, the key and the value.
CostMetric make_cost_metric(const std::string& agent_type, const std::string& metric, double factor,
                            const std::string& round);

// The message of a faulty metric key, shared by every road that reads one.
std::string metric_fault(const std::string& agent_type, const char* key, const std::string& value,
                         const std::string& why);

}  // namespace dulmar
