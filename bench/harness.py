"""What the benchmark runners share: solving in child processes, re-checking, tables, the machine line.

Every solve runs in a child process of its own (``python bench/harness.py
--worker SOLVER INSTANCE BUDGET``), so that its peak resident memory can be read
from the rusage that ``os.wait4`` returns for exactly that child. VOK gets the
budget as processor seconds (its ``time_limit``), OR-Tools as wall seconds;
the machine should run nothing else during a real run. The routes each solver
returns go through ``route_check.check_routes``, and the tables report the
checker's figures, never a solver's own claim.

OR-Tools and PyVRP are installed into the running interpreter on first use
(``python -m pip install ortools pyvrp``); VOK itself never depends on them.
"""

from __future__ import annotations

import argparse
import hashlib
import importlib.util
import json
import os
import platform
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Sequence

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BENCHMARKS = ROOT.parent / "shared" / "benchmarks"
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

from ortools_peer import FIRST_SOLUTION, SCALE  # noqa: E402
from route_check import CheckResult, InstanceView, check_routes  # noqa: E402

SOLVERS = ("vok", "ortools", "pyvrp")
SOLVER_NAMES = {"vok": "VOK", "ortools": "OR-Tools", "pyvrp": "PyVRP"}


def converters():
    """The project's own converters (python/vok/converters.py of this checkout)."""
    source = str(ROOT / "python")
    if source not in sys.path:
        sys.path.insert(0, source)
    from vok import converters as module

    return module


# ---------------------------------------------------------------- the machine

def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def _memory() -> str:
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                return f"{int(line.split()[1]) / 2 ** 20:.0f} GiB"
    except OSError:
        pass
    return "unknown memory"


def vok_commit() -> str:
    def git(*args: str) -> str:
        return subprocess.run(["git", "-C", str(ROOT), *args], capture_output=True, text=True).stdout.strip()

    commit = git("rev-parse", "--short", "HEAD") or "unknown"
    return commit + ("-dirty" if git("status", "--porcelain", "--untracked-files=no") else "")


def package_version(name: str) -> Optional[str]:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(name)
    except PackageNotFoundError:
        return None


def ortools_version() -> Optional[str]:
    return package_version("ortools")


def ensure_package(name: str, shown: str) -> str:
    """Installs a peer (PyPI ``name``) into this interpreter when it is missing; returns its version."""
    if importlib.util.find_spec(name) is None:
        print(f"{shown} is missing: python -m pip install {name}", file=sys.stderr, flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", name], check=True)
        importlib.invalidate_caches()
    return package_version(name) or "unknown"


def ensure_ortools() -> str:
    return ensure_package("ortools", "OR-Tools")


def machine_line(with_ortools: bool, with_pyvrp: bool = False) -> str:
    found = importlib.util.find_spec("_vok_core")
    module = found.origin if found is not None else "not installed"
    peer = f"OR-Tools {ortools_version()}" if with_ortools else "OR-Tools not run"
    if with_pyvrp:
        peer += f", PyVRP {package_version('pyvrp')}"
    return (f"Machine: {cpu_model()}, {os.cpu_count()} cores, {_memory()}; Python {platform.python_version()}; "
            f"VOK commit {vok_commit()} (module {module}); {peer}.")


# ---------------------------------------------------------------- child processes

@dataclass
class ChildRun:
    payload: Optional[Dict[str, Any]]  # the worker's JSON answer, None when it gave none
    returncode: int
    peak_mb: float
    cpu_s: float
    wall_s: float
    stderr: str


def run_child(solver: str, instance_path: Path, budget: float, timeout: float, extra: Sequence[str] = ()) -> ChildRun:
    """Runs one worker and reads its peak memory and processor time from its own rusage."""
    command = [sys.executable, str(Path(__file__).resolve()), "--worker", solver, str(instance_path), repr(budget),
               *extra]
    started = time.monotonic()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        child = subprocess.Popen(command, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        done = threading.Event()

        def stop() -> None:
            if not done.is_set():
                os.kill(child.pid, signal.SIGKILL)

        guard = threading.Timer(timeout, stop)
        guard.start()
        try:
            _, status, usage = os.wait4(child.pid, 0)
        finally:
            done.set()
            guard.cancel()
        child.returncode = os.waitstatus_to_exitcode(status)
        wall = time.monotonic() - started
        out.seek(0)
        err.seek(0)
        lines = out.read().decode(errors="replace").strip().splitlines()
        stderr = err.read().decode(errors="replace")
    payload = None
    if lines:
        try:
            payload = json.loads(lines[-1])
        except json.JSONDecodeError:
            payload = None
    return ChildRun(payload, child.returncode, usage.ru_maxrss / 1024.0, usage.ru_utime + usage.ru_stime, wall,
                    stderr)


def _vok_worker(path: str, budget: float) -> Dict[str, Any]:
    # The instance is not loaded in Python here, so the peak memory is VOK's reading and solving.
    import _vok_core

    try:
        result = _vok_core.solve_json_file(path, time_limit=budget)
    except Exception as exc:  # a bad instance is a finding, not a crash of the benchmark
        return {"status": "error", "message": f"{type(exc).__name__}: {exc}"}
    statistics = result["statistics"]
    anytime = result["anytime"]
    return {
        "status": result["status"],
        "routes": [route["path"] for route in result["routes"]],
        "claimed_costs": [route["cost"] for route in result["routes"]],
        "claimed_max": statistics["max_cost"],
        "claimed_sum": statistics["sum_cost"],
        "first_solution": anytime[0]["time"] if anytime else None,
        "improvements": len(anytime),
        "iterations": statistics.get("improve_iterations"),
        "message": "",
    }


def _peer_worker(solver: str, path: str, budget: float, extra: str) -> Dict[str, Any]:
    """A peer's answer: OR-Tools with its first solution strategy, PyVRP with its seed."""
    import ortools_peer
    import pyvrp_peer

    instance = json.loads(Path(path).read_text())
    try:
        if solver == "pyvrp":
            return pyvrp_peer.solve(instance, budget, int(extra))
        return ortools_peer.solve(instance, budget, extra)
    except Exception as exc:
        return {"status": "error", "message": f"{type(exc).__name__}: {exc}"}


def worker_main(argv: Sequence[str]) -> None:
    solver, path, budget = argv[0], argv[1], float(argv[2])
    answer = _vok_worker(path, budget) if solver == "vok" else _peer_worker(solver, path, budget, argv[3])
    sys.stdout.write("\n" + json.dumps(answer) + "\n")


# ---------------------------------------------------------------- one solve, re-checked

@dataclass
class Outcome:
    solver: str
    label: str
    status: str
    check: Optional[CheckResult] = None
    first_solution: Optional[float] = None
    iterations: Optional[int] = None
    peak_mb: Optional[float] = None
    cpu_s: Optional[float] = None
    wall_s: Optional[float] = None
    message: str = ""

    @property
    def solved(self) -> bool:
        return self.status == "success" and self.check is not None

    @property
    def valid(self) -> bool:
        return self.solved and self.check is not None and self.check.valid

    @property
    def value(self) -> Optional[float]:
        """The checker's objective of a valid solution."""
        return self.check.value if self.valid and self.check is not None else None

    def cell(self, digits: int = 2) -> str:
        """The objective for a table: the checker's value, marked when the routes break a rule."""
        if not self.solved or self.check is None:
            return self.status
        text = f"{self.check.value:.{digits}f}"
        return text if self.check.valid else f"{text} INVALID"


def vok_instance(instance: Mapping[str, Any], budget: float, seed: int, improve: bool = True) -> Dict[str, Any]:
    """The instance with VOK's options for a benchmark run: the budget, the improvement stage and its seed."""
    options = dict(instance.get("options", {}))
    options.update({"time_limit": budget, "improve": improve, "seed": seed})
    return dict(instance, options=options)


def _slug(text: str) -> str:
    return re.sub(r"[^A-Za-z0-9_.-]+", "_", text).strip("_")


class Report:
    """A Markdown report printed as it grows and written to ``--out`` at the end, with every finding."""

    SHOWN = 5  # findings of one kind listed per solve

    def __init__(self, out: Optional[str]):
        self.out = out
        self.lines: List[str] = []
        self.findings: List[str] = []

    def write(self, text: str = "") -> None:
        print(text, flush=True)
        self.lines.append(text)

    def table(self, columns: Sequence[str]) -> None:
        self.write("| " + " | ".join(columns) + " |")
        self.write("|" + "---|" * len(columns))

    def row(self, cells: Sequence[Any]) -> None:
        self.write("| " + " | ".join(str(c) for c in cells) + " |")

    def note(self, outcome: Outcome) -> None:
        """Reports at once, on standard error, what the checker or the run found wrong."""
        who = f"{SOLVER_NAMES.get(outcome.solver, outcome.solver)}, {outcome.label}"
        found: List[str] = []
        if outcome.check is not None:
            for kind, items in (("INVALID ROUTE", outcome.check.problems),
                                ("CLAIM MISMATCH", outcome.check.mismatches)):
                found += [f"{kind}: {p}" for p in items[:self.SHOWN]]
                if len(items) > self.SHOWN:
                    found.append(f"{kind}: {len(items) - self.SHOWN} more like these")
        if outcome.status not in ("success", "failed") or (outcome.status == "failed" and outcome.message):
            found.append(f"{outcome.status.upper()}: {outcome.message}")
        for text in found:
            line = f"{who}: {text}"
            print(f"!!! {line}", file=sys.stderr, flush=True)
            self.findings.append(line)

    def close(self) -> None:
        if self.findings:
            self.write()
            self.write("### Findings (route checker and runs)")
            self.write()
            for line in self.findings:
                self.write(f"- {line}")
        if self.out:
            Path(self.out).write_text("\n".join(self.lines) + "\n")


def solve(solver: str, instance: Mapping[str, Any], budget: float, label: str, scratch: Path, seed: int,
          report: Optional[Report] = None, first_solution: str = FIRST_SOLUTION) -> Outcome:
    """Solves one instance with one solver in a child process and re-checks its routes.
    ``first_solution`` names OR-Tools' first solution strategy."""
    data = vok_instance(instance, budget, seed) if solver == "vok" else instance
    path = scratch / f"{_slug(label)}.{solver}.json"
    path.write_text(json.dumps(data))
    extra = {"ortools": [first_solution], "pyvrp": [str(seed)]}.get(solver, [])
    child = run_child(solver, path, budget, timeout=3 * budget + 120, extra=extra)
    outcome = Outcome(solver, label, "success", peak_mb=child.peak_mb, cpu_s=child.cpu_s, wall_s=child.wall_s)
    answer = child.payload
    if answer is None:
        outcome.status = "crashed"
        tail = " / ".join(child.stderr.strip().splitlines()[-3:])
        outcome.message = f"exit code {child.returncode}, no answer; stderr: {tail}"
    else:
        outcome.status = answer["status"]
        outcome.message = answer.get("message", "")
        outcome.first_solution = answer.get("first_solution")
        outcome.iterations = answer.get("iterations")
    if answer is not None and outcome.status == "success":
        view = InstanceView(instance)
        routes = answer["routes"]
        if solver == "vok":
            claim = answer["claimed_max"] if view.objective == "min_max" else answer["claimed_sum"]
            outcome.check = check_routes(view, routes, claimed_costs=answer["claimed_costs"],
                                         claimed_objective=claim)
        else:
            # The peers round travel and service up, each once per arc.
            arcs = sum(max(0, len(r) - 1) for r in routes)
            outcome.check = check_routes(view, routes, claimed_objective=answer["claimed_objective"],
                                         claim_tolerance=2 * arcs / SCALE + 1e-6)
    if outcome.status != "crashed":
        path.unlink()  # instance files of large runs are big; make_random.py makes them again
    if report is not None:
        report.note(outcome)
    return outcome


def solve_pair(instance: Mapping[str, Any], budget: float, label: str, args: argparse.Namespace,
               scratch: Path, report: Report) -> Dict[str, Outcome]:
    """VOK and, unless ``--no-ortools``, OR-Tools on the same instance at the same budget; PyVRP as
    well where the script runs it (``--no-pyvrp`` leaves it out), on min-sum instances only."""
    results = {"vok": solve("vok", instance, budget, label, scratch, args.seed, report)}
    if not args.no_ortools:
        results["ortools"] = solve("ortools", instance, budget, label, scratch, args.seed, report,
                                   args.ortools_first)
    else:
        results["ortools"] = Outcome("ortools", label, "not run")
    if getattr(args, "no_pyvrp", True):
        results["pyvrp"] = Outcome("pyvrp", label, "not run")
    elif InstanceView(instance).objective != "min_sum":
        results["pyvrp"] = Outcome("pyvrp", label, "min-max")
    else:
        results["pyvrp"] = solve("pyvrp", instance, budget, label, scratch, args.seed, report)
    return results


# ---------------------------------------------------------------- command line

def make_parser(description: str, with_pyvrp: bool = False) -> argparse.ArgumentParser:
    """The common options; ``with_pyvrp``: the script runs PyVRP as well, unless ``--no-pyvrp``."""
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    if with_pyvrp:
        parser.add_argument("--no-pyvrp", action="store_true", help="leave PyVRP out")
    parser.add_argument("--budget", type=float, help="seconds per solve, replacing every default budget "
                                                      "(processor seconds for VOK, wall seconds for OR-Tools)")
    parser.add_argument("--instances", nargs="+", help="run only these instances")
    parser.add_argument("--agents", type=int, nargs="+", help="run only these agent counts")
    parser.add_argument("--quick", action="store_true", help="smoke run: a tiny budget and one case per table")
    parser.add_argument("--seed", type=int, default=1, help="VOK's seed (default 1)")
    parser.add_argument("--out", help="write the Markdown report to this file as well")
    parser.add_argument("--no-ortools", action="store_true", help="leave OR-Tools out")
    parser.add_argument("--ortools-first", default=FIRST_SOLUTION, metavar="STRATEGY",
                        help=f"OR-Tools' first solution strategy (default {FIRST_SOLUTION})")
    parser.add_argument("--benchmarks", type=Path, default=BENCHMARKS, help="folder with tsplib/ and solomon/")
    parser.add_argument("--scratch", type=Path, default=Path(tempfile.gettempdir()) / "vok_bench",
                        help="folder for the instance files of the runs")
    return parser


def start(args: argparse.Namespace, title: str, budget: str) -> Report:
    """Prepares a run: OR-Tools, the scratch folder, the report with its title, machine and settings."""
    with_pyvrp = not getattr(args, "no_pyvrp", True)
    if not args.no_ortools:
        ensure_ortools()
    if with_pyvrp:
        ensure_package("pyvrp", "PyVRP")
    args.scratch.mkdir(parents=True, exist_ok=True)
    report = Report(args.out)
    report.write(f"## {title}")
    report.write()
    report.write(machine_line(not args.no_ortools, with_pyvrp))
    report.write()
    peer = "OR-Tools not run" if args.no_ortools else (
        f"OR-Tools: {args.ortools_first} then GUIDED_LOCAL_SEARCH, the same budget in wall seconds "
        "(model in bench/ortools_peer.py)")
    if with_pyvrp:
        peer += ("; PyVRP: its default iterated local search, the same budget in wall seconds, seed as VOK's, "
                 "min-sum instances only (model in bench/pyvrp_peer.py)")
    report.write(f"Settings: VOK with `\"improve\": true`, seed {args.seed}, {budget} in processor seconds; {peer}. "
                 "Every objective is the route checker's (bench/route_check.py), never a solver's own claim.")
    report.write()
    return report


def pick(values: Sequence[Any], wanted: Optional[Sequence[Any]], what: str) -> List[Any]:
    """The defaults, narrowed to the ones asked for on the command line."""
    if not wanted:
        return list(values)
    unknown = [w for w in wanted if w not in values]
    if unknown:
        raise SystemExit(f"unknown {what}: {', '.join(map(str, unknown))}; choose from {', '.join(map(str, values))}")
    return [v for v in values if v in wanted]


# ---------------------------------------------------------------- figures

def fmt(value: Optional[float], digits: int = 2) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def gap(value: Optional[float], reference: Optional[float]) -> Optional[float]:
    """Per cent above the reference."""
    if value is None or not reference:
        return None
    return 100.0 * (value - reference) / reference


def pct(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:+.2f} %"


def summary(label: str, gaps: Sequence[Optional[float]]) -> str:
    known = [g for g in gaps if g is not None]
    if not known:
        return f"{label}: no valid solution."
    missing = len(gaps) - len(known)
    tail = f"; {missing} without a valid solution" if missing else ""
    return (f"{label}: mean gap {sum(known) / len(known):+.2f} %, max gap {max(known):+.2f} % "
            f"over {len(known)} instances{tail}.")


def metric_supported() -> bool:
    """Whether VOK's JSON reader takes the metric cost form: a 3-4-5 triangle must cost 10 there and back."""
    import _vok_core

    tiny = {"nodes": [{"id": 0, "x": 0, "y": 0}, {"id": 1, "x": 3, "y": 4}],
            "agents": [{"id": 0, "type": "t", "start_node": 0, "end_node": 0}],
            "costs": {"t": {"metric": "euclidean"}},
            "constraints": [{"kind": "assignment", "items": [{"node": i, "types": ["t"]} for i in (0, 1)]}],
            "options": {"objective": "min_sum", "time_limit": 1}}
    try:
        result = _vok_core.solve_json_str(json.dumps(tiny))
    except Exception:
        return False
    return result["status"] == "success" and abs(result["statistics"]["sum_cost"] - 10.0) < 1e-9


# ---------------------------------------------------------------- tour reference and lower bound

def tour_instance(instance: Mapping[str, Any]) -> Dict[str, Any]:
    """One agent, min-sum, no side rules: a travelling salesman tour through every node from the
    first agent's start node, over the cheapest agent type's costs. Its optimum bounds every
    single-depot solution of the instance from below."""
    view = InstanceView(instance)
    types = sorted({a.type for a in view.agents})
    metrics = [view.metric(t) for t in types]
    if all(m is not None for m in metrics) and len({m.nint for m in metrics if m is not None}) == 1:
        costs: Dict[str, Any] = {"metric": "euclidean", "factor": min(m.factor for m in metrics if m is not None)}
        if metrics[0] is not None and metrics[0].nint:
            costs["round"] = "nint"
    else:
        costs = [[min(view.cost(t, u, v) for t in types) for v in range(view.n)] for u in range(view.n)]
    first = instance["agents"][0]
    return {
        "nodes": [{"id": node["id"], "x": node["x"], "y": node["y"]} for node in instance["nodes"]],
        "agents": [{"id": 0, "type": "tour", "start_node": first["start_node"], "end_node": first["end_node"]}],
        "costs": {"tour": costs},
        "constraints": [{"kind": "assignment", "items": [{"node": node["id"], "types": ["tour"]}
                                                         for node in instance["nodes"]]}],
        "options": {"objective": "min_sum", "return_to_end": view.return_to_end},
    }


@dataclass
class Tour:
    length: Optional[float]
    note: str


def reference_tour(instance: Mapping[str, Any], budget: float, seed: int, scratch: Path, label: str,
                   report: Optional[Report] = None, cache: Optional[Path] = None) -> Tour:
    """The best one-agent tour VOK finds in ``budget`` processor seconds (improve on), cached by
    instance, budget, seed and VOK commit."""
    tour = tour_instance(instance)
    key = "|".join([hashlib.sha256(json.dumps(tour, sort_keys=True).encode()).hexdigest(), repr(budget), str(seed),
                    vok_commit()])
    cache = cache or scratch / "tours.json"
    known = json.loads(cache.read_text()) if cache.exists() else {}
    if key not in known:
        outcome = solve("vok", tour, budget, f"{label} tour", scratch, seed, report)
        known[key] = {"label": label, "length": outcome.value,
                      "note": "" if outcome.valid else f"{outcome.status} {outcome.message}".strip()}
        cache.write_text(json.dumps(known, indent=1))
    entry = known[key]
    return Tour(entry["length"], entry["note"])


def farthest_bound(instance: Mapping[str, Any]) -> float:
    """No route can be shorter than the cheapest way out to its farthest target and back
    (the way back is free on open routes): 2 x the farthest node's distance at one depot."""
    view = InstanceView(instance)
    bound = 0.0
    for v in view.targets:
        ways = [view.cost(a.type, a.start, v) + view.hop(a, v, a.end) for a in view.agents if view.allows(a.type, v)]
        if ways:
            bound = max(bound, min(ways))
    return bound


def lower_bound(instance: Mapping[str, Any], tour: Optional[float]) -> Optional[float]:
    """Min-max: the larger of the farthest-node bound and tour / agents (the latter only when every
    agent leaves from and returns to one depot); min-sum: the tour itself."""
    view = InstanceView(instance)
    one_depot = view.return_to_end and len({(a.start, a.end) for a in view.agents}) == 1 and \
        view.agents[0].start == view.agents[0].end
    if view.objective == "min_sum":
        return tour if one_depot else None
    bound = farthest_bound(instance)
    if tour is not None and one_depot:
        bound = max(bound, tour / len(view.agents))
    return bound


if __name__ == "__main__":
    if len(sys.argv) >= 2 and sys.argv[1] == "--worker":
        worker_main(sys.argv[2:])
    else:
        sys.exit("harness.py is the shared module of bench/bench_*.py; run one of those")
