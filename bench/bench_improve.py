"""Quality of VOK's improvement stage beside OR-Tools routing, on the mTSPLib and Solomon sets.

    python bench/bench_improve.py [--budget S] [--instances eil51 ...] [--agents 2 3 ...]
                                  [--sections minmax large minsum solomon] [--tour-budget S] [--quick] [--out FILE]

Sections (each solve in its own process; VOK with ``"improve": true`` and a fixed
seed at a processor-time budget, OR-Tools at the same wall-clock budget):

* minmax: eil51, berlin52, eil76, rat99 x 2, 3, 5, 7 agents at 10 s and at 60 s;
* large: ch150 and kroA200 x 3, 5 agents at 10 s;
* minsum: eil51, berlin52, eil76, rat99 x 3, 5 agents at 10 s;
* solomon: C101, R101, RC101 (100 customers, their time windows, 25 agents,
  min-sum) at 10 s: does every run give a valid solution.

TSPLIB files are converted with ``vok.converters`` (real Euclidean distances in
double precision, depot = first node, every route returns). Min-max gaps are
against the best known values of ../shared/benchmarks/bks.json ("minmax").
Min-sum runs are compared with OR-Tools and with a tour reference: the best
one-agent tour VOK finds at ``--tour-budget`` processor seconds (improve on,
same seed; cached in the scratch folder). Since an agent may stay idle, that
tour is what every min-sum solution at one depot approaches.
"""

from __future__ import annotations

import json
from typing import Dict, List, Optional

import harness
from harness import Outcome, fmt, gap, pct

MINMAX = ["eil51", "berlin52", "eil76", "rat99"]
LARGE = ["ch150", "kroA200"]
SOLOMON = ["C101", "R101", "RC101"]
SECTIONS = ["minmax", "large", "minsum", "solomon"]
# TSPLIB's optima under its nint rounding: context only, our instances use real distances.
TSPLIB_NINT_OPTIMUM = {"eil51": 426, "berlin52": 7542, "eil76": 538, "rat99": 1211}
QUICK_BUDGET = 0.5


def main() -> None:
    parser = harness.make_parser(__doc__)
    parser.add_argument("--sections", nargs="+", choices=SECTIONS, default=SECTIONS)
    parser.add_argument("--tour-budget", type=float, default=120.0,
                        help="processor seconds of the one-agent reference tour (default 120)")
    args = parser.parse_args()
    if args.quick:
        args.budget = args.budget or QUICK_BUDGET
        args.tour_budget = min(args.tour_budget, 2.0)
    report = harness.start(args, "Improvement stage: mTSPLib and Solomon", "the budget of each table")
    report.write("TSPLIB files through `vok.converters`: real Euclidean distances in double precision, "
                 "depot = first node, every route returns.")
    bks = json.loads((args.benchmarks / "bks.json").read_text())
    run = Runner(args, report, bks)
    known = set(MINMAX + LARGE + SOLOMON)
    if args.instances and not set(args.instances) <= known:
        raise SystemExit(f"unknown instances {sorted(set(args.instances) - known)}; choose from {sorted(known)}")

    def chosen(names: List[str]) -> List[str]:
        names = [n for n in names if not args.instances or n in args.instances]
        return names[:1] if args.quick and not args.instances else names

    def counts(values: List[int]) -> List[int]:
        values = [a for a in values if not args.agents or a in args.agents]
        if args.quick and not args.agents:
            return [3] if 3 in values else values[:1]
        return values

    if "minmax" in args.sections:
        for budget in ([args.budget] if args.budget else [10.0, 60.0]):
            run.minmax(f"Min-max, mTSPLib, {budget:g} s", chosen(MINMAX), counts([2, 3, 5, 7]), budget)
    if "large" in args.sections:
        budget = args.budget or 10.0
        run.minmax(f"Min-max, ch150 and kroA200, {budget:g} s", chosen(LARGE), counts([3, 5]), budget)
    if "minsum" in args.sections:
        run.minsum(args.budget or 10.0, chosen(MINMAX), counts([3, 5]))
    if "solomon" in args.sections:
        run.solomon(args.budget or 10.0, chosen(SOLOMON))
    report.close()


class Runner:
    def __init__(self, args, report: harness.Report, bks: Dict) -> None:
        self.args = args
        self.report = report
        self.bks = bks
        self.scratch = args.scratch / "improve"
        self.scratch.mkdir(parents=True, exist_ok=True)

    def tsplib(self, name: str, agents: int, objective: str) -> Dict:
        path = self.args.benchmarks / "tsplib" / f"{name}.tsp"
        return harness.converters().tsplib_to_instance(path, agents, depot=0, objective=objective)

    def pair(self, instance: Dict, budget: float, label: str) -> Dict[str, Outcome]:
        return harness.solve_pair(instance, budget, label, self.args, self.scratch, self.report)

    def minmax(self, title: str, names: List[str], agent_counts: List[int], budget: float) -> None:
        w = self.report.write
        w()
        w(f"### {title}")
        w()
        self.report.table(["instance", "m", "best known", "VOK", "VOK gap", "OR-Tools", "OR-Tools gap",
                           "VOK first solution (s)", "VOK iterations", "VOK peak MB"])
        gaps: Dict[str, List[Optional[float]]] = {"vok": [], "ortools": []}
        wins = 0
        for name in names:
            for m in agent_counts:
                best = self.bks["minmax"].get(name, {}).get(str(m))
                out = self.pair(self.tsplib(name, m, "min_max"), budget, f"{name} m={m} min-max {budget:g}s")
                for solver in gaps:
                    gaps[solver].append(gap(out[solver].value, best))
                v, o = out["vok"].value, out["ortools"].value
                wins += v is not None and (o is None or v <= o + 1e-9)
                self.report.row([name, m, fmt(best), out["vok"].cell(), pct(gaps["vok"][-1]), out["ortools"].cell(),
                                 pct(gaps["ortools"][-1]), fmt(out["vok"].first_solution, 4),
                                 out["vok"].iterations if out["vok"].iterations is not None else "-",
                                 fmt(out["vok"].peak_mb, 0)])
        w()
        w(harness.summary("VOK", gaps["vok"]))
        if not self.args.no_ortools:
            w(harness.summary("OR-Tools", gaps["ortools"]))
            w(f"VOK at or below OR-Tools on {wins} of {len(gaps['vok'])}.")

    def minsum(self, budget: float, names: List[str], agent_counts: List[int]) -> None:
        w = self.report.write
        w()
        w(f"### Min-sum, mTSPLib, {budget:g} s")
        w()
        w(f"Tour reference: the best one-agent tour VOK finds in {self.args.tour_budget:g} processor seconds "
          f"(improve on, seed {self.args.seed}), re-checked; TSPLIB's nint optimum beside it for context only.")
        w()
        self.report.table(["instance", "m", "VOK", "OR-Tools", "VOK vs OR-Tools", "tour reference", "VOK vs tour",
                           "TSPLIB nint optimum", "VOK first solution (s)", "VOK iterations", "VOK peak MB"])
        wins = total = 0
        tour_gaps: List[Optional[float]] = []
        for name in names:
            tour = None
            for m in agent_counts:
                instance = self.tsplib(name, m, "min_sum")
                if tour is None:
                    tour = harness.reference_tour(instance, self.args.tour_budget, self.args.seed, self.scratch,
                                                  name, self.report)
                out = self.pair(instance, budget, f"{name} m={m} min-sum {budget:g}s")
                v, o = out["vok"].value, out["ortools"].value
                total += 1
                wins += v is not None and (o is None or v <= o + 1e-9)
                tour_gaps.append(gap(v, tour.length))
                self.report.row([name, m, out["vok"].cell(), out["ortools"].cell(), pct(gap(v, o)),
                                 fmt(tour.length) if tour.length is not None else f"none ({tour.note})",
                                 pct(tour_gaps[-1]), TSPLIB_NINT_OPTIMUM.get(name, "-"),
                                 fmt(out["vok"].first_solution, 4),
                                 out["vok"].iterations if out["vok"].iterations is not None else "-",
                                 fmt(out["vok"].peak_mb, 0)])
        w()
        if not self.args.no_ortools:
            w(f"VOK at or below OR-Tools on {wins} of {total}.")
        w(harness.summary("VOK against the tour reference", tour_gaps))
        if any(g is not None and g < 0 for g in tour_gaps):
            w("A negative gap means VOK's routes beat its own one-agent tour: the reference needs a longer "
              "--tour-budget.")

    def solomon(self, budget: float, names: List[str]) -> None:
        w = self.report.write
        w()
        w(f"### Solomon, 100 customers with their time windows, 25 agents, min-sum, {budget:g} s")
        w()
        w("Converted with `vok.converters.solomon_to_instance`: windows, service times, demands and the vehicle "
          "capacity, enforced, as published.")
        w()
        self.report.table(["instance", "VOK status", "VOK valid", "VOK objective", "VOK vehicles",
                           "OR-Tools objective", "OR-Tools vehicles", "VOK peak MB"])
        valid = 0
        for name in names:
            path = self.args.benchmarks / "solomon" / f"{name}.txt"
            instance = harness.converters().solomon_to_instance(path, 25, customers=100, objective="min_sum")
            out = self.pair(instance, budget, f"{name} solomon {budget:g}s")
            vok, peer = out["vok"], out["ortools"]
            valid += vok.valid
            self.report.row([name, vok.status, "yes" if vok.valid else "NO", vok.cell(),
                             vok.check.vehicles_used if vok.check else "-", peer.cell(),
                             peer.check.vehicles_used if peer.check else "-", fmt(vok.peak_mb, 0)])
        w()
        w(f"VOK valid on {valid} of {len(names)}.")


if __name__ == "__main__":
    main()
