"""Many solves side by side: a pool of local worker processes, or the workers of a Dask cluster.

``solve_many`` returns the result dictionaries in input order; ``solve_each`` yields
``(position, result)`` pairs as the solves finish. An instance is a path to a JSON instance file, a
JSON instance as a dict, or an object whose ``to_instance()`` returns such a dict. Files are read,
and objects turned into JSON, on the calling machine, so cluster workers need ``vok`` but not the
files.

A bad instance (a file that cannot be read, JSON the core refuses, a ``ValueError`` or
``RuntimeError`` from the core) gets ``{"status": "error", "error": message}`` in its own slot, and
the other solves go on.
"""

from __future__ import annotations

import json
import math
import os
import pickle
import signal
import struct
import subprocess
import sys
from collections import deque
from collections.abc import Generator, Iterable, Iterator, Mapping
from dataclasses import dataclass
from multiprocessing.connection import wait
from typing import Any, Deque, Dict, List, Optional, Tuple, Union, cast

import _vok_core

from .converters import ConversionError, read_text_file

__all__ = ["solve_many", "solve_each"]

Result = Dict[str, Any]
Road = Generator[Tuple[int, Result], None, None]


def _error(message: str) -> Result:
    return {"status": "error", "error": message}


@dataclass
class _Task:
    index: int
    label: str
    text: str
    losses: int = 0


def _is_path(item: Any) -> bool:
    return isinstance(item, (str, bytes, os.PathLike))


def _check_kinds(items: List[Any]) -> None:
    for index, item in enumerate(items):
        if not (_is_path(item) or isinstance(item, Mapping) or callable(getattr(item, "to_instance", None))):
            raise TypeError(f"instances[{index}] is of type {type(item).__name__}: expected a path, a dict or an "
                            "object with a to_instance() method")


def _label(item: Any, index: int) -> str:
    return os.fsdecode(item) if _is_path(item) else f"instances[{index}]"


def _prepare(item: Any, index: int) -> Union[_Task, Result]:
    """The JSON text to ship, or the error slot of an instance that has none."""
    label = _label(item, index)
    if _is_path(item):
        try:
            return _Task(index, label, read_text_file(item))
        except OSError as exc:
            return _error(f"cannot read {label}: {exc.strerror or exc}")
        except ConversionError as exc:
            return _error(str(exc))
    if not isinstance(item, Mapping):
        try:
            item = item.to_instance()
        except Exception as exc:
            return _error(f"{label}: to_instance() raised {type(exc).__name__}: {exc}")
        if not isinstance(item, Mapping):
            return _error(f"{label}: to_instance() returned a {type(item).__name__}, not a dict")
    try:
        return _Task(index, label, json.dumps(item, allow_nan=False))
    except (TypeError, ValueError, RecursionError) as exc:
        return _error(f"{label}: cannot be written as JSON: {exc}")


def _solve_text(text: str, time_limit: float, label: str) -> Result:
    """Runs on a worker: one solve, its failure turned into an error slot."""
    try:
        return dict(_vok_core.solve_json_str(text, time_limit))
    except (ValueError, RuntimeError) as exc:
        return _error(f"{label}: {exc}")
    except Exception as exc:
        return _error(f"{label}: {type(exc).__name__}: {exc}")


def _check_time_limit(time_limit: Optional[float]) -> float:
    if time_limit is None:
        return -1.0
    if isinstance(time_limit, bool) or not isinstance(time_limit, (int, float)) \
            or not (time_limit > 0 and math.isfinite(time_limit)):
        raise ValueError(f"time_limit must be None or a positive number of seconds, got {time_limit!r}")
    return float(time_limit)


def _check_workers(workers: Optional[int]) -> Optional[int]:
    if workers is None:
        return None
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be None or a whole number of at least 1, got {workers!r}")
    return workers


# ---------------------------------------------------------------- the local pool
# Workers are fresh interpreters rather than multiprocessing children: nothing of the caller (its main
# module, its threads) is copied or re-imported, so any script, notebook or service may call us.

# The worker must import this very vok and _vok_core: their folders go first on its path unless
# the interpreter finds them there anyway.
_WORKER_CODE = ("import signal, sys; signal.signal(signal.SIGINT, signal.SIG_IGN); "
                "sys.path[:0] = [p for p in sys.argv[1:] if p not in sys.path]; "
                "import vok.batch; vok.batch._serve()")
_FRAME = struct.Struct("!Q")


def _write_frame(fd: int, value: Any) -> None:
    data = pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
    view = memoryview(_FRAME.pack(len(data)) + data)
    while view:
        view = view[os.write(fd, view):]


def _read_exactly(fd: int, size: int) -> bytes:
    chunks = []
    while size:
        chunk = os.read(fd, size)
        if not chunk:
            raise EOFError
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def _read_frame(fd: int) -> Any:
    (size,) = _FRAME.unpack(_read_exactly(fd, _FRAME.size))
    return pickle.loads(_read_exactly(fd, size))


def _serve() -> None:
    """A worker's loop: jobs arrive on standard input, results leave through what was standard output,
    which from here on is standard error, since what the core prints is diagnostics."""
    results = os.dup(1)
    os.dup2(2, 1)
    while True:
        try:
            job = _read_frame(0)
        except EOFError:
            return
        if job is None:
            return
        _write_frame(results, _solve_text(*job))


def _worker_command() -> List[str]:
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    core = os.path.dirname(os.path.abspath(_vok_core.__file__ or __file__))
    return [sys.executable, "-c", _WORKER_CODE, *dict.fromkeys([here, core])]


def _exit_description(code: Optional[int]) -> str:
    if code is None:
        return "it stopped answering"
    if code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit status {code}"


class _Worker:
    def __init__(self, command: List[str], stderr: Optional[int]) -> None:
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr,
                                        close_fds=True)
        assert self.process.stdin is not None and self.process.stdout is not None
        self.jobs = self.process.stdin.fileno()
        self.results = self.process.stdout.fileno()
        self.task: Optional[_Task] = None

    def fileno(self) -> int:
        return self.results

    def lost(self) -> str:
        """Once its results pipe has ended: reaps the process and says how it ended."""
        try:
            code: Optional[int] = self.process.wait(1.0)
        except subprocess.TimeoutExpired:
            code = None
        self.stop(force=True)
        return _exit_description(code)

    def stop(self, force: bool) -> None:
        if not force:
            try:
                _write_frame(self.jobs, None)
                self.process.wait(1.0)
            except (OSError, subprocess.TimeoutExpired):
                pass
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(1.0)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stream in (self.process.stdin, self.process.stdout):
            try:
                if stream is not None:
                    stream.close()
            except OSError:
                pass


class _Forwarder:
    """Passes the workers' output on above the progress bar, whole lines at a time."""

    def __init__(self, bar: Any) -> None:
        self.reader, self.writer = os.pipe()
        os.set_blocking(self.reader, False)
        self.bar = bar
        self.pending = b""

    def fileno(self) -> int:
        return self.reader

    def pump(self, final: bool = False) -> None:
        while True:
            try:
                chunk = os.read(self.reader, 65536)
            except BlockingIOError:
                break
            if not chunk:
                break
            self.pending += chunk
        if final:
            lines, self.pending = self.pending, b""
        else:
            lines, _, self.pending = self.pending.rpartition(b"\n")
        if lines:
            self.bar.write(lines.decode(errors="replace").rstrip("\n"), file=sys.stderr)

    def close(self) -> None:
        os.close(self.writer)
        self.pump(final=True)
        os.close(self.reader)


def _local_each(items: List[Any], time_limit: float, workers: int, bar: Any) -> Road:
    command = _worker_command()
    forwarder = _Forwarder(bar) if bar is not None else None
    stderr = forwarder.writer if forwarder is not None else None
    pending: Deque[int] = deque(range(len(items)))
    retries: Deque[_Task] = deque()
    pool: List[_Worker] = []
    finished = False
    try:
        pool.extend(_Worker(command, stderr) for _ in range(min(workers, len(items))))
        while True:
            for slot, worker in enumerate(pool):
                while worker.task is None and (retries or pending):
                    if retries:
                        task = retries.popleft()
                    else:
                        index = pending.popleft()
                        prepared = _prepare(items[index], index)
                        if not isinstance(prepared, _Task):
                            yield index, prepared
                            continue
                        task = prepared
                    try:
                        _write_frame(worker.jobs, (task.text, time_limit, task.label))
                    except OSError:  # it died while idle: the task never ran there
                        retries.appendleft(task)
                        worker.stop(force=True)
                        worker = pool[slot] = _Worker(command, stderr)
                        continue
                    worker.task = task
            busy = [w for w in pool if w.task is not None]
            if not busy:
                break
            watched: List[Any] = list(busy) + ([forwarder] if forwarder is not None else [])
            ready: List[Any] = wait(watched)
            if forwarder is not None:
                forwarder.pump()
            for worker in busy:
                if worker not in ready or worker.task is None:
                    continue
                task, worker.task = worker.task, None
                try:
                    result = _read_frame(worker.results)
                except (EOFError, OSError, pickle.UnpicklingError):
                    lost = worker.lost()
                    pool[pool.index(worker)] = _Worker(command, stderr)
                    task.losses += 1
                    if task.losses > 1:
                        yield task.index, _error(f"{task.label}: the worker process solving it was lost "
                                                 f"twice (last {lost})")
                    else:
                        retries.append(task)
                    continue
                yield task.index, result
        finished = True
    finally:
        for worker in pool:
            worker.stop(force=not finished)
        if forwarder is not None:
            forwarder.close()


# ---------------------------------------------------------------- a Dask cluster

def _dask_outcome(future: Any, label: str) -> Result:
    from distributed import KilledWorker

    try:
        result = future.result()
    except KilledWorker as exc:
        said = str(exc).split(". ")[0]  # the rest points at worker logs
        return _error(f"{label}: the cluster lost the workers solving it (KilledWorker: {said})")
    except Exception as exc:  # cancelled, or the worker could not run the task at all
        return _error(f"{label}: {type(exc).__name__}: {exc}")
    return dict(result)


def _dask_each(items: List[Any], time_limit: float, cap: Optional[int], client: Any) -> Road:
    from distributed import as_completed

    pending: Deque[int] = deque(range(len(items)))
    running: Dict[Any, _Task] = {}
    completed = as_completed(loop=client.loop)
    limit = cap if cap is not None else len(items)
    try:
        while pending or running:
            while pending and len(running) < limit:
                index = pending.popleft()
                prepared = _prepare(items[index], index)
                if not isinstance(prepared, _Task):
                    yield index, prepared
                    continue
                # retries=1 covers a task that raised; a lost worker is the scheduler's to retry
                # (its allowed-failures setting).
                future = client.submit(_solve_text, prepared.text, time_limit, prepared.label, pure=False,
                                       retries=1)
                running[future] = prepared
                completed.add(future)
            if not running:
                break
            future = next(completed)
            task = running.pop(future)
            yield task.index, _dask_outcome(future, task.label)
    finally:
        if running:
            client.cancel(list(running))


# ---------------------------------------------------------------- the entry points

def _progress_bar(total: int, wanted: bool) -> Any:
    stream = sys.stderr
    if not wanted or stream is None or not stream.isatty():
        return None
    from tqdm import tqdm

    try:
        sized = os.get_terminal_size(stream.fileno()).columns > 1
    except (OSError, ValueError):
        sized = False
    # A terminal that does not tell its width would get a bar of none.
    return tqdm(total=total, unit="solve", file=stream, leave=False, dynamic_ncols=sized,
                ncols=None if sized else 80)


def solve_each(instances: Iterable[Any], time_limit: Optional[float] = None, workers: Optional[int] = None,
               client: Any = None, progress: bool = True) -> Iterator[Tuple[int, Result]]:
    """Yields ``(position, result)`` for every instance as its solve finishes; the arguments are those of
    ``solve_many``. Closing the iterator early, or Ctrl-C, stops the local workers at once."""
    items = list(instances)
    _check_kinds(items)
    limit = _check_time_limit(time_limit)
    count = _check_workers(workers)
    return _each(items, limit, count, client, progress)


def _each(items: List[Any], limit: float, count: Optional[int], client: Any, progress: bool) -> Road:
    if not items:
        return
    bar = _progress_bar(len(items), progress)
    if client is not None:
        road = _dask_each(items, limit, count, client)
    else:
        road = _local_each(items, limit, count or os.cpu_count() or 1, bar)
    errors = 0
    try:
        for index, result in road:
            if bar is not None:
                errors += result.get("status") == "error"
                if errors:
                    bar.set_postfix_str(f"{errors} error{'s' if errors > 1 else ''}", refresh=False)
                bar.update(1)
            yield index, result
    finally:
        road.close()
        if bar is not None:
            bar.close()


def solve_many(instances: Iterable[Any], time_limit: Optional[float] = None, workers: Optional[int] = None,
               client: Any = None, progress: bool = True) -> List[Result]:
    """Solves every instance and returns their result dictionaries in input order.

    ``instances``: paths of JSON instance files (``str`` or ``os.PathLike``), JSON instances as dicts,
    or objects with a ``to_instance()`` method that returns such a dict; anything else raises
    ``TypeError`` before a solve starts.

    ``time_limit``: ``None`` keeps each instance's own ``options.time_limit``; a number above 0 replaces
    it for every instance.

    ``workers``: without ``client``, the number of local worker processes (``None``: one per core). A
    worker process that is lost (killed) while solving is replaced and its instance solved again once;
    a second loss gives that slot an error. With a Dask ``distributed.Client`` as ``client`` the solves
    go to its cluster, and ``workers``, when given, caps how many are submitted at a time. The
    scheduler re-runs a task whose worker was lost as its ``distributed.scheduler.allowed-failures``
    setting says (3 by default; 1 retries once); past that the slot gets an error.

    ``progress``: show a progress bar on standard error when it is a terminal.

    Ctrl-C stops the local workers and raises ``KeyboardInterrupt``; on a cluster the tasks not yet
    started are cancelled, and the solves already running end with their budgets.
    """
    items = list(instances)
    results: List[Optional[Result]] = [None] * len(items)
    for index, result in solve_each(items, time_limit, workers, client, progress):
        results[index] = result
    return cast(List[Result], results)  # solve_each yields every position once
