"""The improvement stage on 1 and on 2 threads at the same budget, on ten instances of 150 to 1,000
nodes with and without time windows.

    python bench/bench_threads.py [--budget 10] [--threads 2] [--seeds 1] [--instances NAME ...] [--out FILE]

Each worker's budget is its own thread's processor time, so with a core free for each worker a solve
on 2 threads takes about the wall time of one on 1 thread; the table shows both wall times, which
tell whether the machine really had the cores. Every solve runs in a child process of its own
(harness.py) and every route goes through route_check.py; the objectives are the checker's. With
``--seeds N`` each instance is solved with seeds 1..N on each side and the table shows the means.
"""

from __future__ import annotations

import sys
from pathlib import Path
from statistics import mean
from typing import Any, Callable, Dict, List, Optional, Tuple

import harness
import make_random
import make_tight

Maker = Callable[[Path], Dict[str, Any]]


def _tsplib(name: str, agents: int, objective: str) -> Maker:
    return lambda benchmarks: harness.converters().tsplib_to_instance(benchmarks / "tsplib" / f"{name}.tsp", agents,
                                                                       depot=0, objective=objective)


def _random(nodes: int, agents: int, objective: str, variant: str) -> Maker:
    return lambda _: make_random.make_instance(nodes, agents, objective, variant, seed=1)


def _tight(nodes: int, agents: int, objective: str) -> Maker:
    return lambda _: make_tight.make_instance(nodes, agents, objective, seed=1)


# (name, nodes, windows, maker)
# Min-max instances with windows are left out: their longest route is mostly the way to a far or
# late target and back, which every run finds, so they tell nothing.
INSTANCES: List[Tuple[str, int, bool, Maker]] = [
    ("ch150-m5-minsum", 150, False, _tsplib("ch150", 5, "min_sum")),
    ("kroA200-m5-minsum", 200, False, _tsplib("kroA200", 5, "min_sum")),
    ("tight200-m10-minsum", 200, True, _tight(200, 10, "min_sum")),
    ("u250-m5-minsum-windows", 250, True, _random(250, 5, "min_sum", "windows")),
    ("lin318-m8-minmax", 318, False, _tsplib("lin318", 8, "min_max")),
    ("u500-m8-minsum-plain", 500, False, _random(500, 8, "min_sum", "plain")),
    ("tight500-m20-minsum", 500, True, _tight(500, 20, "min_sum")),
    ("u750-m10-minsum-windows", 750, True, _random(750, 10, "min_sum", "windows")),
    ("rat783-m10-minmax", 783, False, _tsplib("rat783", 10, "min_max")),
    ("u1000-m10-minsum-windows", 1000, True, _random(1000, 10, "min_sum", "windows")),
]


def with_threads(instance: Dict[str, Any], threads: int) -> Dict[str, Any]:
    return dict(instance, options=dict(instance.get("options", {}), threads=threads))


def solve_mean(instance: Dict[str, Any], threads: int, budget: float, label: str, seeds: int,
               args: Any, report: harness.Report) -> Tuple[Optional[float], float, int]:
    """(mean checker objective, mean wall seconds, mean iterations) over the seeds; None when any
    run gave no valid solution."""
    values: List[Optional[float]] = []
    walls: List[float] = []
    iterations: List[int] = []
    for seed in range(1, seeds + 1):
        outcome = harness.solve("vok", with_threads(instance, threads), budget, f"{label} t{threads} s{seed}",
                                args.scratch, seed, report)
        values.append(outcome.value)
        walls.append(outcome.wall_s or 0.0)
        iterations.append(outcome.iterations or 0)
    known = [v for v in values if v is not None]
    return (mean(known) if len(known) == len(values) else None), mean(walls), round(mean(iterations))


def main() -> None:
    parser = harness.make_parser(__doc__)
    parser.add_argument("--threads", type=int, default=2, help="threads of the second column (default 2)")
    parser.add_argument("--seeds", type=int, default=1, help="seeds per instance and side (default 1)")
    args = parser.parse_args()
    args.no_ortools = True
    budget = args.budget or (0.5 if args.quick else 10.0)
    chosen = harness.pick([name for name, *_ in INSTANCES], args.instances, "instances")
    if args.quick:
        chosen = chosen[:2]
    t = args.threads
    report = harness.start(args, f"The improvement stage on 1 and {t} threads", f"{budget:g} s per worker")
    report.write(f"Seeds 1..{args.seeds}, the mean of each side. \"wall\" is the child process's wall time, "
                 "set-up included.")
    report.write()
    report.table(["instance", "nodes", "windows", "objective", "1 thread", f"{t} threads", f"{t} vs 1",
                  "wall 1 (s)", f"wall {t} (s)", "iterations 1", f"iterations {t}"])
    gaps: List[Optional[float]] = []
    for name, nodes, windows, maker in INSTANCES:
        if name not in chosen:
            continue
        instance = maker(args.benchmarks)
        objective = instance["options"]["objective"]
        one, wall_one, it_one = solve_mean(instance, 1, budget, name, args.seeds, args, report)
        many, wall_many, it_many = solve_mean(instance, t, budget, name, args.seeds, args, report)
        gaps.append(harness.gap(many, one))
        report.row([name, nodes, "yes" if windows else "no", objective, harness.fmt(one), harness.fmt(many),
                    harness.pct(gaps[-1]), f"{wall_one:.1f}", f"{wall_many:.1f}", it_one, it_many])
    known = [g for g in gaps if g is not None]
    report.write()
    if known:
        no_worse = sum(1 for g in known if g <= 1e-9)
        report.write(f"{t} threads no worse than 1 on {no_worse} of {len(known)} instances; mean difference "
                     f"{mean(known):+.2f} % (negative: {t} threads better).")
    if len(known) < len(gaps):
        report.write(f"{len(gaps) - len(known)} instances without a valid solution on some side.")
    report.close()
    if report.findings:
        sys.exit(1)


if __name__ == "__main__":
    main()
