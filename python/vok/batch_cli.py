"""``vok batch`` and ``vok sweep``: many solves from the command line, through ``vok.batch``."""

from __future__ import annotations

import argparse
import copy
import json
import os
import sys
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from .batch import solve_each, solve_many
from .cli import CommandError, _int_at_least, _objective_name, _positive_float, _read_instance, _write_text
from .converters import to_json

STATUSES = ("success", "failed")  # what a complete result says; "error" results are solved again


def register(commands: Any) -> None:
    batch = commands.add_parser(
        "batch",
        help="solve every *.json instance of a folder, side by side",
        description="Solve every *.json instance of DIR with a pool of worker processes (or on a Dask "
                    "cluster) and write each result dictionary into the --out folder under the instance's "
                    "name. Instances whose result is already there, complete, are skipped, so an "
                    "interrupted run resumes where it stopped. A progress bar shows on standard error when "
                    "it is a terminal; a table of every instance's status and objective ends the run.",
        epilog="Exit status: 0 every instance has routes, 1 some search found none, 2 bad arguments or some "
               "instance could not be solved (its result file holds the error), 130 interrupted.",
    )
    batch.add_argument("folder", metavar="DIR", help="folder of JSON instances")
    batch.add_argument("--out", metavar="DIR", required=True, help="folder for the results (made if missing)")
    _add_road(batch)
    batch.add_argument("--time-limit", metavar="S", type=_positive_float,
                       help="processor-time budget of every solve (overrides the instances' own)")
    batch.set_defaults(run=_batch)

    sweep = commands.add_parser(
        "sweep",
        help="solve one instance for a range of fleet sizes",
        description="Solve INSTANCE once for every fleet size of --agents and print the longest route (max "
                    "cost) and the total (sum cost) against the number of agents. The instance's agents are "
                    "the template: agent j of a fleet of M is a copy of template agent j mod K (K agents in "
                    "the file), so a smaller fleet keeps the first M agents and a larger one repeats them "
                    "round-robin; the first K keep their ids and each copy gets the next id above the "
                    "largest one. The costs of an agent type that no agent of a fleet has are left out.",
        epilog="Exit status: 0 every fleet has routes, 1 some search found none, 2 bad instance, arguments or "
               "a solve that failed, 130 interrupted.",
    )
    sweep.add_argument("instance", metavar="INSTANCE.json", help="instance file")
    sweep.add_argument("--agents", metavar="SIZES", type=_fleet_sizes, required=True,
                       help="fleet sizes: A..B (both included), M, or a comma list of these, e.g. 2..12 or 2,4,8")
    sweep.add_argument("--time-limit", metavar="S", type=_positive_float,
                       help="processor-time budget of every solve (overrides the instance's own)")
    _add_road(sweep)
    sweep.add_argument("--out", metavar="RESULTS.json",
                       help='write [{"agents": M, "result": {...}}, ...] as JSON')
    sweep.add_argument("--plot", metavar="SWEEP.png",
                       help="draw the costs against the fleet size (needs vok[plot])")
    sweep.set_defaults(run=_sweep)


def _add_road(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--workers", metavar="N", type=_int_at_least(1),
                        help="worker processes (default one per core); with --scheduler, the most solves "
                             "submitted at a time (default all)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="solve on the Dask cluster of this scheduler, e.g. tcp://host:8786 (needs vok[dask])")


def _fleet_sizes(text: str) -> List[int]:
    sizes: set[int] = set()
    for part in text.split(","):
        low, dots, high = part.strip().partition("..")
        try:
            first, last = int(low), int(high if dots else low)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a fleet size or A..B range: {part.strip()!r}") from None
        if first < 1 or last < first:
            raise argparse.ArgumentTypeError(f"{part.strip()!r} is no range of sizes of at least 1")
        sizes.update(range(first, last + 1))
    return sorted(sizes)


def _connect(address: Optional[str]) -> Any:
    if address is None:
        return None
    try:
        from distributed import Client
    except ImportError:
        raise CommandError("--scheduler needs Dask's distributed package; install it with: "
                           'pip install "vok[dask]"') from None
    try:
        return Client(address, set_as_default=False)
    except (OSError, TimeoutError, ValueError, TypeError) as exc:
        raise CommandError(f"cannot connect to the scheduler at {address}: {exc}") from None


def _complete_result(path: Path) -> Optional[Dict[str, Any]]:
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError, RecursionError):
        return None
    if not isinstance(data, dict) or data.get("status") not in STATUSES or not isinstance(data.get("routes"), list):
        return None
    statistics = data.get("statistics")
    if not isinstance(statistics, dict) or not all(isinstance(statistics.get(k), (int, float))
                                                   for k in ("max_cost", "sum_cost")):
        return None
    return data


def _write_result(path: Path, result: Mapping[str, Any]) -> None:
    # Written aside and moved into place, so an interrupted run never leaves half a result behind.
    scratch = path.with_name(f".{path.name}.{os.getpid()}.part")
    _write_text(str(scratch), to_json(result))
    try:
        os.replace(scratch, path)
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror or exc}") from None


def _instance_objective(path: Path) -> str:
    try:
        options = json.loads(path.read_text(encoding="utf-8")).get("options")
    except (OSError, ValueError, RecursionError, AttributeError):
        return "min_sum"
    return _objective_name(options)


def _exit_status(results: Sequence[Mapping[str, Any]], what: str) -> int:
    errors = sum(r.get("status") == "error" for r in results)
    if errors:
        print(f"vok: {errors} of {len(results)} {what} could not be solved", file=sys.stderr)
        return 2
    return 0 if all(r.get("status") == "success" for r in results) else 1


def _batch(args: argparse.Namespace) -> int:
    folder, out = Path(args.folder), Path(args.out)
    if not folder.is_dir():
        raise CommandError(f"{args.folder} is not a folder")
    instances = [p for p in sorted(folder.glob("*.json")) if not p.is_dir()]
    if not instances:
        raise CommandError(f"{args.folder} holds no *.json instance")
    if out.exists() and not out.is_dir():
        raise CommandError(f"--out {args.out} is not a folder")
    if out.resolve() == folder.resolve():
        raise CommandError("--out must be another folder than DIR: the results would replace the instances")
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise CommandError(f"cannot make {args.out}: {exc.strerror or exc}") from None

    results: Dict[str, Mapping[str, Any]] = {}
    todo: List[Path] = []
    for path in instances:
        done: Optional[Mapping[str, Any]] = _complete_result(out / path.name)
        if done is not None:
            results[path.name] = done
        else:
            todo.append(path)
    kept = set(results)

    client = _connect(args.scheduler)
    try:
        for index, result in solve_each(todo, args.time_limit, args.workers, client):
            _write_result(out / todo[index].name, result)
            results[todo[index].name] = result
    except KeyboardInterrupt:
        print(f"vok: interrupted with {len(results)} of {len(instances)} results written; run again to resume",
              file=sys.stderr)
        return 130
    finally:
        if client is not None:
            client.close()

    width = max(len("instance"), *(len(p.name) for p in instances))
    print(f"{'instance':<{width}}  {'status':<8} {'objective':>20}")
    for path in instances:
        entry = results[path.name]
        status = str(entry.get("status"))
        if status == "error":
            shown = str(entry.get("error"))
        elif status == "success":
            objective = _instance_objective(path)
            value = entry["statistics"]["max_cost" if objective == "min_max" else "sum_cost"]
            shown = f"{objective.replace('min_', '')} {value:>16.3f}"
        else:
            shown = f"{'-':>20}"
        note = "  (kept from an earlier run)" if path.name in kept else ""
        print(f"{path.name:<{width}}  {status:<8} {shown}{note}")
    print(f"{len(instances)} instances: {len(todo)} solved now, {len(kept)} kept from earlier runs")
    return _exit_status([results[p.name] for p in instances], "instances")


def with_fleet(instance: Mapping[str, Any], size: int, label: str = "instance") -> Dict[str, Any]:
    """The instance with `size` agents made from its own, as `vok sweep --help` describes."""
    template = instance.get("agents")
    if not isinstance(template, list) or not template or not all(isinstance(a, dict) for a in template):
        raise CommandError(f'{label}: "agents" must be a non-empty list of agent objects')
    ids = []
    for k, agent in enumerate(template):
        if isinstance(agent.get("id"), bool) or not isinstance(agent.get("id"), int):
            raise CommandError(f'{label}: agents[{k}] has no whole-number "id" to number the copies from')
        ids.append(agent["id"])
    next_id = max(ids) + 1
    agents = []
    for j in range(size):
        agent = copy.deepcopy(template[j % len(template)])
        if j >= len(template):
            agent["id"], next_id = next_id, next_id + 1
        agents.append(agent)
    fleet = dict(instance, agents=agents)
    costs = instance.get("costs")
    if isinstance(costs, dict):
        # The core refuses costs for a type no agent has, as a trimmed fleet may leave one.
        types = {agent.get("type") for agent in agents}
        fleet["costs"] = {name: entry for name, entry in costs.items() if name in types}
    return fleet


def _save_sweep_png(rows: Sequence[Tuple[int, Mapping[str, Any]]], title: str, path: str) -> None:
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    solved = [(m, r["statistics"]) for m, r in rows if r.get("status") == "success"]
    fleet = [m for m, _ in solved]
    figure = Figure(figsize=(6.4, 4.0))
    axes = figure.subplots()
    axes.plot(fleet, [s["max_cost"] for _, s in solved], "o-", color="tab:blue", label="max cost (longest route)")
    axes.set_xlabel("agents")
    axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    axes.set_ylabel("max cost", color="tab:blue")
    total = axes.twinx()
    total.plot(fleet, [s["sum_cost"] for _, s in solved], "s--", color="tab:orange", label="sum cost")
    total.set_ylabel("sum cost", color="tab:orange")
    axes.set_title(title)
    axes.grid(True, alpha=0.3)
    figure.legend(loc="upper right", bbox_to_anchor=(0.88, 0.88))
    figure.tight_layout()
    figure.savefig(path, format="png", dpi=100)


def _sweep(args: argparse.Namespace) -> int:
    _, instance = _read_instance(args.instance)
    variants = [with_fleet(instance, m, args.instance) for m in args.agents]
    for target in (args.out, args.plot):
        if target and not Path(target).resolve().parent.is_dir():
            raise CommandError(f"cannot write {target}: its folder does not exist")
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise CommandError('--plot needs matplotlib; install it with: pip install "vok[plot]"') from None

    client = _connect(args.scheduler)
    try:
        results = solve_many(variants, args.time_limit, args.workers, client)
    finally:
        if client is not None:
            client.close()
    rows = list(zip(args.agents, results))

    options = instance.get("options")
    budget = args.time_limit or (options.get("time_limit", 60.0) if isinstance(options, dict) else 60.0)
    objective = _objective_name(options)
    print(f"{args.instance}: objective {objective}, time limit {budget:g} s")
    print(f"{'agents':>6}  {'status':<8} {'max cost':>12} {'sum cost':>12}")
    for size, result in rows:
        status = str(result.get("status"))
        if status == "success":
            stats = result["statistics"]
            print(f"{size:>6}  {status:<8} {stats['max_cost']:>12.3f} {stats['sum_cost']:>12.3f}")
        elif status == "error":
            # The variants are dicts, so the message opens with their list position: the row says which.
            message = str(result.get("error"))
            if message.startswith("instances["):
                message = message.partition(": ")[2]
            print(f"{size:>6}  {status:<8} {message}")
        else:
            print(f"{size:>6}  {status:<8} {'-':>12} {'-':>12}")
    if args.out:
        _write_text(args.out, to_json([{"agents": m, "result": r} for m, r in rows]))
    if args.plot:
        try:
            _save_sweep_png(rows, f"{Path(args.instance).name} ({objective})", args.plot)
        except OSError as exc:
            raise CommandError(f"cannot write {args.plot}: {exc.strerror or exc}") from None
    return _exit_status(results, "fleet sizes")
