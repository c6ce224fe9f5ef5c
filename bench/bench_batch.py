"""Throughput of vok.solve_many: the same solves with 1 and 2 workers, on the local pool and on a
Dask LocalCluster (worker processes of one thread each).

    python bench/bench_batch.py [--count 40] [--budget 1.0] [--no-dask]

The solves are examples/eil51_3_agents.json with the improvement stage on and a seed of their own,
so each one runs for its whole budget. Prints the wall time of each road and worker count, and the
ratio of 2 workers to 1. Every route is re-checked by route_check.py.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path
from typing import Any, Dict, List, Optional

import harness
from route_check import check_routes

import vok

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "eil51_3_agents.json"


def instances(count: int, budget: float) -> List[Dict[str, Any]]:
    base = json.loads(EXAMPLE.read_text())
    made = []
    for seed in range(count):
        instance = json.loads(json.dumps(base))
        instance["options"].update(improve=True, seed=seed, time_limit=budget)
        made.append(instance)
    return made


def run(batch: List[Dict[str, Any]], workers: int, client: Any = None) -> float:
    started = time.perf_counter()
    results = vok.solve_many(batch, workers=None if client is not None else workers, client=client,
                             progress=False)
    wall = time.perf_counter() - started
    for instance, result in zip(batch, results):
        if result["status"] != "success":
            sys.exit(f"a solve failed: {result}")
        check = check_routes(instance, [r["path"] for r in result["routes"]], [r["cost"] for r in result["routes"]])
        if not check.valid or check.mismatches:
            sys.exit(f"INVALID routes: {check.problems + check.mismatches}")
    return wall


def dask_run(batch: List[Dict[str, Any]], workers: int) -> Optional[float]:
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        print("distributed is missing (pip install \".[dask]\"): the cluster rows are left out", file=sys.stderr)
        return None
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            return run(batch, workers, client)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=40, help="solves per run (default 40)")
    parser.add_argument("--budget", type=float, default=1.0, help="processor seconds per solve (default 1)")
    parser.add_argument("--no-dask", action="store_true", help="leave the LocalCluster runs out")
    args = parser.parse_args()

    batch = instances(args.count, args.budget)
    print(harness.machine_line(False))
    print(f"{args.count} solves of eil51 (3 agents, improve on) at {args.budget:g} processor seconds each.")
    print()
    print("| road | 1 worker (s) | 2 workers (s) | 2 / 1 |")
    print("|---|---|---|---|")
    roads = [("local processes", lambda w: run(batch, w))]
    if not args.no_dask:
        roads.append(("Dask LocalCluster", lambda w: dask_run(batch, w)))
    for name, road in roads:
        one, two = road(1), road(2)
        if one is None or two is None:
            continue
        print(f"| {name} | {one:.2f} | {two:.2f} | {two / one:.2f} |", flush=True)


if __name__ == "__main__":
    main()
