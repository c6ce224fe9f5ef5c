// The numbers every stage must agree on, each defined once.
#pragma once

#include <cstddef>

namespace dulmar {

// Two costs or objective values closer than this count as equal.
constexpr double kTolerance = 1e-9;

// Cost of an arc that no cost matrix gives; the search's lower bound and its
// reachability test treat it as no connection.
constexpr double kMissingArcCost = 9999.0;

// Most workers (Options::threads) the improvement stage runs side by side.
constexpr int64_t kMaxThreads = 256;

// Largest instance the focal search takes: its visited set has this many bits.
// Larger instances are solved by the improvement stage alone.
constexpr size_t kMaxSearchNodes = 256;

// Above this many nodes a type whose costs come from a metric keeps no table:
// each cost is worked out from the two positions when asked, and the
// improvement stage works with neighbour lists found in the plane.
constexpr size_t kOnDemandNodes = 3000;

}  // namespace dulmar
