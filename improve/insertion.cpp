#include "improve/insertion.h"

#include <algorithm>
#include <limits>

#include "improve/route_plan.h"

namespace dulmar {

bool Inserter::ahead(const InsertionPlace& a, const InsertionPlace& b) const {
    if (!a.found) return false;
    if (!b.found) return true;
    if (model_.min_max()) {
        if (a.raise < b.raise - kTolerance) return true;
        if (a.raise > b.raise + kTolerance) return false;
    }
    return a.increase < b.increase;
}

void Inserter::try_place(const StageSolution& s, size_t r, size_t pos, int64_t node, const InsertionNoise& noise,
                         std::mt19937_64& rng, InsertionPlace& best) const {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    if (noise.blink > 0 && unit(rng) < noise.blink) return;
    const StageRoute& route = s.route(r);
    RoutePlan plan(route, pos - 1);
    plan.then_node(node).then_rest(route, pos);
    double cost = 0.0;
    if (!time_plan(s, plan, cost)) return;
    InsertionPlace place{true, r, pos, cost, std::max(0.0, cost - s.value().max_cost), cost - route.cost};
    if (noise.noise > 0) place.increase *= 1.0 + noise.noise * (2.0 * unit(rng) - 1.0);
    if (ahead(place, best)) best = place;
}

InsertionPlace Inserter::best_in(const StageSolution& s, size_t r, int64_t node, const InsertionNoise& noise,
                                 std::mt19937_64& rng) const {
    InsertionPlace best;
    if (!model_.serves(r, node)) return best;
    for (size_t pos = 1; pos < s.route(r).size(); ++pos) try_place(s, r, pos, node, noise, rng, best);
    return best;
}

bool Inserter::price_near(const StageSolution& s, int64_t node, size_t only, const InsertionNoise& noise,
                          std::mt19937_64& rng, InsertionPlace* per_route) const {
    const size_t m = s.routes().size();
    slots_.clear();
    size_t near = 0;
    for (int64_t u : model_.neighbours(node)) {
        if (near == kNearTargets) break;
        const int64_t r = s.route_of(u);
        if (r < 0 || !model_.serves(static_cast<size_t>(r), node)) continue;
        ++near;
        const size_t p = s.position_of(u);
        slots_.push_back(Slot{static_cast<size_t>(r), p});
        slots_.push_back(Slot{static_cast<size_t>(r), p + 1});
    }
    for (size_t r = 0; r < m; ++r)
        if (s.route(r).target_count() == 0 && model_.serves(r, node)) slots_.push_back(Slot{r, 1});
    std::sort(slots_.begin(), slots_.end());
    slots_.erase(std::unique(slots_.begin(), slots_.end()), slots_.end());

    bool found = false;
    for (size_t r = 0; r < m; ++r)
        if (only >= m || r == only) per_route[r] = InsertionPlace{};
    for (const Slot& slot : slots_) {
        if (only < m && slot.route != only) continue;
        try_place(s, slot.route, slot.pos, node, noise, rng, per_route[slot.route]);
        found = found || per_route[slot.route].found;
    }
    return found;
}

InsertionPlace Inserter::best(const StageSolution& s, int64_t node, const InsertionNoise& noise,
                              std::mt19937_64& rng) const {
    const size_t m = s.routes().size();
    InsertionPlace best;
    if (model_.large()) {
        per_route_.resize(m);
        if (price_near(s, node, m, noise, rng, per_route_.data())) {
            for (size_t r = 0; r < m; ++r)
                if (ahead(per_route_[r], best)) best = per_route_[r];
            return best;
        }
    }
    for (size_t r = 0; r < m; ++r) {
        const InsertionPlace place = best_in(s, r, node, noise, rng);
        if (ahead(place, best)) best = place;
    }
    return best;
}

bool Inserter::greedy(StageSolution& s, const std::vector<int64_t>& nodes, const InsertionNoise& noise,
                      std::mt19937_64& rng) const {
    bool all = true;
    for (int64_t v : nodes) {
        model_.poll_within_steps();
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
    // places[i * m + r]: the best place of left[i] on route r, among the
    // places near it unless wide[i] (always so on small instances)
    std::vector<InsertionPlace>& places = places_;
    places.assign(left.size() * m, InsertionPlace{});
    std::vector<char>& wide = wide_;
    wide.assign(left.size(), model_.large() ? 0 : 1);
    auto price = [&](size_t i, size_t only) {
        if (!wide[i]) {
            if (price_near(s, left[i], only, noise, rng, &places[i * m]) || only < m) return;
            wide[i] = 1;
        }
        for (size_t r = 0; r < m; ++r)
            if (only >= m || r == only) places[i * m + r] = best_in(s, r, left[i], noise, rng);
    };
    for (size_t i = 0; i < left.size(); ++i) price(i, m);

    bool all = true;
    double longest = s.value().max_cost;
    while (!left.empty()) {
        model_.poll_within_steps();
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
        wide[pick] = wide.back();
        wide.pop_back();
        for (size_t k = 0; k < m; ++k) places[pick * m + k] = places[left.size() * m + k];
        places.resize(left.size() * m);
        longest = s.value().max_cost;
        for (size_t i = 0; i < left.size(); ++i) price(i, r);
    }
    return all;
}

}  // namespace dulmar
