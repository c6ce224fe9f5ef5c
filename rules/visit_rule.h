// The timing of a visit, the capacity rule and the route limit, in one place
// for the search's checkers, the route evaluator and the improvement stage.
#pragma once

#include <algorithm>

#include "rules/segment.h"
#include "rules/tables.h"

namespace dulmar {

// Enters a node at time t: false when t is past the end of its window
// (`window` null: none); otherwise service starts at the later of t and the
// window's start, and t becomes the time the agent leaves, `service` later.
inline bool visit_node(const TimeWindow* window, double service, double& t) {
    if (window != nullptr) {
        if (t > window->end) return false;
        t = std::max(window->start, t);
    }
    // Skipped at 0 so that instances without service keep their exact times.
    if (service > 0.0) t += service;
    return true;
}

// The same visit in the summary form that joins runs of visits (segment.h):
// passing it at time t gives what visit_node gives.
inline Segment visit_segment(const TimeWindow* window, double service) {
    if (window != nullptr) return Segment::node(window->start, window->end, service);
    return service > 0 ? Segment::node(-Segment::kInf, Segment::kInf, service) : Segment{};
}

// The visit of a plan that may break windows: arriving after the window's
// end, the agent is set back to it and `late` grows by the lateness; then as
// visit_node. On time, exactly visit_node.
inline void visit_node_late(const TimeWindow* window, double service, double& t, double& late) {
    if (window != nullptr && t > window->end) {
        late += t - window->end;
        t = window->end;
    }
    visit_node(window, service, t);
}

inline WarpSegment visit_warp_segment(const TimeWindow* window, double service) {
    if (window != nullptr) return WarpSegment::node(window->start, window->end, service);
    return WarpSegment::node(-WarpSegment::kInf, WarpSegment::kInf, service);
}

// A route carrying `load` fits an agent of this capacity; 0 means no limit.
inline bool within_capacity(double load, double capacity) { return capacity <= 0.0 || load <= capacity; }

// A route costing `cost` keeps to an agent's route limit; 0 or less means none.
inline bool within_route_limit(double cost, double limit) { return limit <= 0.0 || cost <= limit; }

}  // namespace dulmar
