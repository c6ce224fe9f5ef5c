"""What precedence pairs cost: instances with 10 to 30 % of their targets in pairs of all three kinds,
solved by VOK with the pairs enforced and without them.

    python bench/bench_precedence.py [--budget S] [--instances eil51 ...] [--shares 0.1 0.2 0.3]
                                     [--windows] [--quick] [--out FILE]

Instances: eil51 and berlin52 (TSPLIB, real Euclidean distances, 3 agents) and uniform random ones of 50
and 100 nodes (5 agents, depot in the middle of a 1000 x 1000 square), each under min-sum and min-max.
The pairs come from a planted plan: the targets are dealt to the agents at random, each route visits its
targets by their angle around the depot, and the plan is timed. Pairs are then drawn among the targets
(each target in at most one pair) so that the planted plan keeps them: "same" pairs join two targets of
one planted route in route order, "diff" pairs a target of one route whose service ends before the other
target's service starts on another route, and pairs of the empty type likewise on any two routes. With
``--windows`` every target also gets a window around its planted start of service (widened by 20 % of
the planted horizon on each side), so the planted plan proves every instance feasible.

Every solve runs in its own process (bench/harness.py) with ``"improve": true`` and a fixed seed, and
every route goes through bench/route_check.py, which checks the pairs (the instance says
``"enforce_precedence": true``); the tables report the checker's objective, never the solver's claim.
The "increase" column is what keeping the pairs costs over the same instance without them.
"""

from __future__ import annotations

import copy
import math
import random
from typing import Any, Dict, List, Optional, Tuple

import harness
from harness import fmt, gap, pct

TSPLIB = {"eil51": 3, "berlin52": 3}
RANDOM = {"random50": (50, 5), "random100": (100, 5)}
OBJECTIVES = ("min_sum", "min_max")
SHARES = (0.1, 0.2, 0.3)
KINDS = ("same", "diff", "")
BUDGET = 10.0
QUICK_BUDGET = 0.5


def random_instance(nodes: int, agents: int, seed: int) -> Dict[str, Any]:
    rng = random.Random(f"precedence/{seed}/{nodes}")
    xy = [(500.0, 500.0)] + [(round(rng.uniform(0, 1000), 2), round(rng.uniform(0, 1000), 2))
                             for _ in range(nodes - 1)]
    return {
        "nodes": [{"id": i, "x": x, "y": y, "type": "depot" if i == 0 else "target"} for i, (x, y) in enumerate(xy)],
        "agents": [{"id": k, "type": "car", "start_node": 0, "end_node": 0} for k in range(agents)],
        "costs": {"car": {"metric": "euclidean"}},
        "constraints": [{"kind": "assignment", "items": [{"node": i, "types": ["car"]} for i in range(nodes)]}],
        "options": {},
    }


def planted_plan(instance: Dict[str, Any], rng: random.Random) -> Dict[int, Tuple[int, int, float, float]]:
    """Target -> (route, position, start, end) of service in a planted plan (no service times: start == end)."""
    xy = [(node["x"], node["y"]) for node in instance["nodes"]]
    depot = instance["agents"][0]["start_node"]
    agents = len(instance["agents"])
    routes: List[List[int]] = [[] for _ in range(agents)]
    for v in range(len(xy)):
        if v != depot:
            routes[rng.randrange(agents)].append(v)
    timing: Dict[int, Tuple[int, int, float, float]] = {}
    for k, route in enumerate(routes):
        route.sort(key=lambda v: math.atan2(xy[v][1] - xy[depot][1], xy[v][0] - xy[depot][0]))
        t, prev = 0.0, depot
        for i, v in enumerate(route):
            t += math.dist(xy[prev], xy[v])
            timing[v] = (k, i, t, t)
            prev = v
    return timing


def add_pairs(instance: Dict[str, Any], share: float, windows: bool, seed: int) -> Tuple[Dict[str, Any], Dict[str, int]]:
    """The instance with pairs on about `share` of its targets (and windows), all kept by a planted plan."""
    rng = random.Random(f"pairs/{seed}/{share}/{len(instance['nodes'])}")
    out = copy.deepcopy(instance)
    timing = planted_plan(out, rng)
    free = list(timing)
    rng.shuffle(free)
    wanted = max(3, round(share * len(timing) / 2))  # at least one pair of each kind
    pairs: List[Dict[str, Any]] = []
    counts = {kind or "any": 0 for kind in KINDS}
    for attempt in range(50 * wanted):
        if len(pairs) >= wanted or len(free) < 2:
            break
        kind = KINDS[len(pairs) % 3]
        a, b = rng.sample(free, 2)
        (ra, pa, _, end_a), (rb, pb, start_b, _) = timing[a], timing[b]
        if kind == "same" and not (ra == rb and pa < pb):
            continue
        if kind == "diff" and not (ra != rb and end_a <= start_b):
            continue
        if kind == "" and not (end_a <= start_b and (ra != rb or pa < pb)):
            continue
        pairs.append({"before": out["nodes"][a]["id"], "after": out["nodes"][b]["id"], "type": kind})
        counts[kind or "any"] += 1
        free.remove(a)
        free.remove(b)
    out["constraints"].append({"kind": "sequence", "precedence": pairs})
    if windows:
        horizon = max(t for _, _, t, _ in timing.values())
        slack = 0.2 * horizon
        out["constraints"].append({"kind": "timewindow", "items": [
            {"node": out["nodes"][v]["id"], "start": round(max(0.0, s - slack), 3), "end": round(s + slack, 3)}
            for v, (_, _, s, _) in sorted(timing.items())]})
    out["options"]["enforce_precedence"] = True
    return out, counts


def without_pairs(instance: Dict[str, Any]) -> Dict[str, Any]:
    out = copy.deepcopy(instance)
    out["constraints"] = [c for c in out["constraints"] if c.get("kind") != "sequence"]
    out["options"].pop("enforce_precedence", None)
    return out


def base_instances(args: Any) -> Dict[str, Dict[str, Any]]:
    out: Dict[str, Dict[str, Any]] = {}
    converters = harness.converters()
    for name, agents in TSPLIB.items():
        path = args.benchmarks / "tsplib" / f"{name}.tsp"
        if path.exists():
            out[name] = converters.tsplib_to_instance(path, agents, metric=True)
    for name, (nodes, agents) in RANDOM.items():
        out[name] = random_instance(nodes, agents, args.seed)
    return out


def main() -> None:
    parser = harness.make_parser(__doc__)
    parser.add_argument("--shares", type=float, nargs="+", default=list(SHARES),
                        help="shares of the targets in pairs (default 0.1 0.2 0.3)")
    parser.add_argument("--windows", action="store_true", help="give every target a window around the planted plan")
    args = parser.parse_args()
    args.no_ortools = True  # no peer model knows the pairs
    budget = args.budget or (QUICK_BUDGET if args.quick else BUDGET)
    report = harness.start(args, "Precedence pairs: the cost of keeping them", f"{budget:g} s per solve")
    report.write("Each instance solved twice at the same budget: with its pairs (`\"enforce_precedence\": true`) "
                 "and without them. Objective = the route checker's, with the pairs checked."
                 + (" Every target has a window around the planted plan." if args.windows else ""))
    report.write()
    instances = base_instances(args)
    names = harness.pick(list(instances), args.instances, "instances")
    shares = args.shares[:1] if args.quick else args.shares
    objectives = OBJECTIVES[:1] if args.quick else OBJECTIVES
    if args.quick:
        names = names[:1]
    report.table(["instance", "objective", "share", "pairs same/diff/any", "without pairs", "with pairs",
                  "increase", "valid"])
    increases: List[Optional[float]] = []
    for name in names:
        for objective in objectives:
            for share in shares:
                base = copy.deepcopy(instances[name])
                base["options"]["objective"] = objective
                paired, counts = add_pairs(base, share, args.windows, args.seed)
                label = f"{name} {objective} {share:g}"
                free = harness.solve("vok", without_pairs(paired), budget, label + " free", args.scratch,
                                     args.seed, report)
                kept = harness.solve("vok", paired, budget, label + " pairs", args.scratch, args.seed, report)
                increase = gap(kept.value, free.value)
                increases.append(increase)
                report.row([name, objective, f"{share:.0%}", "/".join(str(counts[k]) for k in ("same", "diff", "any")),
                            free.cell(), kept.cell(), pct(increase), "yes" if kept.valid else "NO"])
    report.write()
    known = [g for g in increases if g is not None]
    report.write(f"Mean increase {sum(known) / len(known):+.2f} % over {len(known)} solves with pairs."
                 if known else "No valid solve with pairs.")
    report.close()


if __name__ == "__main__":
    main()
