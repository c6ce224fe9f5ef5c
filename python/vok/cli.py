"""The ``vok`` command line: solve a JSON instance, convert TSPLIB, VRPLIB and Solomon files into one, or
write the report page of a solve.

Exit status: 0 when routes were found, 1 when the search found none, 2 for a bad instance,
an unreadable or malformed file, or bad arguments, 130 when interrupted (Ctrl-C).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import math
import os
import re
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Mapping, NoReturn, Optional, Sequence, Tuple

import _vok_core

from . import __version__, solve_json_str
from .converters import ConversionError, read_text_file, solomon_to_instance, to_json, tsplib_to_instance
from .model import excerpt

OBJECTIVES = ("min_max", "min_sum")


class CommandError(Exception):
    """A fault of the input or the arguments: reported on standard error, exit status 2."""


class _Parser(argparse.ArgumentParser):
    """Argument errors become one ``vok: ...`` line, like every other fault, instead of a usage block."""

    def error(self, message: str) -> NoReturn:
        command = self.prog.partition(" ")[2]
        raise CommandError(f"{command}: {message}" if command else message)


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, got {text}")
    return value


def _int_at_least(low: int) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"must be at least {low}, got {value}")
        return value

    return convert


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vok",
        description="Multiple travelling salesman solver with side constraints.",
        epilog="Exit status: 0 routes found, 1 no routes found, 2 bad instance, file or arguments.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    solve = commands.add_parser(
        "solve",
        help="solve a JSON instance and print the routes",
        description="Solve a JSON instance and print each agent's route and cost, the totals, the solve "
                    "time and the improvements found over time: the search, then the improvement stage for "
                    "the rest of the budget. Solver warnings go to standard error.",
        epilog="Exit status: 0 routes found, 1 no routes found, 2 bad instance or arguments, 130 interrupted "
               "(the best routes found so far are printed).",
    )
    solve.add_argument("instance", metavar="INSTANCE.json", help="instance file")
    solve.add_argument("--time-limit", metavar="S", type=_positive_float,
                       help="processor-time budget in seconds (overrides the instance's options.time_limit)")
    solve.add_argument("--objective", choices=OBJECTIVES,
                       help="objective (overrides the instance's options.objective)")
    solve.add_argument("--search-only", action="store_true",
                       help="the search alone, without the improvement stage (sets options.improve false; "
                            "by default it is true)")
    solve.add_argument("--improve", action="store_true", help=argparse.SUPPRESS)  # the default; kept for old scripts
    solve.add_argument("--seed", metavar="N", type=int,
                       help="random seed of the improvement stage (sets options.seed)")
    solve.add_argument("--enforce-precedence", action="store_true",
                       help="keep the instance's precedence pairs (sets options.enforce_precedence true)")
    solve.add_argument("--threads", metavar="N", type=_int_at_least(1),
                       help="workers of the improvement stage, each on a thread with the whole budget "
                            "(sets options.threads; default 1)")
    solve.add_argument("--out", metavar="RESULT.json",
                       help="write the result dictionary as JSON, with every route's timetable")
    solve.add_argument("--plot", metavar="ROUTES.png", help="draw the routes into a PNG (needs vok[plot])")
    solve.add_argument("--quiet", action="store_true",
                       help="print nothing on standard output and silence the solver's diagnostics")
    solve.set_defaults(run=_solve)

    report = commands.add_parser(
        "report",
        help="write the HTML report page of a solve",
        description="Write one self-contained HTML page (no network needed) of a result written by "
                    "'vok solve --out': the routes drawn, a table per route with its timetable (when the "
                    "result has one, else its path and cost) and the anytime curve.",
    )
    report.add_argument("result", metavar="RESULT.json", help="result file of vok solve --out")
    report.add_argument("instance", metavar="INSTANCE.json", help="the instance that was solved")
    report.add_argument("-o", "--out", metavar="REPORT.html", required=True, help="the page to write")
    report.set_defaults(run=_report)

    convert = commands.add_parser(
        "convert",
        help="turn a TSPLIB or Solomon file into a JSON instance",
        description="Turn a benchmark file into a JSON instance: one depot, identical agents of type "
                    "'vehicle', Euclidean costs, every route returns to the depot. Node ids are the "
                    "positions 0, 1, 2, ... in file order.",
    )
    formats = convert.add_subparsers(dest="format", metavar="FORMAT")
    formats.required = True

    tsplib = formats.add_parser(
        "tsplib",
        help="TSPLIB file with EUC_2D coordinates",
        description="Convert a TSPLIB file (NODE_COORD_SECTION, EDGE_WEIGHT_TYPE EUC_2D) into a JSON "
                    "instance. Costs are the Euclidean distances, exact (real) or rounded to the "
                    "nearest integer as TSPLIB does (nint).",
    )
    tsplib.add_argument("file", metavar="FILE.tsp", help="TSPLIB file")
    _add_agents(tsplib)
    tsplib.add_argument("--depot", metavar="K", type=_int_at_least(0), default=0,
                        help="position of the depot in file order, counted from 0 (default 0)")
    _add_objective(tsplib)
    tsplib.add_argument("--rounding", choices=("real", "nint"), default="real",
                        help="exact distances or nearest integers (default real)")
    tsplib.add_argument("--metric", action="store_true",
                        help='write the costs as {"metric": "euclidean"} instead of a matrix: the solver '
                             "computes the same distances from x and y, and the file stays small")
    _add_budget_and_out(tsplib)
    tsplib.set_defaults(run=_convert)

    solomon = formats.add_parser(
        "solomon",
        help="Solomon VRPTW file",
        description="Convert a Solomon VRPTW file into a JSON instance: customer 0 is the depot, costs "
                    "are exact Euclidean distances and every node keeps its time window (READY TIME to "
                    "DUE DATE), its service time and its demand; every agent gets the VEHICLE section's "
                    "capacity and the instance enforces it, as published.",
    )
    solomon.add_argument("file", metavar="FILE.txt", help="Solomon file")
    _add_agents(solomon)
    solomon.add_argument("--customers", metavar="N", type=_int_at_least(1),
                         help="keep only the first N customers (default all)")
    solomon.add_argument("--no-service", action="store_true", help="leave the service times out")
    solomon.add_argument("--no-capacity", action="store_true",
                         help="leave the demands, the vehicle capacity and the capacity rule out")
    _add_objective(solomon)
    _add_budget_and_out(solomon)
    solomon.set_defaults(run=_convert)

    from .batch_cli import register

    register(commands)
    return parser


def _add_agents(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--agents", metavar="M", type=_int_at_least(1), required=True, help="number of agents")


def _add_objective(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--objective", choices=OBJECTIVES, default="min_max",
                        help="objective written into the instance (default min_max)")


def _add_budget_and_out(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--time-limit", metavar="S", type=_positive_float,
                        help="time budget written into the instance (default: the solver's 60 s)")
    parser.add_argument("--out", metavar="FILE.json", help="output file (default standard output)")


def _read_instance(path: str, what: str = "an instance") -> Tuple[str, Dict[str, Any]]:
    try:
        text = read_text_file(path)
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror or exc}") from None
    except ConversionError as exc:
        raise CommandError(str(exc)) from None

    def refuse(token: str) -> None:
        raise ValueError(f"{token} is not a JSON number")

    def finite(token: str) -> float:
        value = float(token)
        if not math.isfinite(value):
            raise _Overflow(token)
        return value

    def whole(token: str) -> int:
        finite(token)  # a whole number beyond the range of a double overflows in the core too
        return int(token)

    try:
        instance = json.loads(text, parse_constant=refuse, parse_float=finite, parse_int=whole)
    except _Overflow as exc:
        line, column = _place_of_overflow(text)
        raise CommandError(f"{path}: invalid JSON at line {line}, column {column}: the number "
                           f"{excerpt(str(exc))} is too large for a double") from None
    except json.JSONDecodeError as exc:
        raise CommandError(f"{path}: invalid JSON at line {exc.lineno}, column {exc.colno}: {exc.msg}") from None
    except RecursionError:
        raise CommandError(f"{path}: invalid JSON: values nested too deeply") from None
    except ValueError as exc:
        raise CommandError(f"{path}: invalid JSON: {exc}") from None
    if not isinstance(instance, dict):
        raise CommandError(f"{path}: {what} is a JSON object, not {type(instance).__name__}")
    return text, instance


class _Overflow(ValueError):
    """A JSON number beyond the range of a double."""


_STRING_OR_NUMBER = re.compile(r'"(?:[^"\\]|\\.)*"|-?\d+(?:\.\d+)?(?:[eE][+-]?\d+)?')


def _place_of_overflow(text: str) -> Tuple[int, int]:
    """Line and column (from 1) of the first number in ``text`` that overflows a double."""
    for match in _STRING_OR_NUMBER.finditer(text):
        token = match.group()
        if not token.startswith('"') and not math.isfinite(float(token)):
            line = text.count("\n", 0, match.start()) + 1
            return line, match.start() - (text.rfind("\n", 0, match.start()) + 1) + 1
    return 1, 1


class _Progress:
    """One live line on the terminal while the core solves: processor seconds spent over the budget, the
    best costs and the number of improvements so far. Log lines written meanwhile are shown above it."""

    REFRESH = 0.2  # seconds between redraws

    def __init__(self, budget: Any, terminal: int) -> None:
        self.budget = f"{budget:g}" if isinstance(budget, (int, float)) else "?"
        self.best: Optional[Mapping[str, Any]] = None
        self.improvements = 0
        # The solve runs on this thread; its processor clock is what the budget counts.
        try:
            self._clock: Optional[int] = time.pthread_getcpuclockid(threading.get_ident())
        except (AttributeError, OSError):
            self._clock = None
        self._started = self._now()
        self._terminal = terminal
        self._lock = threading.Lock()
        self._done = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def _now(self) -> float:
        return time.clock_gettime(self._clock) if self._clock is not None else time.monotonic()

    def improved(self, entry: Mapping[str, Any]) -> None:
        """The on_improvement callable: remembers the entry; returns None, so the solve goes on."""
        self.best = entry
        self.improvements += 1

    def line(self) -> str:
        elapsed = self._now() - self._started
        if self.best is None:
            costs = "best max -  sum -"
        else:
            costs = f"best max {self.best['max_cost']:.3f}  sum {self.best['sum_cost']:.3f}"
        return f"{elapsed:.1f}/{self.budget} s  {costs}  improvements {self.improvements}"

    def start(self) -> None:
        self._thread = threading.Thread(target=self._run, name="vok-progress", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        """Stops drawing and erases the line."""
        self._done.set()
        if self._thread is not None:
            self._thread.join()
        with self._lock:
            self._show(b"\r\x1b[K")

    def above(self, text: str) -> None:
        """Shows a line of text above the live line."""
        with self._lock:
            self._show(b"\r\x1b[K" + text.encode(errors="replace") + b"\n")

    def _show(self, data: bytes) -> None:
        try:
            os.write(self._terminal, data)
        except OSError:
            pass  # a vanished terminal must not stop the solve

    def _run(self) -> None:
        while not self._done.wait(self.REFRESH):
            try:
                width = os.get_terminal_size(self._terminal).columns
            except OSError:
                width = 0
            if width <= 1:
                width = 80  # a terminal that does not tell its size
            with self._lock:
                if not self._done.is_set():
                    self._show(b"\r\x1b[K" + self.line()[:width - 1].encode())


class _StderrLines(logging.Handler):
    """The command line's own view of the logger "vok": each message as one line on standard error,
    above the progress line while there is one."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.progress: Optional[_Progress] = None

    def emit(self, record: logging.LogRecord) -> None:
        try:
            text = self.format(record)
            if self.progress is not None:
                self.progress.above(text)
            elif sys.stderr is not None:
                sys.stderr.write(text + "\n")
                sys.stderr.flush()
        except Exception:  # a log line must never end the solve
            self.handleError(record)


@contextlib.contextmanager
def _core_lines(quiet: bool) -> Iterator[_StderrLines]:
    """While the command runs, the core's lines go to the logger "vok", and from there to standard error
    unless ``quiet``; the diagnostics mode and the logger are set back afterwards."""
    handler = _StderrLines()
    logger = logging.getLogger("vok")
    previous = _vok_core.set_diagnostics("logging")
    if not quiet:
        logger.addHandler(handler)
    try:
        yield handler
    finally:
        logger.removeHandler(handler)
        _vok_core.set_diagnostics(previous)


def _load_plotter() -> Callable[..., Any]:
    try:
        import matplotlib  # noqa: F401

        from .plot import save_routes_png
    except ImportError as exc:
        if (exc.name or "").partition(".")[0] == "matplotlib":
            raise CommandError('--plot needs matplotlib; install it with: pip install "vok[plot]"') from None
        raise CommandError(f"--plot is not available: {exc}") from None
    return save_routes_png


def _objective_name(options: Any) -> str:
    # The core reads "min_max" and "MIN_MAX" as min-max and every other word as min-sum.
    if isinstance(options, dict) and options.get("objective") in ("min_max", "MIN_MAX"):
        return "min_max"
    return "min_sum"


def _node_label(nodes: List[Any], index: int) -> str:
    try:
        return str(int(nodes[index]["id"]))
    except (IndexError, KeyError, TypeError, ValueError):
        return f"#{index}"


def _instance_time_limit(instance: Dict[str, Any]) -> Any:
    options = instance.get("options")
    return options.get("time_limit", 60.0) if isinstance(options, dict) else 60.0


def _print_report(path: str, instance: Dict[str, Any], result: Mapping[str, Any],
                  time_limit: Optional[float], interrupted: bool = False) -> None:
    nodes = instance.get("nodes", [])
    options = instance.get("options")
    if time_limit is None:
        time_limit = _instance_time_limit(instance)
    stats = result["statistics"]
    print(f"{path}: {len(nodes)} nodes, {len(result['routes'])} agents, "
          f"objective {_objective_name(options)}, time limit {time_limit:g} s")
    if interrupted:
        ending = "interrupted"
    elif stats.get("stop_reason") == "memory_limit":
        ending = "memory limit reached"
    else:
        ending = "time limit reached" if result["timeout"] else "search finished"
    print(f"status {result['status']} ({ending})")
    print()
    print(f"{'agent':>8} {'cost':>12} {'nodes':>6}  route")
    for route in result["routes"]:
        path_labels = [_node_label(nodes, i) for i in route["path"]]
        shown = " -> ".join(path_labels) if path_labels else "(no route)"
        print(f"{route['agent_id']:>8} {route['cost']:>12.3f} {len(path_labels):>6}  {shown}")
    print()
    print(f"max cost {stats['max_cost']:.3f}   sum cost {stats['sum_cost']:.3f}   "
          f"solve time {stats['solve_time']:.3f} s   "
          f"states generated {stats['n_generated']}, expanded {stats['n_expanded']}")
    if stats.get("improve_iterations"):
        print(f"improvement iterations {stats['improve_iterations']}")
    if not result["anytime"]:
        print("improvements: none")
        return
    print("improvements (processor seconds since the search began):")
    print(f"{'time':>10} {'max cost':>12} {'sum cost':>12}")
    for entry in result["anytime"]:
        print(f"{entry['time']:>10.3f} {entry['max_cost']:>12.3f} {entry['sum_cost']:>12.3f}")


def _write_text(path: str, text: str) -> None:
    try:
        Path(path).write_text(text, encoding="utf-8")
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror or exc}") from None


def _solve(args: argparse.Namespace) -> int:
    _, instance = _read_instance(args.instance)
    overrides: Dict[str, Any] = {"improve": not args.search_only, "schedule": True}
    if args.objective is not None:
        overrides["objective"] = args.objective
    if args.seed is not None:
        if not -2**63 <= args.seed < 2**63:
            raise CommandError(f"solve: argument --seed: must be a 64-bit integer, got {args.seed}")
        overrides["seed"] = args.seed
    if args.enforce_precedence:
        overrides["enforce_precedence"] = True
    if args.threads is not None:
        overrides["threads"] = args.threads
    options = instance.setdefault("options", {})
    if not isinstance(options, dict):
        raise CommandError(f"{args.instance}: \"options\" is not an object")
    options.update(overrides)
    text = json.dumps(instance)
    for target in (args.out, args.plot):
        if target and not Path(target).resolve().parent.is_dir():
            raise CommandError(f"cannot write {target}: its folder does not exist")
    plotter = _load_plotter() if args.plot else None

    stderr_is_terminal = sys.stderr is not None and sys.stderr.isatty()
    budget = args.time_limit if args.time_limit else _instance_time_limit(instance)
    progress = _Progress(budget, sys.stderr.fileno()) if stderr_is_terminal and not args.quiet else None
    failure: Optional[Exception] = None
    interruption: Optional[KeyboardInterrupt] = None
    with _core_lines(args.quiet) as lines:
        if progress is not None:
            lines.progress = progress
            progress.start()
        try:
            result = solve_json_str(text, args.time_limit if args.time_limit else -1,
                                    on_improvement=progress.improved if progress else None)
        except (RuntimeError, ValueError, IndexError) as exc:
            failure = exc
        except KeyboardInterrupt as exc:
            interruption = exc
        finally:
            if progress is not None:
                progress.stop()
                lines.progress = None
    if failure is not None:
        raise CommandError(f"{args.instance}: {failure}")
    if interruption is not None:
        # The core hands the best routes found before the interruption along with it.
        partial = getattr(interruption, "partial_result", None)
        if partial is None:
            raise interruption
        result = partial

    unwritten: Optional[OSError] = None
    if not args.quiet:
        try:
            _print_report(args.instance, instance, result, args.time_limit, interrupted=interruption is not None)
            if sys.stdout is not None:
                sys.stdout.flush()
        except BrokenPipeError:  # a reader that stopped early (| head) takes nothing from the solve
            _drop_stdout()
        except OSError as exc:  # a full disk, a device error: said once the files are written
            _drop_stdout()
            unwritten = exc
    if args.out:
        _write_text(args.out, to_json(result))
    if plotter is not None:
        try:
            plotter(instance, result, args.plot)
        except OSError as exc:
            raise CommandError(f"cannot write {args.plot}: {exc.strerror or exc}") from None
    if unwritten is not None:
        raise CommandError(f"solve: cannot write standard output: {unwritten.strerror or unwritten}")
    if interruption is not None:
        return 130
    return 0 if result["status"] == "success" else 1


def _report(args: argparse.Namespace) -> int:
    from .report import report_html

    result = _read_instance(args.result, what="a result")[1]
    instance = _read_instance(args.instance)[1]
    if not Path(args.out).resolve().parent.is_dir():
        raise CommandError(f"cannot write {args.out}: its folder does not exist")
    try:
        page = report_html(instance, result, title=f"VOK solve of {Path(args.instance).name}")
    except (KeyError, TypeError, IndexError) as exc:
        raise CommandError(f"{args.result}: not a result of {args.instance}: {type(exc).__name__} {exc}") from None
    except ValueError as exc:
        raise CommandError(f"{args.result}: {exc}") from None
    _write_text(args.out, page)
    logging.getLogger("vok").debug("wrote %s", args.out)
    return 0


def _convert(args: argparse.Namespace) -> int:
    try:
        if args.format == "tsplib":
            instance = tsplib_to_instance(args.file, agents=args.agents, depot=args.depot, objective=args.objective,
                                          rounding=args.rounding, time_limit=args.time_limit,
                                          metric=args.metric)
        else:
            instance = solomon_to_instance(args.file, agents=args.agents, customers=args.customers,
                                           objective=args.objective, time_limit=args.time_limit,
                                           service=not args.no_service, capacity=not args.no_capacity)
    except ValueError as exc:  # ConversionError among them
        raise CommandError(str(exc)) from None
    except OSError as exc:
        raise CommandError(f"cannot read {args.file}: {exc.strerror or exc}") from None
    text = to_json(instance)
    if args.out:
        _write_text(args.out, text)
        return 0
    if sys.stdout is None:
        raise CommandError("convert: standard output is closed; name a file with --out")
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        _drop_stdout()
        raise CommandError(f"convert: cannot write standard output: {exc.strerror or exc}") from None
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 2)
    except CommandError as exc:
        return _fail(str(exc))
    try:
        return int(args.run(args))
    except CommandError as exc:
        return _fail(str(exc))
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        _drop_stdout()
        return _fail(f"{args.command}: standard output was closed")
    except (MemoryError, RecursionError) as exc:
        return _fail(f"{args.command}: input too large to handle ({type(exc).__name__})")
    except Exception as exc:  # a fault no check above names: still one line, never a traceback
        return _fail(f"{args.command}: {type(exc).__name__}: {exc}")


def _drop_stdout() -> None:
    # Whatever is still buffered for a closed pipe must not fail again when the interpreter exits.
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, AttributeError, ValueError):
        pass


def _fail(message: str) -> int:
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except (OSError, ValueError):
        _drop_stdout()
    if sys.stderr is not None:
        try:
            print(f"vok: {message}", file=sys.stderr)
        except (OSError, ValueError):
            pass
    return 2
