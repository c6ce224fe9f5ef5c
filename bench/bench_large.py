"""Large uniform random instances against a lower bound, beside OR-Tools.

    python bench/bench_large.py [--budget 60] [--instances 500 1000 2000] [--agents 5 10 20]
                                [--objectives min_max min_sum] [--variants plain windows]
                                [--tour-budget S] [--quick] [--out FILE]
    python bench/bench_large.py --very-large [--tour elkai|vok] [--cases 10000:20 ...] [...]

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

``--very-large`` runs the "Very large instances" section instead: 5,000, 10,000
and 20,000 nodes (``--cases NODES:AGENTS``, default 5000:20 10000:20 10000:50
20000:40), both objectives, with and without windows, VOK alone (a peer would
need the n x n matrix). Its tour comes from ``--tour elkai`` (PyPI ``elkai``,
LKH, one run over the points scaled to integers; installed here on first use,
for the benchmark only; cached per point set) or ``--tour vok`` (VOK's own long
run as above). The table adds VOK's wall time for the whole call: reading,
set-up, search and answer, to be set against the budget.
"""

from __future__ import annotations

import hashlib
import importlib.util
import json
import math
import subprocess
import sys
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Tuple

import harness
import make_random
from harness import fmt

SIZES = [500, 1000, 2000]
AGENTS = [5, 10, 20]
OBJECTIVES = ["min_max", "min_sum"]
QUICK = {"sizes": [60], "agents": [3], "budget": 0.5, "tour_budget": 2.0}
VERY_LARGE = [(5000, 20), (10000, 20), (10000, 50), (20000, 40)]
VERY_LARGE_QUICK = [(3100, 10)]


def ratio(value: Optional[float], bound: Optional[float]) -> Optional[float]:
    return None if value is None or not bound else value / bound


def elkai_tour(instance: Mapping[str, Any], cache: Path, label: str) -> harness.Tour:
    """An LKH tour through every node (elkai, one run), measured in real distances of the cheapest
    type; cached per point set. elkai rounds distances to integers, so the points are scaled by 100
    (make_random.py writes two decimals)."""
    if importlib.util.find_spec("elkai") is None:
        print("elkai is missing: python -m pip install elkai (benchmark only)", file=sys.stderr, flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "elkai"], check=True)
        importlib.invalidate_caches()
    import elkai

    points = [(node["x"], node["y"]) for node in instance["nodes"]]
    key = "elkai|" + label + "|" + hashlib.sha256(json.dumps(points).encode()).hexdigest()
    known = json.loads(cache.read_text()) if cache.exists() else {}
    if key not in known:
        order = [int(name) for name in elkai.Coordinates2D(
            {str(i): (x * 100.0, y * 100.0) for i, (x, y) in enumerate(points)}).solve_tsp(runs=1)]
        if len(order) > 1 and order[0] == order[-1]:
            order.pop()
        factor = min(entry.get("factor", 1.0) for entry in instance["costs"].values())
        length = factor * sum(math.dist(points[a], points[b]) for a, b in zip(order, order[1:] + order[:1]))
        known[key] = {"label": label, "length": length, "note": ""}
        cache.write_text(json.dumps(known, indent=1))
    return harness.Tour(known[key]["length"], known[key]["note"])


def very_large(args, cases: List[Tuple[int, int]], budget: float) -> None:
    report = harness.start(args, "Very large instances", f"{budget:g} s")
    scratch = args.scratch / "very_large"
    scratch.mkdir(parents=True, exist_ok=True)
    w = report.write
    source = "elkai (LKH, one run)" if args.tour == "elkai" else \
        f"VOK, one agent, min-sum, improve on, {args.tour_budget:g} processor seconds"
    w(f"Uniform random instances (bench/make_random.py, seed {args.seed}) in the metric cost form, one depot. "
      f"Bound: min-max max(2 x farthest, tour / m), min-sum the tour; tour = {source}. Ratio = VOK / bound. "
      "First solution: processor seconds of VOK's first anytime entry, reading and set-up included. "
      "Wall: the whole solve_json_file call in its child process, against the budget.")
    w()
    report.table(["nodes", "m", "objective", "windows", "VOK", "bound", "ratio", "first solution (s)",
                  "iterations", "peak MB", "wall (s)"])
    tours: Dict[int, harness.Tour] = {}
    for nodes, m in cases:
        for objective in args.objectives:
            for variant in args.variants:
                instance = make_random.make_instance(nodes, m, objective, variant, args.seed, "metric")
                label = make_random.name(nodes, m, objective, variant, args.seed)
                if nodes not in tours:
                    tours[nodes] = elkai_tour(instance, scratch / "tours.json", f"u{nodes}-s{args.seed}") \
                        if args.tour == "elkai" else \
                        harness.reference_tour(instance, args.tour_budget, args.seed, scratch, f"u{nodes}-s{args.seed}",
                                               report)
                bound = harness.lower_bound(instance, tours[nodes].length)
                out = harness.solve("vok", instance, budget, label, scratch, args.seed, report)
                report.row([nodes, m, objective, "yes" if variant == "windows" else "no", out.cell(), fmt(bound),
                            fmt(ratio(out.value, bound), 3), fmt(out.first_solution, 3), out.iterations or "-",
                            fmt(out.peak_mb, 0), fmt(out.wall_s, 1)])
    w()
    w(f"Budget {budget:g} processor seconds; the whole call should end within {budget * 1.05 + 1:.0f} s of wall "
      "time on an idle core.")
    report.close()


def main() -> None:
    parser = harness.make_parser(__doc__)
    parser.add_argument("--objectives", nargs="+", choices=OBJECTIVES, default=OBJECTIVES)
    parser.add_argument("--variants", nargs="+", choices=make_random.VARIANTS, default=list(make_random.VARIANTS))
    parser.add_argument("--tour-budget", type=float, default=300.0,
                        help="processor seconds of the one-agent reference tour (default 300)")
    parser.add_argument("--very-large", action="store_true", help="the very large section: 5,000 to 20,000 nodes")
    parser.add_argument("--cases", nargs="+", metavar="NODES:AGENTS", help="very large cases (default "
                        + " ".join(f"{n}:{m}" for n, m in VERY_LARGE) + ")")
    parser.add_argument("--tour", choices=("elkai", "vok"), default="elkai",
                        help="where the very large section's tour comes from (default elkai)")
    args = parser.parse_args()
    if args.very_large:
        args.no_ortools = True
        if args.cases:
            cases = [(int(n), int(m)) for n, m in (c.split(":") for c in args.cases)]
        else:
            cases = VERY_LARGE_QUICK if args.quick else VERY_LARGE
        if args.quick:
            args.tour_budget = min(args.tour_budget, QUICK["tour_budget"])
        very_large(args, cases, args.budget or (2.0 if args.quick else 60.0))
        return
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
