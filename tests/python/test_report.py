"""The report page as a person sees it: rendered by a headless browser."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from vok.report import ROUTE_COLOURS

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_report_page_shows_the_routes_in_a_browser(tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("no chromium (scripts/test.sh installs it)")
    image = pytest.importorskip("matplotlib.image")
    instance = EXAMPLES / "eil51_3_agents.json"
    result, page, shot = tmp_path / "result.json", tmp_path / "report.html", tmp_path / "report.png"
    for args in (["solve", instance, "--time-limit", "1", "--quiet", "--out", result],
                 ["report", result, instance, "-o", page]):
        completed = subprocess.run([sys.executable, "-m", "vok", *map(str, args)], capture_output=True, text=True,
                                   timeout=120)
        assert completed.returncode == 0, completed.stderr
    text = page.read_text()
    assert "<script src" not in text and "http://" not in text.replace('xmlns="http://www.w3.org/2000/svg"', "")
    assert text.count("<table>") == 3 and "departure" in text  # one timetable per agent

    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--window-size=800,700", f"--screenshot={shot}", page.as_uri()],
                   capture_output=True, timeout=120, check=True)
    pixels = (image.imread(str(shot))[:, :, :3] * 255).round().astype(int)
    # Each of the three routes' colours covers a good stretch of the picture.
    for colour in ROUTE_COLOURS[:3]:
        rgb = [int(colour[i:i + 2], 16) for i in (1, 3, 5)]
        assert (abs(pixels - rgb).max(axis=2) <= 8).sum() > 300, colour
