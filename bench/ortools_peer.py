"""OR-Tools routing as the benchmark peer: solves a VOK JSON instance at a wall-clock budget.

Only the benchmarks use it; OR-Tools (PyPI ``ortools``) is no dependency of VOK.
The model is the instance's own, read through ``route_check.InstanceView``:

* one vehicle per agent, with the agent's start and end node; with
  ``return_to_end`` false the arc into the end node costs 0;
* the targets (nodes that are no agent's start or end node) are mandatory;
* arc costs per vehicle from its type's matrix (or metric), times ``SCALE`` and
  rounded up to integers; rounding up makes every route OR-Tools finds feasible
  in double precision as well;
* a time dimension: transit = travel time plus the service at the node left,
  slack for waiting, windows on the cumul variables (rounded inwards), start
  cumuls fixed at 0, the end cumul bounded by the agent's ``max_length``;
* min-max: ``SetGlobalSpanCostCoefficient(WEIGHT)`` (the longest route); min-sum:
  ``SetSpanCostCoefficientForAllVehicles(WEIGHT)`` (the sum of the routes' end
  times); in both the arc costs stay as a tie-break WEIGHT times smaller;
* assignment through ``SetAllowedVehiclesForIndex`` (or, where the Python
  wrapper cannot pass the list, a dimension of capacity 0); capacities as a capacity
  dimension when ``"enforce_capacity"`` is true (capacity 0: no limit);
* first solution PATH_CHEAPEST_ARC (another strategy on request), then
  GUIDED_LOCAL_SEARCH until the budget ends; a vehicle may stay idle, reported
  as the empty route ``[]``.
"""

from __future__ import annotations

import math
import time
from typing import Any, Dict, List, Mapping, Optional, Tuple

from route_check import InstanceView

SCALE = 1000  # model units per instance unit
WEIGHT = 100  # objective weight of the spans over the arc costs
FIRST_SOLUTION = "PATH_CHEAPEST_ARC"


def _up(value: float) -> int:
    return int(math.ceil(value * SCALE - 1e-6))


def _down(value: float) -> int:
    return int(math.floor(value * SCALE + 1e-6))


def _travel_matrix(view: InstanceView, type_name: str, free_into: Optional[int]) -> List[List[int]]:
    """Scaled travel times by node index for one agent type; column ``free_into`` costs 0."""
    metric = view.metric(type_name)
    if metric is not None and view.n > 1:
        import numpy as np  # ships with ortools

        xy = np.asarray(view.xy, dtype=np.float64)
        d = np.hypot(xy[:, None, 0] - xy[None, :, 0], xy[:, None, 1] - xy[None, :, 1]) * metric.factor
        if metric.nint:
            d = np.floor(d + 0.5)
        table = np.ceil(d * SCALE - 1e-6).astype(np.int64)
        np.fill_diagonal(table, 0)
        if free_into is not None:
            table[:, free_into] = 0
        return table.tolist()
    table = [[_up(view.cost(type_name, u, v)) for v in range(view.n)] for u in range(view.n)]
    if free_into is not None:
        for row in table:
            row[free_into] = 0
    return table


def restrict(routing: Any, manager: Any, view: InstanceView, allowed: Dict[int, List[int]]) -> None:
    """Only the listed vehicles may serve each node of ``allowed`` (node index -> vehicles)."""
    try:
        for v, vehicles in allowed.items():
            routing.SetAllowedVehiclesForIndex(vehicles, manager.NodeToIndex(v))
        return
    except TypeError:
        # Some releases (9.15 among them) wrap the vehicle list as an absl::Span that no Python
        # value converts to. Restricting the nodes' vehicle variables instead starves the first
        # solution heuristic, so a dimension of capacity 0 says it: leaving a node a vehicle may
        # not serve adds 1.
        pass
    evaluators = []
    registered: Dict[Tuple[int, ...], int] = {}
    for k in range(len(view.agents)):
        banned = tuple(int(v in allowed and k not in allowed[v]) for v in range(view.n))
        if banned not in registered:
            registered[banned] = routing.RegisterUnaryTransitVector(list(banned))
        evaluators.append(registered[banned])
    routing.AddDimensionWithVehicleTransits(evaluators, 0, 0, True, "Assignment")


def solve(instance: Mapping[str, Any], budget: float, first_solution: str = FIRST_SOLUTION) -> Dict[str, Any]:
    """Routes (node indices, one per agent in agent order) and OR-Tools' own figures.

    Returns a dict with ``status`` ("success"; "failed" when the budget ended
    without a solution; "infeasible" or "unsupported" when the model says so
    before the search),
    ``routes``, ``claimed_objective`` (from the time dimension, in instance
    units), ``first_solution`` (wall seconds into the search) and ``message``.
    """
    from ortools.constraint_solver import pywrapcp, routing_enums_pb2

    view = InstanceView(instance)
    m = len(view.agents)

    def give_up(status: str, message: str) -> Dict[str, Any]:
        return {"status": status, "routes": [[] for _ in range(m)], "claimed_objective": None,
                "first_solution": None, "message": message}

    manager = pywrapcp.RoutingIndexManager(view.n, m, [a.start for a in view.agents], [a.end for a in view.agents])
    routing = pywrapcp.RoutingModel(manager)

    # One travel callback per agent type and, with open routes, per end node.
    travel: Dict[Tuple[str, Optional[int]], List[List[int]]] = {}
    arc_callback: Dict[Tuple[str, Optional[int]], int] = {}
    time_callback: Dict[Tuple[str, Optional[int]], int] = {}
    has_service = any(s > 0 for s in view.service)
    keys = []
    for agent in view.agents:
        key = (agent.type, None if view.return_to_end else agent.end)
        keys.append(key)
        if key in travel:
            continue
        travel[key] = _travel_matrix(view, agent.type, key[1])
        arc_callback[key] = routing.RegisterTransitMatrix(travel[key])
        if has_service:
            service = [_up(s) for s in view.service]
            timed = [[t + service[u] for t in row] for u, row in enumerate(travel[key])]
            time_callback[key] = routing.RegisterTransitMatrix(timed)
        else:
            time_callback[key] = arc_callback[key]
    for k, key in enumerate(keys):
        routing.SetArcCostEvaluatorOfVehicle(arc_callback[key], k)

    # A horizon no route can pass: the latest window opening plus the longest
    # way out of every node plus all service.
    longest = sum(max(row) for matrix in travel.values() for row in matrix)
    opens = max((_up(w[0]) for w in view.windows if w is not None), default=0)
    horizon = opens + longest + sum(_up(s) for s in view.service) + 1
    routing.AddDimensionWithVehicleTransits([time_callback[key] for key in keys], horizon, horizon, True, "Time")
    clock = routing.GetDimensionOrDie("Time")
    if view.objective == "min_max":
        clock.SetGlobalSpanCostCoefficient(WEIGHT)
    else:
        clock.SetSpanCostCoefficientForAllVehicles(WEIGHT)
    # Windows bound the cumul (service start); an empty range means no route can exist.
    ranges: List[Tuple[Any, int, int, str]] = []
    for v in view.targets:
        window = view.windows[v]
        if window is not None:
            ranges.append((clock.CumulVar(manager.NodeToIndex(v)), _up(window[0]), _down(window[1]),
                           f"node index {v}: window {window}"))
    for k, agent in enumerate(view.agents):
        window = view.windows[agent.end]
        earliest, latest = (_up(window[0]), _down(window[1])) if window is not None else (0, horizon)
        if agent.max_length > 0:
            latest = min(latest, _down(agent.max_length))
        ranges.append((clock.CumulVar(routing.End(k)), earliest, latest, f"end of agent {agent.id}"))
    for var, earliest, latest, what in ranges:
        if max(0, earliest) > latest:
            # VOK lets an agent arrive by the end and wait for a later start; a cumul range cannot say so.
            return give_up("unsupported", f"{what}: no time satisfies it in this model")
        var.SetRange(max(0, earliest), latest)

    if view.enforce_capacity:
        demand = [0 if v in view.depots else _up(view.demand[v]) for v in range(view.n)]
        unlimited = sum(demand)
        capacities = [_down(a.capacity) if a.capacity > 0 else unlimited for a in view.agents]
        routing.AddDimensionWithVehicleCapacity(routing.RegisterUnaryTransitVector(demand), 0, capacities, True,
                                                "Load")

    # An agent whose type may not enter its own end node can have no route.
    usable = [k for k, a in enumerate(view.agents) if view.allows(a.type, a.end)]
    restricted: Dict[int, List[int]] = {}
    for v in view.targets:
        allowed = [k for k in usable if view.allows(view.agents[k].type, v)]
        if not allowed:
            return give_up("infeasible", f"no agent may visit node index {v}")
        if len(allowed) < m:
            restricted[v] = allowed
    if restricted:
        restrict(routing, manager, view, restricted)

    parameters = pywrapcp.DefaultRoutingSearchParameters()
    strategy = getattr(routing_enums_pb2.FirstSolutionStrategy, first_solution, None)
    if not isinstance(strategy, int):
        raise ValueError(f"unknown first solution strategy {first_solution!r}")
    parameters.first_solution_strategy = strategy
    parameters.local_search_metaheuristic = routing_enums_pb2.LocalSearchMetaheuristic.GUIDED_LOCAL_SEARCH
    parameters.time_limit.FromMilliseconds(max(1, int(round(budget * 1000))))

    started = time.monotonic()
    found: List[float] = []
    routing.AddAtSolutionCallback(lambda: found.append(time.monotonic() - started))
    solution = routing.SolveWithParameters(parameters)
    if solution is None:
        return give_up("failed", f"no solution within the budget (routing status {routing.status()})")

    routes: List[List[int]] = []
    ends: List[float] = []
    for k in range(m):
        index = routing.Start(k)
        path = []
        while not routing.IsEnd(index):
            path.append(manager.IndexToNode(index))
            index = solution.Value(routing.NextVar(index))
        path.append(manager.IndexToNode(index))
        idle = len(path) == 2
        routes.append([] if idle else path)
        ends.append(0.0 if idle else solution.Value(clock.CumulVar(index)) / SCALE)
    claimed = max(ends, default=0.0) if view.objective == "min_max" else sum(ends)
    return {"status": "success", "routes": routes, "claimed_objective": claimed,
            "first_solution": found[0] if found else None, "message": ""}
