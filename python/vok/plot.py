"""Pictures of solved instances: routes on the node positions, and the anytime record.

Needs matplotlib (``pip install vok[plot]``); it is imported only when a function runs.
``instance`` is the JSON instance as a dict, ``result`` the dictionary returned by
``solve_json_str`` / ``solve_json_file``.
"""

from __future__ import annotations

import logging
import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["plot_routes", "plot_anytime", "save_routes_png"]

LABEL_LIMIT = 60
log = logging.getLogger("vok")
_ANYTIME_KEYS = ("max_cost", "sum_cost")


def _new_axes() -> Axes:
    import matplotlib.pyplot as plt

    _, ax = plt.subplots()
    return ax


def _agent_colours(count: int) -> list[Any]:
    import matplotlib

    if count <= 10:
        cmap = matplotlib.colormaps["tab10"]
        return [cmap(k) for k in range(count)]
    if count <= 20:
        cmap = matplotlib.colormaps["tab20"]
        return [cmap(k) for k in range(count)]
    cmap = matplotlib.colormaps["turbo"]
    return [cmap(k / (count - 1)) for k in range(count)]


def _depot_indices(instance: Mapping[str, Any]) -> list[int]:
    nodes = instance["nodes"]
    index_of = {node["id"]: i for i, node in enumerate(nodes)}
    depots = {i for i, node in enumerate(nodes) if str(node.get("type", "")).upper() == "DEPOT"}
    for agent in instance.get("agents", []):
        for key in ("start_node", "end_node"):
            if agent.get(key) in index_of:
                depots.add(index_of[agent[key]])
    return sorted(depots)


def plot_routes(
    instance: Mapping[str, Any],
    result: Mapping[str, Any],
    ax: Axes | None = None,
    *,
    label_limit: int = LABEL_LIMIT,
) -> Axes:
    """Draw every agent's route on the node positions, one colour per agent.

    Depots (nodes of type "depot" and every agent's start and end node) are drawn as
    black squares; nodes are labelled with their ids when there are at most
    ``label_limit`` of them. The legend gives each agent's id and route cost. With
    "return_to_end" false the free last hop into the end node is left out.
    """
    if ax is None:
        ax = _new_axes()
    nodes = instance["nodes"]
    xs = [float(node["x"]) for node in nodes]
    ys = [float(node["y"]) for node in nodes]
    depots = _depot_indices(instance)
    depot_set = set(depots)
    targets = [i for i in range(len(nodes)) if i not in depot_set]

    # Without return_to_end the hop into the end node costs nothing: it is not drawn.
    open_routes = not instance.get("options", {}).get("return_to_end", True)
    agents = instance.get("agents", [])
    drawn: list[tuple[Mapping[str, Any], list[int]]] = []
    for k, route in enumerate(result["routes"]):
        path = list(route["path"])
        if not path:
            continue
        bad = [i for i in path if not 0 <= i < len(nodes)]
        if bad:
            raise ValueError(f"route of agent {route['agent_id']} visits node index {bad[0]}, "
                             f"but the instance has {len(nodes)} nodes")
        if (open_routes and len(path) > 1 and k < len(agents)
                and nodes[path[-1]]["id"] == agents[k].get("end_node")):
            path.pop()
        drawn.append((route, path))

    for (route, path), colour in zip(drawn, _agent_colours(len(drawn))):
        ax.plot([xs[i] for i in path], [ys[i] for i in path], color=colour, linewidth=1.6,
                label=f"agent {route['agent_id']}: cost {route['cost']:.1f}", zorder=2)

    ax.scatter([xs[i] for i in targets], [ys[i] for i in targets], s=14, color="0.35", zorder=3)
    ax.scatter([xs[i] for i in depots], [ys[i] for i in depots], s=70, marker="s",
               color="black", label="depot", zorder=4)
    if len(nodes) <= label_limit:
        for i, node in enumerate(nodes):
            ax.annotate(str(node["id"]), (xs[i], ys[i]), xytext=(3, 3), textcoords="offset points",
                        fontsize=7, color="0.2", zorder=5)

    stats = result.get("statistics")
    if stats and not ax.get_title():
        ax.set_title(f"{result.get('status', '')}: max cost {stats['max_cost']:.1f}, "
                     f"sum cost {stats['sum_cost']:.1f}")
    ax.set_aspect("equal", adjustable="datalim")
    ax.legend(loc="best", fontsize="small")
    return ax


def plot_anytime(
    result: Mapping[str, Any],
    ax: Axes | None = None,
    key: str | Sequence[str] = "max_cost",
) -> Axes:
    """Draw the anytime record as a step plot of cost over processor time.

    ``key`` is "max_cost", "sum_cost", or a sequence of both. The last level is
    drawn on to the end of the solve (its "solve_time") so the final cost stays visible.
    """
    keys = [key] if isinstance(key, str) else list(key)
    unknown = [k for k in keys if k not in _ANYTIME_KEYS]
    if unknown or not keys:
        raise ValueError(f"key must be 'max_cost', 'sum_cost' or both, not {key!r}")
    if ax is None:
        ax = _new_axes()
    entries = result["anytime"]
    times = [float(entry["time"]) for entry in entries]
    end = float(result.get("statistics", {}).get("solve_time", 0.0))
    extend = bool(entries) and end > times[-1]
    for k in keys:
        values = [float(entry[k]) for entry in entries]
        if extend:
            values.append(values[-1])
        ax.step(times + [end] if extend else times, values, where="post", marker="o",
                markersize=3, markevery=list(range(len(entries))), label=k.replace("_", " "))
    ax.set_xlim(left=0.0)
    ax.set_xlabel("processor time (s)")
    ax.set_ylabel("cost")
    if entries:
        ax.legend(loc="best", fontsize="small")
    return ax


def save_routes_png(
    instance: Mapping[str, Any],
    result: Mapping[str, Any],
    path: str | os.PathLike[str],
    *,
    size: tuple[float, float] = (8.0, 6.0),
    dpi: int = 100,
) -> None:
    """Write the route picture to ``path`` as a PNG, without any display (Agg canvas)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=size, dpi=dpi)
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    plot_routes(instance, result, ax)
    fig.tight_layout()
    fig.savefig(os.fspath(path), format="png", dpi=dpi)
    log.debug("wrote the routes of %d agents to %s", len(result["routes"]), os.fspath(path))
