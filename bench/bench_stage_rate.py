"""Improvement stage iterations per processor second on very large random instances.

    python bench/bench_stage_rate.py [--cases 10000:50:min_sum 10000:20:min_max ...]
                                     [--variants plain windows] [--iterations 200 2200] [--seed 1]

Each case runs twice in child processes of its own, capped at the two iteration
counts (``improve_iterations``, a fixed seed, a generous time limit); the rate
is the difference in iterations over the difference in the children's processor
time, so reading, set-up and the first solution cancel out. Instances come from
bench/make_random.py in the metric cost form. The machine should be idle: the
figures are only as steady as it is.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import make_random  # noqa: E402

CASES = ["10000:50:min_sum", "10000:20:min_max"]


def child(path: str, cap: int) -> None:
    import _vok_core

    result = _vok_core.solve_json_file(path)
    stats = result["statistics"]
    longest = max(len(route["path"]) for route in result["routes"]) - 2
    print(json.dumps({"iterations": stats["improve_iterations"], "max_cost": stats["max_cost"],
                      "sum_cost": stats["sum_cost"], "longest": longest}))


def run(path: str, cap: int):
    before = os.times()
    out = subprocess.run([sys.executable, __file__, "--child", path, str(cap)], check=True,
                         capture_output=True, text=True).stdout
    after = os.times()
    cpu = (after.children_user - before.children_user) + (after.children_system - before.children_system)
    return json.loads(out.strip().splitlines()[-1]), cpu


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cases", nargs="+", default=CASES, metavar="NODES:AGENTS:OBJECTIVE")
    parser.add_argument("--variants", nargs="+", choices=make_random.VARIANTS, default=list(make_random.VARIANTS))
    parser.add_argument("--iterations", nargs=2, type=int, default=[200, 2200], metavar=("LOW", "HIGH"))
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    low, high = args.iterations
    print("| nodes | m | objective | windows | iterations | processor s | iterations / s | value at HIGH "
          "| most targets on a route |")
    print("|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as scratch:
        for case in args.cases:
            nodes, agents, objective = case.split(":")
            for variant in args.variants:
                instance = make_random.make_instance(int(nodes), int(agents), objective, variant, args.seed, "metric")
                path = os.path.join(scratch, "instance.json")
                runs = []
                for cap in (low, high):
                    instance["options"].update(improve=True, seed=args.seed, improve_iterations=cap,
                                               time_limit=3600.0)
                    with open(path, "w") as handle:
                        json.dump(instance, handle)
                    runs.append(run(path, cap))
                (a, cpu_a), (b, cpu_b) = runs
                done = b["iterations"] - a["iterations"]
                spent = cpu_b - cpu_a
                rate = done / spent if spent > 0 else float("nan")
                value = b["max_cost"] if objective == "min_max" else b["sum_cost"]
                print(f"| {nodes} | {agents} | {objective} | {'yes' if variant == 'windows' else 'no'} | {done} "
                      f"| {spent:.2f} | {rate:.0f} | {value:.1f} | {b['longest']} |", flush=True)


if __name__ == "__main__":
    main()
