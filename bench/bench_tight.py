"""Tight windows around a planted feasible plan (bench/make_tight.py), beside OR-Tools and PyVRP.

    python bench/bench_tight.py [--budget 10] [--instances 80 120 ...] [--seeds 1 2 3]
                                [--objectives min_sum min_max] [--quick] [--out FILE]

Mixed fleets (vans and slower bikes, a fifth of the targets for vans only),
service 10, every window the planted start of service widened by 20 to 40 on
each side, so every instance is known to be feasible. ``--instances`` are node
counts (80 to 400 by default); the agents are a tenth and a twentieth of the
nodes (at least 4; ``--agents 10 20`` names the divisors). PyVRP runs on the min-sum instances only (it has no min-max
objective). Each row gives the route checker's objective of each solver and
VOK's ratio to each peer; the summary counts the solved instances.
"""

from __future__ import annotations

from typing import List, Optional

import harness
from harness import fmt
from make_tight import make_instance

NODES = [80, 120, 200, 300, 400]
SEEDS = [1, 2, 3]
OBJECTIVES = ["min_sum", "min_max"]
QUICK_BUDGET = 1.0


FLEETS = [10, 20]  # nodes per agent


def agents_for(nodes: int, per_agent: int) -> int:
    return max(4, nodes // per_agent)


def ratio(value: Optional[float], reference: Optional[float]) -> Optional[float]:
    return None if value is None or not reference else value / reference


def main() -> None:
    parser = harness.make_parser(__doc__, with_pyvrp=True)
    parser.set_defaults(ortools_first="PARALLEL_CHEAPEST_INSERTION")
    parser.add_argument("--seeds", type=int, nargs="+", help="instance seeds (default 1 2 3)")
    parser.add_argument("--objectives", nargs="+", choices=OBJECTIVES, help="default: both")
    args = parser.parse_args()
    budget = args.budget or (QUICK_BUDGET if args.quick else 10.0)
    sizes = harness.pick(NODES, [int(n) for n in args.instances] if args.instances else None, "node counts")
    seeds = args.seeds or SEEDS
    objectives = args.objectives or OBJECTIVES
    fleets = args.agents or FLEETS
    if args.quick:
        sizes, seeds, objectives, fleets = sizes[:1], seeds[:1], objectives[:1], fleets[:1]
    report = harness.start(args, "Tight windows around a planted plan", f"{budget:g} s")
    scratch = args.scratch / "tight"
    scratch.mkdir(parents=True, exist_ok=True)
    report.write("bench/make_tight.py: depot in the middle of a 1000 x 1000 square, vans and bikes (1.3 times "
                 "slower) in turn, 20 % van-only targets, service 10, windows of the planted plan widened by 20 to "
                 "40 on each side. Objective: the route checker's (longest route or sum of route end times).")
    report.write()
    report.table(["nodes", "agents", "seed", "objective", "VOK", "OR-Tools", "PyVRP", "VOK / OR-Tools",
                  "VOK / PyVRP", "VOK first solution (s)"])
    counts = {"vok": 0, "ortools": 0, "pyvrp": 0}
    tried = {"vok": 0, "ortools": 0, "pyvrp": 0}
    to_ortools: List[float] = []
    to_pyvrp: List[float] = []
    for objective in objectives:
        for nodes, per_agent, seed in [(n, f, s) for n in sizes for f in fleets for s in seeds]:
            agents = agents_for(nodes, per_agent)
            instance = make_instance(nodes, agents, objective, seed)
            label = f"tight n={nodes} m={agents} seed {seed} {objective} {budget:g}s"
            out = harness.solve_pair(instance, budget, label, args, scratch, report)
            for key, outcome in out.items():
                if outcome.status not in ("not run", "min-max"):
                    tried[key] += 1
                    counts[key] += outcome.value is not None
            vok, peer, pyvrp = out["vok"], out["ortools"], out["pyvrp"]
            r_ortools, r_pyvrp = ratio(vok.value, peer.value), ratio(vok.value, pyvrp.value)
            if r_ortools is not None:
                to_ortools.append(r_ortools)
            if r_pyvrp is not None:
                to_pyvrp.append(r_pyvrp)
            report.row([nodes, agents, seed, objective, vok.cell(), peer.cell(), pyvrp.cell(),
                        fmt(r_ortools, 4), fmt(r_pyvrp, 4), fmt(vok.first_solution, 3)])
    report.write()
    solved = ", ".join(f"{harness.SOLVER_NAMES[k]} {counts[k]} of {tried[k]}" for k in counts if tried[k])
    report.write(f"Solved (valid routes): {solved}.")
    for name, values in (("OR-Tools", to_ortools), ("PyVRP", to_pyvrp)):
        if values:
            report.write(f"VOK / {name} where both solve: mean {sum(values) / len(values):.4f}, "
                         f"max {max(values):.4f} over {len(values)}.")
    report.close()


if __name__ == "__main__":
    main()
