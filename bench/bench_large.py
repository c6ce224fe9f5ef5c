"""Large uniform random instances against a lower bound, beside OR-Tools.

    python bench/bench_large.py [--budget 60] [--instances 500 1000 2000] [--agents 5 10 20]
                                [--objectives min_max min_sum] [--variants plain windows]
                                [--tour-budget S] [--quick] [--out FILE]

``--instances`` are node counts. Instances come from bench/make_random.py (seed
``--seed``, one depot in the middle, the metric cost form when VOK's reader
takes it, else matrices). VOK runs with ``"improve": true`` at a processor-time
budget, OR-Tools at the same wall-clock budget; both are re-checked.

The bound. With every agent at one depot the longest route is no shorter than
2 x the distance to the farthest node, nor than the optimal tour / m; the bound
is the larger of the two. The tour is VOK's own: one agent, min-sum, improve on,
``--tour-budget`` processor seconds, over the cheapest agent type's costs and
without windows (cached in the scratch folder per point set, budget, seed and
commit). A near-optimal tour gives a near-bound. Min-sum rows are set against
the tour itself. Windows and the slower truck only add cost, so the bound
holds for the windows variant too.
"""

from __future__ import annotations

from typing import List, Optional

import harness
import make_random
from harness import fmt

SIZES = [500, 1000, 2000]
AGENTS = [5, 10, 20]
OBJECTIVES = ["min_max", "min_sum"]
QUICK = {"sizes": [60], "agents": [3], "budget": 0.5, "tour_budget": 2.0}


def ratio(value: Optional[float], bound: Optional[float]) -> Optional[float]:
    return None if value is None or not bound else value / bound


def main() -> None:
    parser = harness.make_parser(__doc__)
    parser.add_argument("--objectives", nargs="+", choices=OBJECTIVES, default=OBJECTIVES)
    parser.add_argument("--variants", nargs="+", choices=make_random.VARIANTS, default=list(make_random.VARIANTS))
    parser.add_argument("--tour-budget", type=float, default=300.0,
                        help="processor seconds of the one-agent reference tour (default 300)")
    args = parser.parse_args()
    if args.instances and not all(n.isdigit() for n in args.instances):
        raise SystemExit(f"--instances takes node counts, got {' '.join(args.instances)}")
    if args.quick:
        sizes = [int(n) for n in args.instances] if args.instances else QUICK["sizes"]
        agent_counts = args.agents or QUICK["agents"]
        budget = args.budget or QUICK["budget"]
        args.tour_budget = min(args.tour_budget, QUICK["tour_budget"])
    else:
        sizes = [int(n) for n in args.instances] if args.instances else SIZES
        agent_counts = args.agents or AGENTS
        budget = args.budget or 60.0
    report = harness.start(args, "Large random instances", f"{budget:g} s")
    scratch = args.scratch / "large"
    scratch.mkdir(parents=True, exist_ok=True)
    form = "metric" if harness.metric_supported() else "matrix"
    w = report.write
    w(f"Uniform random instances (bench/make_random.py, seed {args.seed}), written in the {form} cost form. "
      f"Bound: min-max max(2 x farthest, tour / m), min-sum the tour; tour = VOK, one agent, min-sum, improve on, "
      f"{args.tour_budget:g} processor seconds. Ratios are objective / bound.")
    w()
    report.table(["nodes", "m", "objective", "variant", "2 x farthest", "tour", "bound", "VOK", "VOK / bound",
                  "OR-Tools", "OR-Tools / bound", "VOK first solution (s)", "VOK peak MB", "OR-Tools peak MB"])
    ratios: dict = {"vok": [], "ortools": []}
    wins = total = 0
    for nodes in sizes:
        tour: Optional[harness.Tour] = None
        for m in agent_counts:
            for objective in args.objectives:
                for variant in args.variants:
                    instance = make_random.make_instance(nodes, m, objective, variant, args.seed, form)
                    label = make_random.name(nodes, m, objective, variant, args.seed)
                    if tour is None:
                        tour = harness.reference_tour(instance, args.tour_budget, args.seed, scratch,
                                                      f"u{nodes}-s{args.seed}", report)
                    bound = harness.lower_bound(instance, tour.length)
                    out = harness.solve_pair(instance, budget, label, args, scratch, report)
                    r = {s: ratio(out[s].value, bound) for s in ratios}
                    for s in ratios:
                        ratios[s].append(r[s])
                    v, o = out["vok"].value, out["ortools"].value
                    total += 1
                    wins += v is not None and (o is None or v <= o + 1e-9)
                    report.row([nodes, m, objective, variant, fmt(harness.farthest_bound(instance)),
                                fmt(tour.length) if tour.length is not None else f"none ({tour.note[:60]})",
                                fmt(bound), out["vok"].cell(), fmt(r["vok"], 3), out["ortools"].cell(),
                                fmt(r["ortools"], 3), fmt(out["vok"].first_solution, 4), fmt(out["vok"].peak_mb, 0),
                                fmt(out["ortools"].peak_mb, 0)])
    w()
    for s, name in (("vok", "VOK"), ("ortools", "OR-Tools")):
        if s == "ortools" and args.no_ortools:
            continue
        known: List[float] = [x for x in ratios[s] if x is not None]
        if known:
            w(f"{name}: mean ratio to the bound {sum(known) / len(known):.3f}, max {max(known):.3f} "
              f"over {len(known)} of {len(ratios[s])} runs.")
        else:
            w(f"{name}: no valid solution.")
    if not args.no_ortools:
        w(f"VOK at or below OR-Tools on {wins} of {total}.")
    if any(x < 1 for s in ratios for x in ratios[s] if x is not None):
        w("A ratio below 1 means the tour is far from optimal, so the bound is none: give it a longer --tour-budget.")
    report.close()


if __name__ == "__main__":
    main()
