#include "improve/removal.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "improve/route_plan.h"

namespace dulmar {

namespace {

size_t uniform(std::mt19937_64& rng, size_t low, size_t high) {
    return std::uniform_int_distribution<size_t>(low, high)(rng);
}

}  // namespace

int64_t Removal::random_target(const StageSolution& s, std::mt19937_64& rng) const {
    const std::vector<int64_t>& targets = model_.targets();
    for (size_t tries = 0; tries < 8 * targets.size() + 8; ++tries) {
        const int64_t v = targets[uniform(rng, 0, targets.size() - 1)];
        if (s.route_of(v) >= 0) return v;
    }
    for (int64_t v : targets)
        if (s.route_of(v) >= 0) return v;
    return -1;
}

void Removal::random(const StageSolution& s, size_t count, std::mt19937_64& rng, std::vector<int64_t>& out) const {
    out.clear();
    std::vector<int64_t>& served = served_;
    served.clear();
    if (model_.very_large()) {
        // Chosen near a seed, so that the iteration stays local.
        const int64_t seed = random_target(s, rng);
        if (seed < 0) return;
        served.push_back(seed);
        for (int64_t v : model_.neighbours(seed))
            if (s.route_of(v) >= 0) served.push_back(v);
    } else {
        for (int64_t v : model_.targets())
            if (s.route_of(v) >= 0) served.push_back(v);
    }
    count = std::min(count, served.size());
    for (size_t i = 0; i < count; ++i) {
        std::swap(served[i], served[uniform(rng, i, served.size() - 1)]);
        out.push_back(served[i]);
    }
}

void Removal::strings(const StageSolution& s, double average, size_t max_string, std::mt19937_64& rng,
                      std::vector<int64_t>& out) const {
    out.clear();
    if (model_.targets().empty()) return;
    size_t served_routes = 0;
    size_t served = 0;
    for (const StageRoute& r : s.routes()) {
        served += r.target_count();
        if (r.target_count() > 0) ++served_routes;
    }
    if (served == 0) return;
    const double mean_route = static_cast<double>(served) / static_cast<double>(std::max<size_t>(served_routes, 1));
    const double longest_string = std::min(static_cast<double>(max_string), mean_route);
    const double most_strings = std::max(1.0, 4.0 * average / (1.0 + longest_string) - 1.0);
    const size_t string_count = static_cast<size_t>(std::floor(std::uniform_real_distribution<double>(1.0, most_strings + 1.0)(rng)));

    int64_t seed = random_target(s, rng);
    if (model_.min_max() && std::uniform_int_distribution<int>(0, 1)(rng) == 0) {
        const StageRoute& longest = s.route(s.longest());
        if (longest.target_count() > 0) seed = longest.nodes[uniform(rng, 1, longest.size() - 2)];
    }
    if (s.penalties() != nullptr && !s.feasible() && std::uniform_int_distribution<int>(0, 1)(rng) == 0) {
        // While plans may break windows, half the ruins start where an agent arrives late.
        late_nodes_.clear();
        for (const StageRoute& route : s.routes()) {
            if (route.violation.late <= 0.0) continue;
            for (size_t p = 1; p + 1 < route.size(); ++p)
                if (route.late_sum[p] > route.late_sum[p - 1]) late_nodes_.push_back(route.nodes[p]);
        }
        if (!late_nodes_.empty()) seed = late_nodes_[uniform(rng, 0, late_nodes_.size() - 1)];
    }
    if (seed < 0) return;

    std::vector<char>& ruined = ruined_;
    ruined.assign(s.routes().size(), 0);
    size_t strings_taken = 0;
    auto take_string_through = [&](int64_t v) {
        const int64_t r = s.route_of(v);
        if (r < 0 || ruined[static_cast<size_t>(r)]) return;
        const StageRoute& route = s.route(static_cast<size_t>(r));
        const size_t targets = route.target_count();
        const size_t longest = std::max<size_t>(1, std::min(targets, static_cast<size_t>(longest_string)));
        const size_t length = uniform(rng, 1, longest);
        const size_t pos = s.position_of(v);
        // The string holds v at a random offset and stays inside the route's targets.
        const size_t low = pos >= length ? std::max<size_t>(1, pos - length + 1) : 1;
        const size_t high = std::min(pos, targets - length + 1);
        const size_t first = uniform(rng, low, std::max(low, high));
        for (size_t p = first; p < first + length && p + 1 < route.size(); ++p) out.push_back(route.nodes[p]);
        ruined[static_cast<size_t>(r)] = 1;
        ++strings_taken;
    };
    take_string_through(seed);
    for (int64_t v : model_.neighbours(seed)) {
        if (strings_taken >= string_count) break;
        take_string_through(v);
    }
}

void Removal::worst(const StageSolution& s, size_t count, std::mt19937_64& rng, std::vector<int64_t>& out) const {
    out.clear();
    std::vector<std::pair<double, int64_t>>& saving = saving_;
    saving.clear();
    const size_t longest = s.longest();
    // On very large instances only the routes through a seed's neighbourhood are weighed.
    std::vector<char>& near = ruined_;
    near.assign(model_.very_large() ? s.routes().size() : 0, 0);
    if (model_.very_large()) {
        const int64_t seed = random_target(s, rng);
        if (seed < 0) return;
        near[static_cast<size_t>(s.route_of(seed))] = 1;
        for (int64_t v : model_.neighbours(seed))
            if (s.route_of(v) >= 0) near[static_cast<size_t>(s.route_of(v))] = 1;
        if (model_.min_max()) near[longest] = 1;
    }
    for (const StageRoute& route : s.routes()) {
        if (!near.empty() && !near[route.agent]) continue;
        for (size_t p = 1; p + 1 < route.size(); ++p) {
            RoutePlan plan(route, p - 1);
            plan.then_rest(route, p + 1);
            double cost = 0.0;
            // Dropping a target can only break a window on a route that waits
            // less; count it as no saving then.
            const double gain = time_plan(s, plan, cost) ? route.cost - cost : 0.0;
            const double weight = model_.min_max() && route.agent == longest ? 2.0 : 1.0;
            saving.emplace_back(-gain * weight, route.nodes[p]);
        }
    }
    std::sort(saving.begin(), saving.end());
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    count = std::min(count, saving.size());
    for (size_t i = 0; i < count; ++i) {
        const size_t pick = static_cast<size_t>(std::pow(unit(rng), 3.0) * static_cast<double>(saving.size()));
        const size_t at = std::min(pick, saving.size() - 1);
        out.push_back(saving[at].second);
        saving.erase(saving.begin() + static_cast<std::ptrdiff_t>(at));
    }
}

void Removal::whole_route(const StageSolution& s, std::mt19937_64& rng, std::vector<int64_t>& out) const {
    out.clear();
    std::vector<size_t> busy;
    for (const StageRoute& r : s.routes())
        if (r.target_count() > 0 && (!model_.very_large() || r.target_count() <= kShortRoute)) busy.push_back(r.agent);
    if (busy.empty()) return;
    size_t pick = busy[uniform(rng, 0, busy.size() - 1)];
    if (model_.min_max() && !model_.very_large() && std::uniform_int_distribution<int>(0, 1)(rng) == 0) {
        pick = s.longest();
    }
    const StageRoute& route = s.route(pick);
    for (size_t p = 1; p + 1 < route.size(); ++p) out.push_back(route.nodes[p]);
}

}  // namespace dulmar
