"""PyVRP as a benchmark peer: solves a VOK JSON instance at a wall-clock budget.

Only the benchmarks use it; PyVRP (PyPI ``pyvrp``) is no dependency of VOK.
The model is the instance's own, read through ``route_check.InstanceView``:

* min-sum only: the objective is the sum of the routes' end times, each route
  leaving its start at time 0 (``tw_early = start_late = 0``, one unit of cost
  per unit of duration, none per unit of distance). PyVRP has no objective for
  the longest route, so min-max instances are answered "unsupported";
* agents that share type, start, end, capacity and ``max_length`` form one
  vehicle type with that many vehicles; with ``return_to_end`` false the arc
  into the end node costs 0 (a profile per type and end node);
* durations per profile from the type's matrix (or metric), times ``SCALE``
  and rounded up, service rounded up, windows rounded inwards: every route
  PyVRP finds is then feasible in double precision as well;
* ``max_length`` as the shift duration and the latest end; the end node's
  window closes the shift too;
* assignment (which types may visit a node) through the distance matrix, which
  has no other use here: an arc into a node the profile's type may not visit
  has distance ``FORBIDDEN`` and the profile's vehicles may drive less than
  that in all;
* capacities as the vehicles' capacity and the demands as deliveries when
  ``"enforce_capacity"`` is true (capacity 0: no limit).
"""

from __future__ import annotations

import math
import time
from typing import Any, Dict, List, Mapping, Optional, Tuple

from route_check import InstanceView

SCALE = 1000  # model units per instance unit
FORBIDDEN = 10 ** 9  # distance of an arc into a node the profile's type may not visit
NEVER = 2 ** 62  # an open bound


def _up(value: float) -> int:
    return int(math.ceil(value * SCALE - 1e-6))


def _down(value: float) -> int:
    return int(math.floor(value * SCALE + 1e-6))


def _durations(view: InstanceView, type_name: str, free_into: Optional[int]) -> Any:
    """Scaled travel times by node index for one agent type; column ``free_into`` costs 0."""
    import numpy as np  # ships with pyvrp

    metric = view.metric(type_name)
    if metric is not None:
        xy = np.asarray(view.xy, dtype=np.float64).reshape(view.n, 2)
        d = np.hypot(xy[:, None, 0] - xy[None, :, 0], xy[:, None, 1] - xy[None, :, 1]) * metric.factor
        if metric.nint:
            d = np.floor(d + 0.5)
        table = np.ceil(d * SCALE - 1e-6).astype(np.int64)
    else:
        table = np.array([[_up(view.cost(type_name, u, v)) for v in range(view.n)] for u in range(view.n)],
                         dtype=np.int64)
    np.fill_diagonal(table, 0)
    if free_into is not None:
        table[:, free_into] = 0
    return table


def solve(instance: Mapping[str, Any], budget: float, seed: int = 1) -> Dict[str, Any]:
    """Routes (node indices, one per agent in agent order) and PyVRP's own figures.

    Returns a dict with ``status`` ("success"; "failed" when the budget ended
    without a feasible solution; "unsupported" or "infeasible" when the model
    cannot be posed), ``routes`` (``[]`` for an idle agent), ``claimed_objective``
    (in instance units), ``first_solution`` (None: PyVRP does not report it)
    and ``message``.
    """
    import numpy as np
    import pyvrp
    from pyvrp.stop import MaxRuntime

    view = InstanceView(instance)
    m = len(view.agents)

    def give_up(status: str, message: str) -> Dict[str, Any]:
        return {"status": status, "routes": [[] for _ in range(m)], "claimed_objective": None,
                "first_solution": None, "message": message}

    if view.objective != "min_sum":
        return give_up("unsupported", "PyVRP has no min-max objective")
    for agent in view.agents:
        window = view.windows[agent.end]
        if window is not None and window[0] > 0:
            return give_up("unsupported", f"end of agent {agent.id}: a window opening after 0 at the end node")

    depots = sorted(view.depots)
    depot_of = {v: k for k, v in enumerate(depots)}
    targets = view.targets
    client_node = list(targets)

    # Profiles: one per agent type and, with open routes, per end node.
    profile_of: Dict[Tuple[str, Optional[int]], int] = {}
    durations: List[Any] = []
    distances: List[Any] = []
    restricted: List[bool] = []
    for agent in view.agents:
        key = (agent.type, None if view.return_to_end else agent.end)
        if key in profile_of:
            continue
        profile_of[key] = len(durations)
        durations.append(_durations(view, agent.type, key[1]))
        banned = np.array([v not in view.depots and not view.allows(agent.type, v) for v in range(view.n)])
        distance = np.tile(np.where(banned, FORBIDDEN, 0).astype(np.int64), (view.n, 1))
        np.fill_diagonal(distance, 0)
        distances.append(distance)
        restricted.append(bool(banned.any()))

    for v in targets:
        if not any(view.allows(a.type, v) and view.allows(a.type, a.end) for a in view.agents):
            return give_up("infeasible", f"no agent may visit node index {v}")

    enforce = view.enforce_capacity
    clients = []
    for v in targets:
        window = view.windows[v]
        early, late = (max(0, _up(window[0])), _down(window[1])) if window is not None else (0, NEVER)
        if early > late:
            return give_up("unsupported", f"node index {v}: window {window} holds no whole model time")
        clients.append(pyvrp.Client(v, delivery=[_up(view.demand[v])] if enforce else [],
                                    service_duration=_up(view.service[v]), tw_early=early, tw_late=late))
    depot_list = [pyvrp.Depot(v) for v in depots]

    # Vehicle types: agents alike in every respect share one.
    groups: Dict[Tuple[Any, ...], List[int]] = {}
    for k, agent in enumerate(view.agents):
        if not view.allows(agent.type, agent.end):
            continue  # may not finish at its own end node: idle is no route either, left out
        key = (agent.type, agent.start, agent.end, agent.capacity, agent.max_length)
        groups.setdefault(key, []).append(k)
    if not groups:
        return give_up("infeasible", "no agent may finish at its end node")
    vehicle_types = []
    members: List[List[int]] = []
    for (type_name, start, end, capacity, max_length), agents in groups.items():
        profile = profile_of[(type_name, None if view.return_to_end else end)]
        latest = _down(max_length) if max_length > 0 else NEVER
        window = view.windows[end]
        if window is not None:
            latest = min(latest, _down(window[1]))
        if latest < 0:
            continue
        cap = [_down(capacity) if capacity > 0 else NEVER] if enforce else []
        vehicle_types.append(pyvrp.VehicleType(
            len(agents), capacity=cap, start_depot=depot_of[start], end_depot=depot_of[end],
            tw_early=0, start_late=0, tw_late=latest, shift_duration=latest,
            max_distance=FORBIDDEN - 1 if restricted[profile] else NEVER,
            unit_distance_cost=0, unit_duration_cost=1, profile=profile))
        members.append(agents)
    if not vehicle_types:
        return give_up("infeasible", "no agent can end its route in time")
    locations = [pyvrp.Location(x, y) for x, y in view.xy]
    data = pyvrp.ProblemData(locations, clients, depot_list, vehicle_types, distances, durations)

    started = time.monotonic()
    result = pyvrp.solve(data, MaxRuntime(max(budget - (time.monotonic() - started), 0.01)), seed=seed,
                         collect_stats=False, display=False)
    if not result.is_feasible():
        return give_up("failed", "no feasible solution within the budget")

    routes: List[List[int]] = [[] for _ in range(m)]
    taken = [0] * len(members)
    for route in result.best.routes():
        t = route.vehicle_type()
        k = members[t][taken[t]]
        taken[t] += 1
        agent = view.agents[k]
        routes[k] = [agent.start] + [client_node[a.idx] for a in route.schedule() if a.is_client()] + [agent.end]
    return {"status": "success", "routes": routes, "claimed_objective": result.cost() / SCALE,
            "first_solution": None, "message": ""}
