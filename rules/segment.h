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

// The same summary for plans that may be late: arriving after a window's end
// the agent is set back to the end and the lateness (time warp) is counted
// instead of failing. Entering at time t, the agent leaves the run at
// min(max(t, lo), hi) + duration, with warp + max(0, t - hi) of lateness.
struct WarpSegment {
    static constexpr double kInf = std::numeric_limits<double>::infinity();

    double duration = 0.0;
    double lo = -kInf;  // entering earlier only waits
    double hi = kInf;   // entering later is late
    double warp = 0.0;  // lateness inside the run, however early it is entered

    static WarpSegment node(double open, double close, double service) {
        return WarpSegment{service, open, close, 0.0};
    }

    // Passes the run entered at time t: t becomes the time the agent leaves
    // it and `late` grows by the run's lateness.
    void pass(double& t, double& late) const {
        if (t > hi) {
            late += t - hi;
            t = hi;
        } else if (t < lo) {
            t = lo;
        }
        t += duration;
        late += warp;
    }
};

// `first`, then a hop costing `hop`, then `second`.
inline WarpSegment join(const WarpSegment& first, double hop, const WarpSegment& second) {
    const double early = first.lo + first.duration + hop;  // leaving `first` at its earliest, then the hop
    const double late = first.hi + first.duration + hop;   // the same at its latest
    WarpSegment s;
    s.warp = first.warp + second.warp;
    if (early > second.hi) {
        // Late at `second` however early `first` is entered.
        s.lo = s.hi = first.lo;
        s.duration = second.hi + second.duration - first.lo;
        s.warp += early - second.hi;
    } else if (late < second.lo) {
        // Waiting at `second` however late `first` is entered.
        s.lo = s.hi = first.hi;
        s.duration = second.lo + second.duration - first.hi;
    } else {
        s.lo = std::max(first.lo, second.lo - first.duration - hop);
        s.hi = std::min(first.hi, second.hi - first.duration - hop);
        s.duration = first.duration + hop + second.duration;
    }
    return s;
}

}  // namespace dulmar
