// The first solution of a very large instance without windows, built from
// tours in the plane instead of by inserting targets one by one: under
// min-sum one tour through every target cut into routes where an agent must
// stop (route first, cluster second); under min-max one tour per sector of
// directions around the shared depot, the sectors resized twice so that their
// tours come out alike in cost.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "improve/stage_solution.h"

namespace dulmar {

// Gives every agent of `s` a route and puts into `left` the targets no route
// took (a type that may not serve them, a capacity, a route limit), for
// insertion. False, with `s` untouched, when the instance does not suit: it
// has windows, or its agents do not share one start and one end node.
// `stop` cuts the tours' improvement short.
bool tour_routes(const StageModel& model, StageSolution& s, std::vector<int64_t>& left,
                 const std::function<bool()>& stop);

}  // namespace dulmar
