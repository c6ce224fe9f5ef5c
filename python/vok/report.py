"""A report of one solve as a single self-contained HTML page: the routes drawn on the node positions,
one table per route (its timetable when the result carries one), and the anytime curve.

Everything is inline (SVG and CSS), so the page opens anywhere without a network.
"""

from __future__ import annotations

import html
import math
from typing import Any, List, Mapping, Optional, Sequence, Tuple

__all__ = ["ROUTE_COLOURS", "report_html"]

# One colour per agent with a route, in route order; repeated past ten routes.
ROUTE_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                 "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf")

_STYLE = """
body { font-family: sans-serif; margin: 24px; color: #222; }
h1 { font-size: 20px; } h2 { font-size: 16px; margin-top: 28px; }
table { border-collapse: collapse; margin: 8px 0 16px; font-size: 13px; }
th, td { border: 1px solid #ccc; padding: 3px 8px; text-align: right; }
th { background: #f2f2f2; } td.path { text-align: left; max-width: 900px; word-break: break-all; }
.swatch { display: inline-block; width: 12px; height: 12px; margin-right: 6px; vertical-align: middle; }
svg { background: #fff; border: 1px solid #ddd; }
"""


def _number(value: Any) -> str:
    return f"{float(value):.3f}"


def _colour(k: int) -> str:
    return ROUTE_COLOURS[k % len(ROUTE_COLOURS)]


def _routes_svg(instance: Mapping[str, Any], drawn: Sequence[Tuple[int, List[int]]],
                depots: Sequence[int], width: int = 720, height: int = 540) -> str:
    nodes = instance["nodes"]
    xs = [float(node["x"]) for node in nodes]
    ys = [float(node["y"]) for node in nodes]
    pad = 20.0
    span_x = max(xs) - min(xs) or 1.0
    span_y = max(ys) - min(ys) or 1.0
    scale = min((width - 2 * pad) / span_x, (height - 2 * pad) / span_y)

    def at(i: int) -> str:
        return f"{pad + (xs[i] - min(xs)) * scale:.2f},{height - pad - (ys[i] - min(ys)) * scale:.2f}"

    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'viewBox="0 0 {width} {height}" role="img" aria-label="routes">']
    for k, path in drawn:
        parts.append(f'<polyline fill="none" stroke="{_colour(k)}" stroke-width="3" '
                     f'points="{" ".join(at(i) for i in path)}"/>')
    depot_set = set(depots)
    for i in range(len(nodes)):
        x, y = at(i).split(",")
        if i in depot_set:
            parts.append(f'<rect x="{float(x) - 5:.2f}" y="{float(y) - 5:.2f}" width="10" height="10" fill="#000"/>')
        else:
            parts.append(f'<circle cx="{x}" cy="{y}" r="3" fill="#555"/>')
        if len(nodes) <= 60:
            parts.append(f'<text x="{float(x) + 4:.2f}" y="{float(y) - 4:.2f}" font-size="10" fill="#333">'
                         f'{html.escape(str(nodes[i]["id"]))}</text>')
    parts.append("</svg>")
    return "".join(parts)


def _anytime_svg(result: Mapping[str, Any], key: str, width: int = 720, height: int = 260) -> str:
    entries = result.get("anytime") or []
    if not entries:
        return "<p>No solution was found, so there is no anytime curve.</p>"
    times = [float(e["time"]) for e in entries]
    values = [float(e[key]) for e in entries]
    end = max(float(result.get("statistics", {}).get("solve_time", 0.0)), times[-1])
    times.append(end)
    values.append(values[-1])
    left, right, top, bottom = 70.0, 20.0, 20.0, 40.0
    span_t = end or 1.0
    low, high = min(values), max(values)
    span_v = (high - low) or max(abs(high), 1.0)

    def at(t: float, v: float) -> str:
        x = left + t / span_t * (width - left - right)
        y = top + (high - v) / span_v * (height - top - bottom)
        return f"{x:.2f},{y:.2f}"

    points = [at(times[0], values[0])]
    for i in range(1, len(times)):
        points += [at(times[i], values[i - 1]), at(times[i], values[i])]
    axis = height - bottom
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}" role="img" aria-label="anytime curve">'
            f'<line x1="{left}" y1="{axis}" x2="{width - right}" y2="{axis}" stroke="#888"/>'
            f'<line x1="{left}" y1="{top}" x2="{left}" y2="{axis}" stroke="#888"/>'
            f'<polyline fill="none" stroke="#333" stroke-width="2" points="{" ".join(points)}"/>'
            f'<text x="{left - 6}" y="{top + 4}" font-size="11" text-anchor="end">{high:.2f}</text>'
            f'<text x="{left - 6}" y="{axis}" font-size="11" text-anchor="end">{low:.2f}</text>'
            f'<text x="{width - right}" y="{axis + 16}" font-size="11" text-anchor="end">{end:.3f} s</text>'
            f'<text x="{left}" y="{axis + 16}" font-size="11">0 s (processor time)</text>'
            f'<text x="{(left + width) / 2:.0f}" y="{height - 6}" font-size="11" text-anchor="middle">'
            f'{html.escape(key.replace("_", " "))} over processor time</text></svg>')


def _depots(instance: Mapping[str, Any]) -> List[int]:
    nodes = instance["nodes"]
    index_of = {node["id"]: i for i, node in enumerate(nodes)}
    depots = {i for i, node in enumerate(nodes) if str(node.get("type", "")).upper() == "DEPOT"}
    for agent in instance.get("agents", []):
        for key in ("start_node", "end_node"):
            if agent.get(key) in index_of:
                depots.add(index_of[agent[key]])
    return sorted(depots)


def report_html(instance: Mapping[str, Any], result: Mapping[str, Any], title: Optional[str] = None) -> str:
    """The page for ``result`` (a result dictionary) of ``instance`` (the JSON instance as a dict)."""
    nodes = instance.get("nodes")
    if not isinstance(nodes, list) or not nodes:
        raise ValueError("the instance has no nodes to draw")
    for i, node in enumerate(nodes):
        if not all(isinstance(node.get(k), (int, float)) and math.isfinite(node[k]) for k in ("x", "y")):
            raise ValueError(f"nodes[{i}] has no finite x and y to draw")
    routes = result.get("routes")
    if not isinstance(routes, list):
        raise ValueError("the result has no \"routes\" list")
    given = instance.get("options")
    options: Mapping[str, Any] = given if isinstance(given, dict) else {}
    min_max = options.get("objective") in ("min_max", "MIN_MAX")
    open_routes = not options.get("return_to_end", True)
    agents = instance.get("agents", [])
    ids = [node["id"] for node in nodes]

    drawn: List[Tuple[int, List[int]]] = []
    tables: List[str] = []
    for k, route in enumerate(routes):
        path = [int(i) for i in route.get("path", [])]
        bad = [i for i in path if not 0 <= i < len(nodes)]
        if bad:
            raise ValueError(f"route of agent {route.get('agent_id')} visits node index {bad[0]}, "
                             f"but the instance has {len(nodes)} nodes")
        colour = _colour(len(drawn)) if path else "#fff"
        shown = list(path)
        if open_routes and len(shown) > 1 and k < len(agents) and ids[shown[-1]] == agents[k].get("end_node"):
            shown.pop()  # the free hop into the end node is not drawn
        if path:
            drawn.append((len(drawn), shown))
        head = (f'<h2><span class="swatch" style="background:{colour}"></span>agent '
                f'{html.escape(str(route.get("agent_id")))}: cost {_number(route.get("cost", 0.0))}, '
                f'{max(len(path) - 2, 0)} targets</h2>')
        schedule = route.get("schedule")
        if not path:
            body = "<p>No route.</p>"
        elif schedule:
            rows = "".join(
                f"<tr><td>{html.escape(str(ids[int(s['node'])]))}</td><td>{_number(s['arrival'])}</td>"
                f"<td>{_number(s['wait'])}</td><td>{_number(s['start'])}</td><td>{_number(s['departure'])}</td>"
                f"<td>{_number(s['load'])}</td></tr>" for s in schedule)
            body = ("<table><tr><th>node</th><th>arrival</th><th>wait</th><th>start</th><th>departure</th>"
                    f"<th>load</th></tr>{rows}</table>")
        else:
            body = (f'<table><tr><th>path (node ids)</th></tr><tr><td class="path">'
                    f'{html.escape(" → ".join(str(ids[i]) for i in path))}</td></tr></table>'
                    "<p>The result carries no timetable (solve with the option \"schedule\": true, or "
                    "<code>vok solve --out</code>, for one).</p>")
        tables.append(head + body)

    stats = result.get("statistics", {})
    key = "max_cost" if min_max else "sum_cost"
    summary = (f"status {html.escape(str(result.get('status', '?')))}, objective "
               f"{'min-max' if min_max else 'min-sum'}: max cost {_number(stats.get('max_cost', 0.0))}, "
               f"sum cost {_number(stats.get('sum_cost', 0.0))}, solve time "
               f"{float(stats.get('solve_time', 0.0)):.3f} s, stopped by "
               f"{html.escape(str(stats.get('stop_reason', '?')) or '?')}")
    heading = html.escape(title or f"VOK solve: {len(nodes)} nodes, {len(routes)} agents")
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>{heading}</title><style>{_STYLE}</style></head><body>"
            f"<h1>{heading}</h1><p>{summary}</p>"
            f"{_routes_svg(instance, drawn, _depots(instance))}"
            f"<h2>Best {key.replace('_', ' ')} over time</h2>{_anytime_svg(result, key)}"
            f"{''.join(tables)}</body></html>\n")
