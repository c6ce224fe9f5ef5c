"""Solomon C101, R101 and RC101 as published: service times, demands and capacities, beside OR-Tools.

    python bench/bench_solomon.py [--budget 10] [--instances C101 ...] [--agents 25] [--quick] [--out FILE]

100 customers, 25 vehicles of the file's capacity, ``"enforce_capacity": true``,
min-sum, VOK with ``"improve": true``. Travel times are real Euclidean distances
in double precision (no truncation to one decimal). Each row gives the
objective (the sum of the routes' completion times: travel, waiting and
service), the travel distance alone and the vehicles used, for both solvers,
as the route checker measures them. Published results minimise distance alone
and are context only: C101's best is 828.94 with 10 vehicles, in double
precision.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, Dict

import harness
from harness import fmt

INSTANCES = ["C101", "R101", "RC101"]
QUICK_BUDGET = 0.5


def published_instance(path: Path, agents: int, customers: int = 100) -> Dict[str, Any]:
    """The converter's instance as published: windows, service times, demands, the vehicle
    capacity and the capacity rule, min-sum."""
    return harness.converters().solomon_to_instance(path, agents, customers=customers, objective="min_sum")


def main() -> None:
    parser = harness.make_parser(__doc__)
    args = parser.parse_args()
    budget = args.budget or (QUICK_BUDGET if args.quick else 10.0)
    names = harness.pick(INSTANCES, args.instances, "instances")
    report = harness.start(args, "Solomon with service times and capacities", f"{budget:g} s")
    scratch = args.scratch / "solomon"
    scratch.mkdir(parents=True, exist_ok=True)
    report.write("Min-sum, 100 customers, their windows, service times, demands and the vehicle capacity "
                 "(`\"enforce_capacity\": true`); real Euclidean travel times in double precision. Objective = sum "
                 "of route completion times (travel + waiting + service); travel = distance alone. OR-Tools models "
                 "the same: service in the time dimension's transits, the sum of vehicle spans, a capacity dimension.")
    report.write()
    report.table(["instance", "agents", "VOK objective", "VOK travel", "VOK vehicles", "OR-Tools objective",
                  "OR-Tools travel", "OR-Tools vehicles", "VOK <= OR-Tools", "VOK first solution (s)",
                  "VOK peak MB"])
    for name in names:
        for agents in args.agents or [25]:
            instance = published_instance(args.benchmarks / "solomon" / f"{name}.txt", agents)
            out = harness.solve_pair(instance, budget, f"{name} m={agents} service {budget:g}s", args, scratch,
                                     report)
            vok, peer = out["vok"], out["ortools"]

            def travel(o: harness.Outcome) -> str:
                return fmt(o.check.travel) if o.check else "-"

            def used(o: harness.Outcome) -> str:
                return str(o.check.vehicles_used) if o.check else "-"

            if peer.value is None:
                better = "-" if vok.value is None else "yes"
            else:
                better = "yes" if vok.value is not None and vok.value <= peer.value else "no"
            report.row([name, agents, vok.cell(), travel(vok), used(vok), peer.cell(), travel(peer), used(peer),
                        better, fmt(vok.first_solution, 4), fmt(vok.peak_mb, 0)])
    report.close()


if __name__ == "__main__":
    main()
