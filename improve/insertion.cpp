#include "improve/insertion.h"

#include <algorithm>
#include <limits>

#include "improve/route_plan.h"

namespace dulmar {

bool Inserter::ahead(const InsertionPlace& a, const InsertionPlace& b) const {
    if (!a.found) return false;
    if (!b.found) return true;
    if (model_.min_max()) {
        if (a.raise < b.raise - StageSolution::kEpsilon) return true;
        if (a.raise > b.raise + StageSolution::kEpsilon) return false;
    }
    return a.increase < b.increase;
}

InsertionPlace Inserter::best_in(const StageSolution& s, size_t r, int64_t node, const InsertionNoise& noise,
                                 std::mt19937_64& rng) const {
    InsertionPlace best;
    if (!model_.serves(r, node)) return best;
    const StageRoute& route = s.route(r);
    const double longest = s.value().max_cost;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (size_t pos = 1; pos < route.size(); ++pos) {
        if (noise.blink > 0 && unit(rng) < noise.blink) continue;
        RoutePlan plan(route, pos - 1);
        plan.then_node(node).then_rest(route, pos);
        double cost = 0.0;
        if (!time_plan(model_, plan, cost)) continue;
        InsertionPlace place{true, r, pos, cost, std::max(0.0, cost - longest), cost - route.cost};
        if (noise.noise > 0) place.increase *= 1.0 + noise.noise * (2.0 * unit(rng) - 1.0);
        if (ahead(place, best)) best = place;
    }
    return best;
}

InsertionPlace Inserter::best(const StageSolution& s, int64_t node, const InsertionNoise& noise,
                              std::mt19937_64& rng) const {
    InsertionPlace best;
    for (size_t r = 0; r < s.routes().size(); ++r) {
        const InsertionPlace place = best_in(s, r, node, noise, rng);
        if (ahead(place, best)) best = place;
    }
    return best;
}

bool Inserter::greedy(StageSolution& s, const std::vector<int64_t>& nodes, const InsertionNoise& noise,
                      std::mt19937_64& rng) const {
    bool all = true;
    for (int64_t v : nodes) {
        const InsertionPlace place = best(s, v, noise, rng);
        if (!place.found) {
            all = false;
            continue;
        }
        s.insert(place.route, place.pos, v);
    }
    return all;
}

bool Inserter::regret(StageSolution& s, const std::vector<int64_t>& nodes, const InsertionNoise& noise,
                      std::mt19937_64& rng) const {
    const size_t m = s.routes().size();
    std::vector<int64_t>& left = left_;
    left.assign(nodes.begin(), nodes.end());
    // places[i * m + r]: the best place of left[i] on route r
    std::vector<InsertionPlace>& places = places_;
    places.assign(left.size() * m, InsertionPlace{});
    for (size_t i = 0; i < left.size(); ++i)
        for (size_t r = 0; r < m; ++r) places[i * m + r] = best_in(s, r, left[i], noise, rng);

    bool all = true;
    double longest = s.value().max_cost;
    while (!left.empty()) {
        size_t pick = left.size();
        InsertionPlace pick_place;
        double pick_regret = -1.0;
        for (size_t i = 0; i < left.size(); ++i) {
            InsertionPlace first, second;
            for (size_t r = 0; r < m; ++r) {
                InsertionPlace p = places[i * m + r];
                // The longest route may have grown since this place was priced.
                p.raise = std::max(0.0, p.cost - longest);
                if (ahead(p, first)) {
                    second = first;
                    first = p;
                } else if (ahead(p, second)) {
                    second = p;
                }
            }
            if (!first.found) continue;
            // A node with a single possible route goes first.
            double regret = std::numeric_limits<double>::infinity();
            if (second.found) {
                regret = second.increase - first.increase;
                if (model_.min_max()) regret += 10.0 * (second.raise - first.raise);
            }
            if (regret > pick_regret) {
                pick_regret = regret;
                pick = i;
                pick_place = first;
            }
        }
        if (pick == left.size()) {
            all = false;
            break;
        }
        const size_t r = pick_place.route;
        s.insert(r, pick_place.pos, left[pick]);
        left[pick] = left.back();
        left.pop_back();
        for (size_t k = 0; k < m; ++k) places[pick * m + k] = places[left.size() * m + k];
        places.resize(left.size() * m);
        longest = s.value().max_cost;
        for (size_t i = 0; i < left.size(); ++i) places[i * m + r] = best_in(s, r, left[i], noise, rng);
    }
    return all;
}

}  // namespace dulmar
