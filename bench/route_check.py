"""Re-check routes against a VOK JSON instance, independently of any solver.

The benchmarks pass every solver's routes through ``check_routes`` and report
the figures it computes, never a solver's own claim. A route is a list of node
indices (positions in the instance's node list) from the agent's start node to
its end node; ``[]`` means the agent stays idle and costs 0.

The rules, as an instance states them:

* targets are the nodes that are no agent's start or end node; each is visited
  exactly once, by an agent whose type the node's assignment allows (a node
  without an assignment entry allows every type);
* a route leaves its start node at time 0 and ends at the agent's end node, or,
  with ``return_to_end`` false, also at its start node; only targets lie in
  between, so no route passes another agent's start or end node;
* an arc costs its entry in the agent type's cost matrix (or the metric form
  ``{"metric": "euclidean", "factor": f, "round": "nint"}``, rounded after the
  factor), 9999 where no matrix gives one, and 0 from a node to itself; with
  ``return_to_end`` false the arc into the agent's own start or end node is free;
* costs are travel times: arriving after a node's window closes breaks the
  route, arriving before it opens means waiting; service (node key
  ``"service"``, none at start and end nodes) begins when the agent may start
  and the agent leaves when it is done;
* a route's cost is the time at its end; it may not exceed the agent's
  ``max_length`` when that is above 0;
* with the option ``"enforce_capacity"``, the targets' demands on a route may
  not exceed the agent's ``capacity`` (0 means no limit);
* with the option ``"enforce_precedence"``, the pairs of the ``"sequence"``
  constraints hold: a ``"same"`` pair has both nodes on one agent's route, the
  "before" node earlier on it; a ``"diff"`` pair has them on two agents' routes;
  for ``"diff"`` and every other type, service at the "after" node starts no
  earlier than service at the "before" node has ended. An agent that reaches the
  "after" node too early waits, and the wait counts in its route cost. Every
  agent leaves each node as early as the rules allow, so the times are the least
  ones that keep every pair: found by timing all routes again with the waits the
  previous round implied until nothing changes; times that keep growing mean the
  routes wait for one another in a circle, which no plan can do.

Feasibility comparisons allow 1e-9 relative slack for rounding in double sums.
This module needs nothing but the standard library.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Set, Tuple

MISSING_ARC_COST = 9999.0
FEASIBILITY_SLACK = 1e-9

Instance = Mapping[str, Any]


class InstanceError(ValueError):
    """An instance the checker cannot interpret; the message names the value."""


def exceeds(value: float, bound: float) -> bool:
    return value > bound + FEASIBILITY_SLACK * max(1.0, abs(bound))


@dataclass(frozen=True)
class AgentView:
    id: int
    type: str
    start: int  # node index
    end: int  # node index
    capacity: float  # 0 or less: no limit
    max_length: float  # 0 or less: no limit


class InstanceView:
    """What the rules above need from an instance, by node index."""

    def __init__(self, instance: Instance):
        nodes = instance["nodes"]
        self.n = len(nodes)
        self.index_of: Dict[int, int] = {}
        for i, node in enumerate(nodes):
            self.index_of[int(node["id"])] = i  # a repeated id names its last node
        self.ids = [int(node["id"]) for node in nodes]
        self.xy = [(float(node["x"]), float(node["y"])) for node in nodes]
        self.demand = [float(node.get("demand", 0.0)) for node in nodes]
        raw_service = [float(node.get("service", 0.0)) for node in nodes]

        self.agents: List[AgentView] = []
        for k, agent in enumerate(instance["agents"]):
            self.agents.append(AgentView(
                id=int(agent["id"]), type=str(agent["type"]),
                start=self._node(agent["start_node"], f"agents[{k}].start_node"),
                end=self._node(agent["end_node"], f"agents[{k}].end_node"),
                capacity=float(int(agent.get("capacity", 0))),
                max_length=float(int(agent.get("max_length", 0)))))
        self.depots: Set[int] = {a.start for a in self.agents} | {a.end for a in self.agents}
        self.targets = [i for i in range(self.n) if i not in self.depots]
        self.service = [0.0 if i in self.depots else s for i, s in enumerate(raw_service)]

        costs = instance.get("costs", {})
        if isinstance(costs, list):
            costs = {str(i): entry for i, entry in enumerate(costs)}
        self._costs: Dict[str, Any] = {}
        for name, entry in costs.items():
            if isinstance(entry, Mapping):
                self._costs[name] = _metric(name, entry)
            else:
                self._costs[name] = entry

        self.allowed: List[Optional[Set[str]]] = [None] * self.n
        self.windows: List[Optional[Tuple[float, float]]] = [None] * self.n
        allowed_by_id: Dict[int, Set[str]] = {}
        window_by_id: Dict[int, Tuple[float, float]] = {}
        pairs_by_id: List[Tuple[int, int, str]] = []
        for constraint in instance.get("constraints", []):
            kind = constraint.get("kind")
            if kind == "assignment":
                for item in constraint.get("items", []):
                    allowed_by_id[int(item["node"])] = {str(t) for t in item["types"]}
            elif kind == "timewindow":
                for item in constraint.get("items", []):
                    window_by_id[int(item["node"])] = (float(item["start"]), float(item["end"]))
            elif kind == "sequence":
                for item in constraint.get("precedence", []):
                    pairs_by_id.append((int(item["before"]), int(item["after"]), str(item.get("type", ""))))
        for i, node_id in enumerate(self.ids):
            self.allowed[i] = allowed_by_id.get(node_id)
            self.windows[i] = window_by_id.get(node_id)

        options = instance.get("options", {})
        self.objective = "min_max" if options.get("objective", "min_sum") in ("min_max", "MIN_MAX") else "min_sum"
        self.return_to_end = bool(options.get("return_to_end", True))
        self.enforce_capacity = bool(options.get("enforce_capacity", False))
        self.enforce_precedence = bool(options.get("enforce_precedence", False))
        # (before, after, type) by node index; kept only when enforced
        self.pairs: List[Tuple[int, int, str]] = []
        if self.enforce_precedence:
            self.pairs = [(self._node(b, f"precedence pair ({b}, {a})"), self._node(a, f"precedence pair ({b}, {a})"),
                           kind) for b, a, kind in pairs_by_id]

    def _node(self, node_id: Any, where: str) -> int:
        try:
            return self.index_of[int(node_id)]
        except KeyError:
            raise InstanceError(f"{where}: {node_id} is not the id of any node") from None

    def cost(self, type_name: str, u: int, v: int) -> float:
        """Arc cost for one agent type; 0 from a node to itself, 9999 where nothing gives one."""
        if u == v:
            return 0.0
        entry = self._costs.get(type_name)
        if entry is None:
            return MISSING_ARC_COST
        if isinstance(entry, _Metric):
            return entry.cost(self.xy[u], self.xy[v])
        if u < len(entry) and v < len(entry[u]):
            return float(entry[u][v])
        return MISSING_ARC_COST

    def metric(self, type_name: str) -> Optional["_Metric"]:
        entry = self._costs.get(type_name)
        return entry if isinstance(entry, _Metric) else None

    def matrix(self, type_name: str) -> Optional[Sequence[Sequence[float]]]:
        entry = self._costs.get(type_name)
        return None if entry is None or isinstance(entry, _Metric) else entry

    def allows(self, type_name: str, v: int) -> bool:
        allowed = self.allowed[v]
        return allowed is None or type_name in allowed

    def hop(self, agent: AgentView, u: int, v: int) -> float:
        """Cost of moving from u to v for this agent, the free hop of open routes included."""
        if not self.return_to_end and v in (agent.start, agent.end):
            return 0.0
        return self.cost(agent.type, u, v)


@dataclass(frozen=True)
class _Metric:
    factor: float
    nint: bool

    def cost(self, a: Tuple[float, float], b: Tuple[float, float]) -> float:
        d = math.hypot(a[0] - b[0], a[1] - b[1]) * self.factor
        return float(math.floor(d + 0.5)) if self.nint else d


def _metric(name: str, entry: Mapping[str, Any]) -> _Metric:
    if entry.get("metric") != "euclidean":
        raise InstanceError(f"costs.{name}: unknown metric {entry.get('metric')!r}")
    rounding = entry.get("round")
    if rounding not in (None, "nint"):
        raise InstanceError(f"costs.{name}: unknown rounding {rounding!r}")
    factor = entry.get("factor", 1.0)
    if isinstance(factor, bool) or not isinstance(factor, (int, float)) or not factor >= 0 or math.isinf(factor):
        raise InstanceError(f"costs.{name}: factor {factor!r} is not a finite number >= 0")
    return _Metric(float(factor), rounding == "nint")


@dataclass
class RouteFigures:
    """One route as the checker measures it."""
    cost: float = 0.0  # time at the end: travel, waiting and service
    travel: float = 0.0
    waiting: float = 0.0
    service: float = 0.0
    load: float = 0.0
    targets: int = 0


@dataclass
class CheckResult:
    objective: str
    routes: List[RouteFigures]
    problems: List[str] = field(default_factory=list)  # broken rules
    mismatches: List[str] = field(default_factory=list)  # claims that disagree with the figures

    @property
    def valid(self) -> bool:
        return not self.problems

    @property
    def max_cost(self) -> float:
        return max((r.cost for r in self.routes), default=0.0)

    @property
    def sum_cost(self) -> float:
        return sum(r.cost for r in self.routes)

    @property
    def travel(self) -> float:
        return sum(r.travel for r in self.routes)

    @property
    def vehicles_used(self) -> int:
        return sum(1 for r in self.routes if r.targets > 0)

    @property
    def value(self) -> float:
        """The instance's objective: the longest route (min-max) or the sum of routes (min-sum)."""
        return self.max_cost if self.objective == "min_max" else self.sum_cost


def _route(view: InstanceView, k: int, path: Sequence[Any], problems: List[str],
           floor: Optional[Mapping[int, float]] = None,
           served: Optional[Dict[int, Tuple[int, int, float, float]]] = None) -> RouteFigures:
    """Measures one route. ``floor``: the earliest start of service at a node (precedence pairs);
    ``served`` gets, per target, (agent index, position, service start, service end)."""
    agent = view.agents[k]
    figures = RouteFigures()
    name = f"agent {agent.id} (index {k})"
    if len(path) == 0:
        return figures
    if len(path) < 2:
        problems.append(f"{name}: route {list(path)} needs a start and an end node")
        return figures
    bad = [v for v in path if isinstance(v, bool) or not isinstance(v, int) or not 0 <= v < view.n]
    if bad:
        problems.append(f"{name}: route holds {bad[0]!r}, which is no node index (0 .. {view.n - 1})")
        return figures
    if path[0] != agent.start:
        problems.append(f"{name}: route starts at node index {path[0]}, not at its start node {agent.start}")
    closes = path[-1] == agent.end or (not view.return_to_end and path[-1] == agent.start)
    if not closes:
        problems.append(f"{name}: route ends at node index {path[-1]}, not at its end node {agent.end}")
    t = 0.0
    late = limit_broken = False
    for i in range(1, len(path)):
        u, v = path[i - 1], path[i]
        inner = i < len(path) - 1
        if inner and v in view.depots:
            problems.append(f"{name}: visits node index {v} inside its route, a start or end node of an agent")
        if not view.allows(agent.type, v):
            problems.append(f"{name}: visits node index {v}, which its type {agent.type!r} may not visit")
        arc = view.hop(agent, u, v)
        figures.travel += arc
        t += arc
        if floor is not None and inner and floor.get(v, -math.inf) > t:
            figures.waiting += floor[v] - t
            t = floor[v]
        window = view.windows[v]
        if window is not None:
            if exceeds(t, window[1]) and not late:
                late = True
                problems.append(f"{name}: reaches node index {v} at {t:.6f}, after its window closes at {window[1]:g}")
            if window[0] > t:
                figures.waiting += window[0] - t
                t = window[0]
        if inner:
            figures.targets += 1
            figures.load += view.demand[v]
            figures.service += view.service[v]
            start = t
            t += view.service[v]
            if served is not None:
                served[v] = (k, i, start, t)
        if agent.max_length > 0 and exceeds(t, agent.max_length) and not limit_broken:
            limit_broken = True
            problems.append(f"{name}: reaches {t:.6f} at node index {v}, above its max_length {agent.max_length:g}")
    figures.cost = t
    if view.enforce_capacity and agent.capacity > 0 and exceeds(figures.load, agent.capacity):
        problems.append(f"{name}: carries {figures.load:g}, above its capacity {agent.capacity:g}")
    return figures


def _precedence_floors(view: InstanceView, paths: Sequence[Sequence[Any]], problems: List[str]) -> Dict[int, float]:
    """The least service starts the timed pairs allow: every route is timed again with the waits that
    the previous round's service ends imply, until a round changes nothing."""
    timed = [(b, a) for b, a, kind in view.pairs if kind != "same"]
    floor: Dict[int, float] = {}
    # Without a circle each round settles at least one more link of the longest chain of pairs.
    for _ in range(len(timed) + 2):
        served: Dict[int, Tuple[int, int, float, float]] = {}
        for k, path in enumerate(paths):
            _route(view, k, path, [], floor, served)
        new: Dict[int, float] = {}
        for b, a in timed:
            if b in served and a in served:
                new[a] = max(new.get(a, -math.inf), served[b][3])
        if new == floor:
            return floor
        floor = new
    problems.append("the routes wait for one another in a circle through precedence pairs; no times can keep them")
    return floor


def _check_pairs(view: InstanceView, served: Mapping[int, Tuple[int, int, float, float]], problems: List[str]) -> None:
    for b, a, kind in view.pairs:
        name = f"precedence pair ({view.ids[b]}, {view.ids[a]}) of type {kind!r}"
        if b not in served or a not in served:
            continue  # an unvisited target is reported on its own
        (route_b, at_b, _, end_b), (route_a, at_a, start_a, _) = served[b], served[a]
        if kind == "same" and (route_b != route_a or at_b >= at_a):
            problems.append(f"{name}: the before node is not earlier on the after node's route")
        if kind == "diff" and route_b == route_a:
            problems.append(f"{name}: both nodes are on the route of agent index {route_a}")
        if kind != "same" and exceeds(end_b, start_a):
            problems.append(f"{name}: service at the after node starts at {start_a:.6f}, before service at the "
                            f"before node ends at {end_b:.6f}")


def check_routes(instance: Instance, routes: Sequence[Sequence[int]],
                 claimed_costs: Optional[Sequence[float]] = None,
                 claimed_objective: Optional[float] = None,
                 claim_tolerance: float = 1e-6) -> CheckResult:
    """Checks one route per agent (agent order) and measures them.

    Claimed costs or a claimed objective, when given, must agree with the
    checker's figures within ``claim_tolerance`` (absolute) plus 1e-9 of the
    value; each disagreement is listed in ``mismatches``.
    """
    view = instance if isinstance(instance, InstanceView) else InstanceView(instance)
    result = CheckResult(view.objective, [])
    if len(routes) != len(view.agents):
        result.problems.append(f"{len(routes)} routes for {len(view.agents)} agents")
    paths = [routes[k] if k < len(routes) else [] for k in range(len(view.agents))]
    floor = _precedence_floors(view, paths, result.problems) if view.pairs else None
    served: Dict[int, Tuple[int, int, float, float]] = {}
    for k, path in enumerate(paths):
        result.routes.append(_route(view, k, path, result.problems, floor, served))
    if view.pairs:
        _check_pairs(view, served, result.problems)

    visits: Dict[int, int] = {}
    for path in routes:
        for v in list(path)[1:-1]:
            if isinstance(v, int) and not isinstance(v, bool):
                visits[v] = visits.get(v, 0) + 1
    for v, count in sorted(visits.items()):
        if count > 1 and v not in view.depots:
            result.problems.append(f"node index {v} is visited {count} times")
    missing = [v for v in view.targets if v not in visits]
    if missing:
        shown = ", ".join(map(str, missing[:10])) + (" ..." if len(missing) > 10 else "")
        result.problems.append(f"{len(missing)} targets never visited: {shown}")

    def disagrees(claim: float, found: float) -> bool:
        return not abs(claim - found) <= claim_tolerance + 1e-9 * abs(found)

    if claimed_costs is not None:
        for k, (claim, figures) in enumerate(zip(claimed_costs, result.routes)):
            if disagrees(claim, figures.cost):
                result.mismatches.append(f"agent index {k}: the solver claims cost {claim:.6f}, "
                                       f"the checker finds {figures.cost:.6f}")
    if claimed_objective is not None and disagrees(claimed_objective, result.value):
        result.mismatches.append(f"the solver claims objective {claimed_objective:.6f}, "
                               f"the checker finds {result.value:.6f}")
    return result
