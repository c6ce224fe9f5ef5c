"""A small model API over the JSON road: nodes, agent types and agents by method call, a solution with
each agent's timetable.

Node ids and agent ids are the positions 0, 1, 2, ... in the order they were added, so a node id is
also its node index in the instance that ``Model.to_instance`` writes.
"""

from __future__ import annotations

import contextlib
import json
import logging
import math
import numbers
import os
import threading
from dataclasses import asdict, dataclass, field
from typing import Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple

__all__ = ["Model", "Solution", "Route", "Stop"]

log = logging.getLogger("vok")

OBJECTIVES = ("min_max", "min_sum")
ROUNDINGS = ("real", "nint")
_INT64 = 2**63
_EXCERPT = 60


def excerpt(text: str) -> str:
    """``text`` for a message, cut to its first 60 characters and its length when longer, so that a message
    stays one short line whatever the caller passed."""
    return text if len(text) <= _EXCERPT else f"{text[:_EXCERPT]}... ({len(text)} characters)"


def shown(value: Any) -> str:
    """``repr(value)`` for a message, cut as ``excerpt`` cuts."""
    return excerpt(repr(value))


def _finite(value: Any, what: str) -> float:
    """The value as a float, or as an int when it is one (the JSON text keeps it as given)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{what} must be a number, got {shown(value)}")
    if isinstance(value, numbers.Integral):
        return int(value)  # an int passes for a float and stays an int in the JSON text
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{what} must be a finite number, got {shown(value)}")
    return number


def _not_negative(value: Any, what: str) -> float:
    number = _finite(value, what)
    if number < 0:
        raise ValueError(f"{what} may not be negative, got {shown(value)}")
    return number


def _whole(value: Any, what: str) -> int:
    number = _not_negative(value, what)
    if number != int(number) or number > 2**31 - 1:
        raise ValueError(f"{what} must be a whole number below 2**31, got {shown(value)}")
    return int(number)


@dataclass
class _Node:
    x: float
    y: float
    depot: bool
    window: Optional[Tuple[float, float]] = None
    service: float = 0.0
    demand: float = 0.0
    types: Optional[List[str]] = None


@dataclass
class _AgentType:
    factor: float = 1.0
    matrix: Optional[List[List[float]]] = None
    rounding: str = "real"


@dataclass
class _Agent:
    type: str
    start: int
    end: int
    capacity: int = 0
    max_length: int = 0


class Model:
    """An instance built by method calls; ``solve`` hands it to the core and returns a ``Solution``.

    ``objective`` is "min_sum" (the sum of the route costs) or "min_max" (the longest route);
    with ``return_to_end`` false the hop into an agent's end node costs nothing."""

    def __init__(self, objective: str = "min_sum", return_to_end: bool = True) -> None:
        if objective not in OBJECTIVES:
            raise ValueError(f"objective must be 'min_max' or 'min_sum', got {shown(objective)}")
        self.objective = objective
        self.return_to_end = bool(return_to_end)
        self._nodes: List[_Node] = []
        self._types: Dict[str, _AgentType] = {}
        self._agents: List[_Agent] = []
        self._precedence: List[Tuple[int, int, str]] = []

    # ------------------------------------------------------------------ building

    def add_depot(self, x: float, y: float, *, window: Optional[Sequence[float]] = None) -> int:
        """A depot at (x, y); returns its node id. A ``window`` (start, end) bounds when routes that end
        here may come back."""
        return self._add(_Node(_finite(x, "depot x"), _finite(y, "depot y"), True,
                               self._window(window, "depot")))

    def add_target(self, x: float, y: float, window: Optional[Sequence[float]] = None, service: float = 0,
                   demand: float = 0, types: Optional[Iterable[str]] = None) -> int:
        """A target at (x, y) that one agent must visit; returns its node id. ``window`` (start, end) bounds
        the start of service, ``service`` is the time spent there, ``demand`` the load taken on, and
        ``types`` the agent types that may visit it (default every type)."""
        what = f"target {len(self._nodes)}"
        node = _Node(_finite(x, f"{what}: x"), _finite(y, f"{what}: y"), False, self._window(window, what),
                     _not_negative(service, f"{what}: service"), _not_negative(demand, f"{what}: demand"))
        if types is not None:
            if isinstance(types, str):
                raise ValueError(f"{what}: types must be a list of agent type names, not the string "
                                 f"{shown(types)}")
            node.types = list(types)
            for name in node.types:
                if name not in self._types:
                    raise ValueError(f"{what}: unknown agent type {shown(name)}; add it with add_agent_type first")
        return self._add(node)

    def add_agent_type(self, name: str, factor: float = 1.0, matrix: Optional[Sequence[Sequence[float]]] = None,
                       *, rounding: str = "real") -> None:
        """An agent type whose costs (and travel times) are the Euclidean distances between the nodes times
        ``factor`` (rounded to the nearest integer with ``rounding="nint"``), or the entries of ``matrix``:
        one row and column per node, in node id order."""
        if not isinstance(name, str) or not name:
            raise ValueError(f"agent type name must be a non-empty string, got {shown(name)}")
        label = f"agent type {shown(name)}"
        if name in self._types:
            raise ValueError(f"{label} is already defined")
        if rounding not in ROUNDINGS:
            raise ValueError(f"{label}: rounding must be 'real' or 'nint', got {shown(rounding)}")
        kind = _AgentType(_not_negative(factor, f"{label}: factor"), None, rounding)
        if matrix is not None:
            rows = [list(row) for row in matrix]
            for r, row in enumerate(rows):
                if len(row) != len(rows):
                    raise ValueError(f"{label}: the matrix has {len(rows)} rows but row {r} has "
                                     f"{len(row)} entries")
                row[:] = [_not_negative(v, f"{label}: matrix row {r}, column {c}")
                          for c, v in enumerate(row)]
            kind.matrix = rows
        self._types[name] = kind

    def add_agent(self, type: str, start: int, end: int, capacity: float = 0, max_length: float = 0) -> int:
        """An agent of agent type ``type`` whose route runs from node ``start`` to node ``end``; returns its
        id. ``capacity`` bounds the demands it serves and ``max_length`` its route cost (0: no limit)."""
        what = f"agent {len(self._agents)}"
        if type not in self._types:
            raise ValueError(f"{what}: unknown agent type {shown(type)}; add it with add_agent_type first")
        agent = _Agent(type, self._node_id(start, f"{what}: start"), self._node_id(end, f"{what}: end"),
                       _whole(capacity, f"{what}: capacity"), _whole(max_length, f"{what}: max_length"))
        self._agents.append(agent)
        return len(self._agents) - 1

    def add_precedence(self, before: int, after: int, kind: str = "") -> None:
        """Node ``before`` is to be served before node ``after``: ``kind`` "same" puts both on one route,
        ``before`` first; "diff" puts them on two routes, and service at ``after`` starts no earlier than
        service at ``before`` has ended; any other kind asks for that timing on any routes. The solver
        keeps these pairs (the instance gets "enforce_precedence": true)."""
        if not isinstance(kind, str):
            raise ValueError(f"precedence kind must be a string, got {shown(kind)}")
        first = self._node_id(before, "precedence: before")
        second = self._node_id(after, "precedence: after")
        if first == second:
            raise ValueError(f"precedence: node {first} cannot come before itself")
        self._precedence.append((first, second, kind))

    def _add(self, node: _Node) -> int:
        self._nodes.append(node)
        return len(self._nodes) - 1

    def _node_id(self, value: Any, what: str) -> int:
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise ValueError(f"{what} must be a node id (an int), got {shown(value)}")
        if not 0 <= int(value) < len(self._nodes):
            raise ValueError(f"{what}: unknown node id {value}; the model has nodes 0 .. {len(self._nodes) - 1}"
                             if self._nodes else f"{what}: unknown node id {value}; the model has no nodes yet")
        return int(value)

    @staticmethod
    def _window(window: Optional[Sequence[float]], what: str) -> Optional[Tuple[float, float]]:
        if window is None:
            return None
        try:
            start, end = window
        except (TypeError, ValueError):
            raise ValueError(f"{what}: window must be a pair (start, end), got {shown(window)}") from None
        start, end = _finite(start, f"{what}: window start"), _finite(end, f"{what}: window end")
        if start > end:
            raise ValueError(f"{what}: window start {start:g} is after its end {end:g}")
        return start, end

    # ------------------------------------------------------------------ reading back

    @property
    def node_count(self) -> int:
        return len(self._nodes)

    @property
    def agent_count(self) -> int:
        return len(self._agents)

    def to_instance(self, time_limit: Optional[float] = None, *, matrices: bool = False) -> Dict[str, Any]:
        """The model as a JSON instance (a dict for ``json.dumps``). Coordinate costs are written in the
        metric form, or with ``matrices`` as full matrices of the same distances."""
        if not self._nodes:
            raise ValueError("the model has no nodes")
        if not self._agents:
            raise ValueError("the model has no agents")
        n = len(self._nodes)
        with_service = any(node.service for node in self._nodes)
        with_demand = any(node.demand for node in self._nodes)
        nodes: List[Dict[str, Any]] = []
        for i, node in enumerate(self._nodes):
            item: Dict[str, Any] = {"id": i, "x": node.x, "y": node.y, "type": "depot" if node.depot else "target"}
            if with_service:
                item["service"] = node.service
            if with_demand:
                item["demand"] = node.demand
            nodes.append(item)

        used = [name for name in self._types if any(agent.type == name for agent in self._agents)]
        costs: Dict[str, Any] = {}
        for name in used:
            kind = self._types[name]
            if kind.matrix is not None:
                if len(kind.matrix) != n:
                    raise ValueError(f"agent type {shown(name)}: the matrix is {len(kind.matrix)} x {len(kind.matrix)} "
                                     f"but the model has {n} nodes")
                costs[name] = kind.matrix
            elif matrices:
                costs[name] = self._distances(name, kind)
            else:
                metric: Dict[str, Any] = {"metric": "euclidean"}
                if kind.factor != 1.0:
                    metric["factor"] = kind.factor
                if kind.rounding == "nint":
                    metric["round"] = "nint"
                costs[name] = metric

        # Every node names its types, which keeps the core's set-up quiet.
        constraints: List[Dict[str, Any]] = [{"kind": "assignment", "items": [
            {"node": i, "types": list(used) if node.types is None else [t for t in node.types if t in used]}
            for i, node in enumerate(self._nodes)]}]
        windows = [{"node": i, "start": node.window[0], "end": node.window[1]}
                   for i, node in enumerate(self._nodes) if node.window is not None]
        if windows:
            constraints.append({"kind": "timewindow", "items": windows})
        if self._precedence:
            constraints.append({"kind": "sequence", "precedence": [
                {"before": before, "after": after, "type": kind} for before, after, kind in self._precedence]})

        agents: List[Dict[str, Any]] = []
        for k, agent in enumerate(self._agents):
            item = {"id": k, "type": agent.type, "start_node": agent.start, "end_node": agent.end}
            if agent.capacity:
                item["capacity"] = agent.capacity
            if agent.max_length:
                item["max_length"] = agent.max_length
            agents.append(item)

        options: Dict[str, Any] = {"objective": self.objective, "return_to_end": self.return_to_end}
        if time_limit is not None:
            options["time_limit"] = time_limit
        if any(agent.capacity for agent in self._agents):
            options["enforce_capacity"] = True
        if self._precedence:
            options["enforce_precedence"] = True
        return {"nodes": nodes, "agents": agents, "costs": costs, "constraints": constraints, "options": options}

    def _distances(self, name: str, kind: _AgentType) -> List[List[float]]:
        points = [(node.x, node.y) for node in self._nodes]
        rows = []
        for i, a in enumerate(points):
            row = []
            for j, b in enumerate(points):
                d = math.hypot(a[0] - b[0], a[1] - b[1]) * kind.factor
                if kind.rounding == "nint":
                    d = float(math.floor(d + 0.5))
                if not math.isfinite(d):
                    raise ValueError(f"agent type {shown(name)}: the distance from node {i} to node {j} is not a "
                                     "finite number; the coordinates are too large")
                row.append(d)
            rows.append(row)
        return rows

    # ------------------------------------------------------------------ solving

    def solve(self, time_limit: float = 10, improve: bool = True, seed: Optional[int] = None,
              on_improvement: Optional[Callable[[Dict[str, Any]], Any]] = None, threads: int = 1) -> "Solution":
        """Solve for at most ``time_limit`` processor seconds, with the improvement stage unless ``improve``
        is false. ``on_improvement`` gets every new best ({"time", "max_cost", "sum_cost"}); returning
        False stops the solve. ``threads`` (1 to 256) runs the improvement stage on that many threads, each
        with the whole budget. The core's diagnostics go to the logger "vok", nothing to the streams."""
        budget = _finite(time_limit, "time_limit")
        if budget <= 0:
            raise ValueError(f"time_limit must be a positive number of seconds, got {shown(time_limit)}")
        if seed is not None and (isinstance(seed, bool) or not isinstance(seed, numbers.Integral)
                                 or not -_INT64 <= seed < _INT64):
            raise ValueError(f"seed must be an int in the 64-bit range, got {shown(seed)}")
        if isinstance(threads, bool) or not isinstance(threads, numbers.Integral) or threads < 1:
            raise ValueError(f"threads must be an int of at least 1, got {shown(threads)}")
        if on_improvement is not None and not callable(on_improvement):
            raise ValueError(f"on_improvement must be callable or None, got {shown(on_improvement)}")
        instance = self.to_instance(budget)
        options = instance["options"]
        options["improve"] = bool(improve)
        if seed is not None:
            options["seed"] = int(seed)
        if threads != 1:
            options["threads"] = int(threads)
        options["schedule"] = True

        import _vok_core

        log.debug("solving %d nodes, %d agents for %g s", len(self._nodes), len(self._agents), budget)
        with quiet_core():
            result = _vok_core.solve_json_str(json.dumps(instance), on_improvement=on_improvement)
        solution = Solution.from_dict(result, instance)
        log.debug("%s: objective %g (%s)", result["status"], solution.objective, solution.stop_reason)
        return solution


_quiet_lock = threading.Lock()
_quiet_users = 0
_quiet_restore = "streams"


@contextlib.contextmanager
def quiet_core() -> Iterator[None]:
    """While any caller is inside, the core's lines go to the logger "vok" instead of the standard streams
    (a mode of "off" is left as it is). The mode is process-wide, hence the count of callers."""
    import _vok_core

    global _quiet_users, _quiet_restore
    with _quiet_lock:
        if _quiet_users == 0:
            _quiet_restore = _vok_core.diagnostics()
            if _quiet_restore == "streams":
                _vok_core.set_diagnostics("logging")
        _quiet_users += 1
    try:
        yield
    finally:
        with _quiet_lock:
            _quiet_users -= 1
            if _quiet_users == 0 and _quiet_restore == "streams":
                _vok_core.set_diagnostics("streams")


# ---------------------------------------------------------------------- solutions

@dataclass(frozen=True)
class Stop:
    """One node of a route's timetable: when the agent arrives, how long it waits for the node's window
    (and for the before nodes of its precedence pairs), when its service starts and ends (``departure``),
    and the demand served so far."""
    node: int
    arrival: float
    wait: float
    start: float
    departure: float
    load: float


@dataclass(frozen=True)
class Route:
    """One agent's route: the targets it visits in order (node ids), its cost and its timetable from the
    start node to the end node (empty when the agent has no route)."""
    agent: int
    visits: List[int]
    cost: float
    schedule: List[Stop] = field(default_factory=list)
    path: List[int] = field(default_factory=list)


@dataclass
class Solution:
    """The routes of a solve, the objective value (the longest route under min-max, the sum under
    min-sum), why the solve ended and its anytime record ({"time", "max_cost", "sum_cost"} entries)."""
    status: str
    routes: List[Route]
    objective: float
    objective_kind: str
    stop_reason: str
    anytime: List[Dict[str, float]]
    statistics: Dict[str, Any] = field(default_factory=dict)
    timeout: bool = False
    instance: Optional[Dict[str, Any]] = field(default=None, repr=False)

    @classmethod
    def from_dict(cls, data: Mapping[str, Any], instance: Optional[Mapping[str, Any]] = None) -> "Solution":
        """A Solution from a result dictionary: what the core returns, what ``to_dict`` wrote, or a
        ``vok solve --out`` file. With the ``instance`` the node indices of the paths become node ids in
        ``visits`` and the schedules (a ``Model`` makes the two equal); ``path`` keeps the indices."""
        try:
            kind = data.get("objective") or _objective_of(instance)
            stats = dict(data.get("statistics", {}))
            ids = [node["id"] for node in instance["nodes"]] if instance is not None else None

            def node_id(index: int) -> int:
                return int(ids[index]) if ids is not None and 0 <= index < len(ids) else index

            routes = []
            for route in data["routes"]:
                path = [int(i) for i in route["path"]]
                stops = [Stop(node_id(int(s["node"])), float(s["arrival"]), float(s["wait"]), float(s["start"]),
                              float(s["departure"]), float(s["load"])) for s in route.get("schedule", [])]
                routes.append(Route(int(route["agent_id"]), [node_id(i) for i in path[1:-1]], float(route["cost"]),
                                    stops, path))
            anytime = [{"time": float(e["time"]), "max_cost": float(e["max_cost"]),
                        "sum_cost": float(e["sum_cost"])} for e in data.get("anytime", [])]
            costs = [route.cost for route in routes]
            value = max(costs, default=0.0) if kind == "min_max" else sum(costs)
            return cls(str(data["status"]), routes, float(value), kind, str(stats.get("stop_reason", "")), anytime,
                       stats, bool(data.get("timeout", False)), dict(instance) if instance is not None else None)
        except (KeyError, TypeError, ValueError, AttributeError) as exc:
            raise ValueError(f"not a result dictionary: {type(exc).__name__} {exc}") from None

    def to_dict(self) -> Dict[str, Any]:
        """The result dictionary (as the core returns it, with every route's "schedule"), plus the
        "objective" name; ``from_dict`` reads it back."""
        return {
            "status": self.status,
            "timeout": self.timeout,
            "objective": self.objective_kind,
            "routes": [{"agent_id": r.agent, "path": list(r.path), "cost": r.cost,
                        "schedule": [dict(asdict(s), node=i) for s, i in zip(r.schedule, r.path)]}
                       for r in self.routes],
            "statistics": dict(self.statistics),
            "anytime": [dict(e) for e in self.anytime],
        }

    def plot(self, ax: Any = None, **kwargs: Any) -> Any:
        """The routes on the node positions (vok.plot.plot_routes; needs matplotlib)."""
        if self.instance is None:
            raise ValueError("this solution has no instance to draw on; read it with from_dict(data, instance)")
        from .plot import plot_routes

        return plot_routes(self.instance, self.to_dict(), ax, **kwargs)

    def write_vrplib(self, path: "str | os.PathLike[str]") -> None:
        """Write the routes as a VRPLIB solution file: one "Route #k:" line per agent with targets, the
        targets' node ids in order, then "Cost:" with the objective value."""
        import vrplib  # type: ignore[import-untyped]

        vrplib.write_solution(os.fspath(path), [list(r.visits) for r in self.routes if r.visits],
                              {"Cost": repr(self.objective)})


def _objective_of(instance: Optional[Mapping[str, Any]]) -> str:
    options = instance.get("options") if instance is not None else None
    if isinstance(options, Mapping) and options.get("objective") in ("min_max", "MIN_MAX"):
        return "min_max"
    return "min_sum"
