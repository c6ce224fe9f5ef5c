// Timing summary of a run of consecutive route nodes, so that moves which
// splice runs together are timed without walking them. Entering the run's
// first node at time t, the agent leaves its last node at
// max(t + duration, earliest), and only when t <= latest. Waiting for a window
// and service time fold into this form, and two runs joined by a hop keep it.
#pragma once

#include <algorithm>
#include <limits>

namespace dulmar {

struct Segment {
    static constexpr double kInf = std::numeric_limits<double>::infinity();

    double duration = 0.0;
    double earliest = -kInf;
    double latest = kInf;

    // A single node with window [open, close] (infinite when it has none) and
    // `service` time spent there.
    static Segment node(double open, double close, double service) {
        return Segment{service, open + service, close};
    }

    bool feasible() const { return latest != -kInf; }

    // Passes the run entered at time t: false when t is too late, else t
    // becomes the time the agent leaves the run.
    bool pass(double& t) const {
        if (t > latest) return false;
        t = std::max(t + duration, earliest);
        return true;
    }
};

// `first`, then a hop costing `hop`, then `second`.
inline Segment join(const Segment& first, double hop, const Segment& second) {
    Segment s;
    s.duration = first.duration + hop + second.duration;
    s.earliest = std::max(first.earliest + hop + second.duration, second.earliest);
    const bool reachable = first.earliest + hop <= second.latest;
    s.latest = reachable ? std::min(first.latest, second.latest - hop - first.duration) : -Segment::kInf;
    return s;
}

}  // namespace dulmar
