// The ruin half of ruin and recreate: ways to choose targets to take off
// their routes. Each operator only chooses; the stage removes and reinserts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "improve/stage_solution.h"

namespace dulmar {

class Removal {
public:
    // On very large instances the longest route whole_route takes.
    static constexpr size_t kShortRoute = 30;

    explicit Removal(const StageModel& model) : model_(model) {}

    // `count` targets chosen uniformly (on very large instances among a
    // random target and its neighbours).
    void random(const StageSolution& s, size_t count, std::mt19937_64& rng, std::vector<int64_t>& out) const;
    // Strings of consecutive targets from routes near a seed target: on
    // average `average` targets in strings of at most `max_string`. Under
    // min-max the seed comes from the longest route half of the time.
    void strings(const StageSolution& s, double average, size_t max_string, std::mt19937_64& rng,
                 std::vector<int64_t>& out) const;
    // `count` targets whose removal saves the most, chosen with a bias
    // towards the costliest; under min-max the longest route's count double.
    // On very large instances only routes near a random target are weighed.
    void worst(const StageSolution& s, size_t count, std::mt19937_64& rng, std::vector<int64_t>& out) const;
    // Every target of one route: the longest one under min-max half of the
    // time, else a random route that serves targets (on very large instances
    // a random one of at most kShortRoute targets, or none).
    void whole_route(const StageSolution& s, std::mt19937_64& rng, std::vector<int64_t>& out) const;

private:
    int64_t random_target(const StageSolution& s, std::mt19937_64& rng) const;

    const StageModel& model_;
    // Working buffers, kept so that a ruin allocates nothing once warm.
    mutable std::vector<int64_t> served_;
    mutable std::vector<char> ruined_;
    mutable std::vector<std::pair<double, int64_t>> saving_;
    mutable std::vector<int64_t> late_nodes_;
};

}  // namespace dulmar
