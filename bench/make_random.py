"""Seeded uniform random instances for the large-instance benchmark.

    python bench/make_random.py --nodes 1000 --agents 10 [--objective min_max|min_sum]
                                [--variant plain|windows] [--seed 1] [--form metric|matrix] [--out FILE]

Node 0 is the depot, in the middle of a 1000 x 1000 square; the other nodes lie
uniformly in the square (coordinates rounded to 2 decimals). Every agent starts
and ends at the depot and every route returns. Costs are real Euclidean
distances, written in the metric form ``{"metric": "euclidean"}`` or as full
matrices (``--form matrix``, for readers without the metric form).

* ``plain``: one agent type, "car".
* ``windows``: two agent types, "car" (factor 1.0) and "truck" (factor 1.2, the
  odd-numbered agents); 10 % of the targets only a truck may serve; 30 % of
  the targets have a time window half a horizon wide, opening at a uniform time
  in the horizon's first half. The horizon is twice an estimate of a truck's
  share of the tour (0.7124 * sqrt(n * area) / agents * 1.2) plus the way to the
  farthest node and back, so every window stays reachable.

The points depend only on the node count and the seed, so the variants, agent
counts and objectives of one size share them (and their reference tour).
"""

from __future__ import annotations

import argparse
import json
import math
import random
import sys
from typing import Any, Dict, List, Tuple

SIDE = 1000.0
DEPOT = (SIDE / 2, SIDE / 2)
FACTORS = {"car": 1.0, "truck": 1.2}
WINDOW_SHARE = 0.3
TRUCK_ONLY_SHARE = 0.1
VARIANTS = ("plain", "windows")


def points(nodes: int, seed: int) -> List[Tuple[float, float]]:
    if nodes < 2:
        raise ValueError(f"nodes must be at least 2 (a depot and a target), got {nodes}")
    rng = random.Random(f"points/{seed}/{nodes}")
    return [DEPOT] + [(round(rng.uniform(0, SIDE), 2), round(rng.uniform(0, SIDE), 2)) for _ in range(nodes - 1)]


def name(nodes: int, agents: int, objective: str, variant: str, seed: int) -> str:
    return f"u{nodes}-m{agents}-{objective.replace('_', '')}-{variant}-s{seed}"


def make_instance(nodes: int, agents: int, objective: str = "min_max", variant: str = "plain", seed: int = 1,
                  form: str = "metric") -> Dict[str, Any]:
    if agents < 1:
        raise ValueError(f"agents must be at least 1, got {agents}")
    if objective not in ("min_max", "min_sum"):
        raise ValueError(f"objective must be 'min_max' or 'min_sum', got {objective!r}")
    if variant not in VARIANTS:
        raise ValueError(f"variant must be one of {VARIANTS}, got {variant!r}")
    if form not in ("metric", "matrix"):
        raise ValueError(f"form must be 'metric' or 'matrix', got {form!r}")
    xy = points(nodes, seed)
    types = ["car", "truck"] if variant == "windows" else ["car"]
    allowed: List[List[str]] = [list(types) for _ in range(nodes)]
    windows: List[Dict[str, Any]] = []
    if variant == "windows":
        rng = random.Random(f"windows/{seed}/{nodes}/{agents}")
        targets = list(range(1, nodes))
        for v in rng.sample(targets, round(TRUCK_ONLY_SHARE * len(targets))):
            allowed[v] = ["truck"]
        reach = max(math.dist(DEPOT, p) for p in xy)
        share = 0.7124 * math.sqrt(len(targets) * SIDE * SIDE) / agents * FACTORS["truck"]
        horizon = 2 * (share + 2 * reach * FACTORS["truck"])
        for v in sorted(rng.sample(targets, round(WINDOW_SHARE * len(targets)))):
            opens = round(rng.uniform(0, horizon / 2), 1)
            windows.append({"node": v, "start": opens, "end": round(opens + horizon / 2, 1)})

    costs: Dict[str, Any] = {}
    for t in types:
        factor = FACTORS[t]
        if form == "metric":
            costs[t] = {"metric": "euclidean"} if factor == 1.0 else {"metric": "euclidean", "factor": factor}
        else:
            costs[t] = [[math.dist(a, b) * factor for b in xy] for a in xy]
    constraints: List[Dict[str, Any]] = [
        {"kind": "assignment", "items": [{"node": v, "types": allowed[v]} for v in range(nodes)]}]
    if windows:
        constraints.append({"kind": "timewindow", "items": windows})
    return {
        "nodes": [{"id": v, "x": x, "y": y, "type": "depot" if v == 0 else "target"} for v, (x, y) in enumerate(xy)],
        "agents": [{"id": k, "type": types[k % len(types)], "start_node": 0, "end_node": 0} for k in range(agents)],
        "costs": costs,
        "constraints": constraints,
        "options": {"objective": objective, "return_to_end": True},
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nodes", type=int, required=True)
    parser.add_argument("--agents", type=int, required=True)
    parser.add_argument("--objective", choices=("min_max", "min_sum"), default="min_max")
    parser.add_argument("--variant", choices=VARIANTS, default="plain")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--form", choices=("metric", "matrix"), default="metric")
    parser.add_argument("--out", help="file to write (default: standard output)")
    args = parser.parse_args()
    text = json.dumps(make_instance(args.nodes, args.agents, args.objective, args.variant, args.seed, args.form))
    if args.out:
        with open(args.out, "w") as handle:
            handle.write(text + "\n")
    else:
        sys.stdout.write(text + "\n")


if __name__ == "__main__":
    main()
