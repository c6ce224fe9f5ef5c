"""Tight-window instances with a planted feasible plan, for the constrained-instance benchmark.

    python bench/make_tight.py --nodes 200 --agents 10 [--objective min_sum|min_max] [--seed 1] [--out FILE]

Node 0 is the depot in the middle of a 1000 x 1000 square, the other nodes lie uniformly in it.
Half the agents are "van"s, half "bike"s (bikes travel 1.3 times slower), and 20 % of the targets
only a van may serve. A plan is planted first: the targets are dealt to agents at random (van-only
targets to vans), each route visits its targets in the order of their angle around the depot, and
every target takes 10 of service. Each target's window is then the planted start of service
widened by 20 to 40 on each side (at random), so the planted plan keeps every window and the instance
is known to be feasible. Costs are real Euclidean distances (metric form), times the type's factor.
"""

from __future__ import annotations

import argparse
import json
import math
import random
import sys
from typing import Any, Dict, List, Tuple

SIDE = 1000.0
SERVICE = 10.0
FACTORS = {"van": 1.0, "bike": 1.3}
VAN_ONLY = 0.2


def make_instance(nodes: int, agents: int, objective: str = "min_sum", seed: int = 1) -> Dict[str, Any]:
    return plant(nodes, agents, objective, seed)[0]


def plant(nodes: int, agents: int, objective: str = "min_sum", seed: int = 1) -> Tuple[Dict[str, Any], List[List[int]]]:
    """The instance and its planted plan: one route of node indices per agent, depot to depot."""
    rng = random.Random(f"tight/{seed}/{nodes}/{agents}")
    depot = (SIDE / 2, SIDE / 2)
    xy = [depot] + [(round(rng.uniform(0, SIDE), 2), round(rng.uniform(0, SIDE), 2)) for _ in range(nodes - 1)]
    types = ["van" if k % 2 == 0 else "bike" for k in range(agents)]
    vans = [k for k in range(agents) if types[k] == "van"]
    targets = list(range(1, nodes))
    van_only = set(rng.sample(targets, round(VAN_ONLY * len(targets))))
    routes: List[List[int]] = [[] for _ in range(agents)]
    for v in targets:
        routes[rng.choice(vans) if v in van_only else rng.randrange(agents)].append(v)
    windows = []
    for k, route in enumerate(routes):
        route.sort(key=lambda v: math.atan2(xy[v][1] - depot[1], xy[v][0] - depot[0]))
        t, prev = 0.0, 0
        for v in route:
            t += math.dist(xy[prev], xy[v]) * FACTORS[types[k]]
            windows.append({"node": v, "start": round(t - rng.uniform(20, 40), 3),
                            "end": round(t + rng.uniform(20, 40), 3)})
            t += SERVICE
            prev = v
    windows.sort(key=lambda w: w["node"])
    allowed = [["van"] if v in van_only else ["van", "bike"] for v in range(nodes)]
    allowed[0] = ["van", "bike"]
    instance = {
        "nodes": [{"id": v, "x": x, "y": y, "service": 0.0 if v == 0 else SERVICE, "type": "depot" if v == 0 else "target"}
                  for v, (x, y) in enumerate(xy)],
        "agents": [{"id": k, "type": types[k], "start_node": 0, "end_node": 0} for k in range(agents)],
        "costs": {t: ({"metric": "euclidean"} if f == 1.0 else {"metric": "euclidean", "factor": f})
                  for t, f in FACTORS.items()},
        "constraints": [{"kind": "assignment", "items": [{"node": v, "types": allowed[v]} for v in range(nodes)]},
                        {"kind": "timewindow", "items": windows}],
        "options": {"objective": objective, "return_to_end": True},
    }
    return instance, [[0] + route + [0] for route in routes]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nodes", type=int, required=True)
    parser.add_argument("--agents", type=int, required=True)
    parser.add_argument("--objective", choices=("min_max", "min_sum"), default="min_sum")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out")
    args = parser.parse_args()
    text = json.dumps(make_instance(args.nodes, args.agents, args.objective, args.seed))
    if args.out:
        with open(args.out, "w") as handle:
            handle.write(text + "\n")
    else:
        sys.stdout.write(text + "\n")


if __name__ == "__main__":
    main()
