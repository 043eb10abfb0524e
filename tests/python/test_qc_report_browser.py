"""The QC reports in a real browser: headless Chromium opens each written
file from disk, every plot draws with its traces and no console error, and
a click on a run's legend item hides that run. Screenshots are kept under
build/test-artefacts/qc-report/."""

from __future__ import annotations

import math
import os
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("plotly")
pytest.importorskip("pyarrow")

import browser  # noqa: E402
import qc_standin  # noqa: E402
from morvane.qc import report  # noqa: E402

from test_qc_report import figures_of  # noqa: E402

ARTEFACTS = Path(__file__).resolve().parents[2] / "build" / "test-artefacts" / "qc-report"
RENDERED = "document.body.dataset.rendered === 'true'"

_why = browser.missing()
if _why and os.environ.get("CI"):
    # CI installs chromium through scripts/system-deps.sh: a missing browser
    # there is a fault of the setup, not a reason to skip.
    raise RuntimeError(f"the browser test cannot run on CI: {_why}")
pytestmark = pytest.mark.skipif(_why is not None, reason=f"no browser: {_why}")

PLOTS = "Array.from(document.querySelectorAll('.js-plotly-plot'))"


@pytest.fixture(scope="module")
def reports(tmp_path_factory):
    folder = tmp_path_factory.mktemp("qc-browser")
    batch = qc_standin.lc_batch(folder, runs=5, cycles=40)
    report.write_run_report(batch[0], folder / f"{batch[0].run_name}.html", threads=2)
    report.write_batch_report(batch, folder / "report.html", threads=2)
    elsewhere = qc_standin.synthetic("no-folder", 5000, seed=2)
    report.write_run_report(elsewhere, folder / "no-folder.html")
    return {"run": folder / f"{batch[0].run_name}.html", "batch": folder / "report.html",
            "no-folder": folder / "no-folder.html", "names": [m.run_name for m in batch]}


@pytest.fixture(scope="module")
def driver():
    with browser.chromium() as session:
        yield session


@pytest.mark.parametrize("which", ["run", "batch", "no-folder"])
def test_every_plot_draws_its_traces_without_console_errors(driver, reports, which):
    path = reports[which]
    browser.open_file(driver, path, RENDERED)
    expected = [len(f["data"]) for f in figures_of(path).values()]
    drawn = driver.execute_script(f"return {PLOTS}.map(gd => gd.data.length);")
    assert drawn == expected
    assert all(count > 0 for count in drawn)
    # Each plot put its traces into the page (SVG groups of its data layers).
    shown = driver.execute_script(
        f"return {PLOTS}.map(gd => gd.querySelectorAll('.scatterlayer .trace, .barlayer .trace, "
        f".heatmaplayer image, .hm image, .heatmaplayer .hm').length);")
    assert all(count > 0 for count in shown), shown
    assert browser.severe_console_messages(driver) == []
    browser.screenshot(driver, ARTEFACTS / f"{which}.png")


def visible_lines(driver, plot: int) -> list[bool]:
    return driver.execute_script(
        f"return {PLOTS}[{plot}].data.map(t => t.visible === undefined || t.visible === true);")


def eventually(read, expected, timeout: float = 10.0):
    """read() once it equals expected, or its last value after timeout
    seconds (plotly applies a legend click only once no second click of a
    double click followed)."""
    deadline = time.monotonic() + timeout
    value = read()
    while value != expected and time.monotonic() < deadline:
        time.sleep(0.05)
        value = read()
    return value


def test_clicking_a_run_in_the_legend_hides_and_shows_its_traces(driver, reports):
    from selenium.webdriver.common.action_chains import ActionChains

    browser.open_file(driver, reports["batch"], RENDERED)
    names = reports["names"]
    # The overlaid TIC (first plot) and the one-row-per-run panels (third),
    # whose two traces of a run share one legend item.
    for plot, traces_per_run in ((0, 1), (2, 2)):
        assert visible_lines(driver, plot) == [True] * (len(names) * traces_per_run)
        items = driver.execute_script(f"return {PLOTS}[{plot}].querySelectorAll('.legend .traces .legendtoggle');")
        assert len(items) == len(names)
        driver.execute_script("arguments[0].scrollIntoView({block: 'center'});", items[1])
        ActionChains(driver).move_to_element(items[1]).click().perform()
        hidden = [i // traces_per_run == 1 for i in range(len(names) * traces_per_run)]
        assert eventually(lambda: visible_lines(driver, plot), [not h for h in hidden]) == [not h for h in hidden]
        drawn = driver.execute_script(
            f"return {PLOTS}[{plot}].querySelectorAll('.scatterlayer .trace').length;")
        assert drawn == len(names) * traces_per_run - traces_per_run
        ActionChains(driver).move_to_element(items[1]).click().perform()
        everything = [True] * (len(names) * traces_per_run)
        assert eventually(lambda: visible_lines(driver, plot), everything) == everything
    browser.screenshot(driver, ARTEFACTS / "batch-after-toggle.png", full_page=False)
    assert browser.severe_console_messages(driver) == []


def test_the_map_menu_shows_one_run_at_a_time(driver, reports):
    browser.open_file(driver, reports["batch"], RENDERED)
    plot = driver.execute_script(
        f"return {PLOTS}.findIndex(gd => gd.data.length && gd.data[0].type === 'heatmap');")
    assert plot >= 0
    shown = f"return {PLOTS}[{plot}].data.map(t => t.visible === true);"
    names = reports["names"]
    assert driver.execute_script(shown) == [True] + [False] * (len(names) - 1)
    driver.execute_script(f"const gd = {PLOTS}[{plot}]; "
                          "const args = gd.layout.updatemenus[0].buttons[3].args; "
                          "return Plotly.update(gd, args[0]);")
    assert driver.execute_script(shown) == [i == 3 for i in range(len(names))]
    assert browser.severe_console_messages(driver) == []


def axis_ticks(driver, plot: int) -> dict[str, dict]:
    """Each y axis of a drawn plot: its tick values and step."""
    return driver.execute_script(
        f"const l = {PLOTS}[{plot}]._fullLayout;"
        "return Object.fromEntries(Object.keys(l).filter(k => /^yaxis\\d*$/.test(k))"
        ".map(k => [k, {values: l[k]._vals.map(t => t.x), dtick: Number(l[k].dtick), low: l[k].range[0]}]));")


def test_intensity_and_rate_axes_have_round_ticks_from_zero(driver, reports):
    browser.open_file(driver, reports["run"], RENDERED)
    titles = driver.execute_script(f"return {PLOTS}.map(gd => gd.layout.title.text);")
    for title in ("TIC and base peak (MS1)", "Scan rate", "MS2 scans per cycle"):
        for axis, ticks in axis_ticks(driver, titles.index(title)).items():
            values, step = ticks["values"], ticks["dtick"]
            assert ticks["low"] == 0, (title, axis, ticks["low"])   # the axis starts at 0
            assert values and min(values) >= 0, (title, axis, values)
            # A step of 1, 2 or 5 times a power of ten, every tick a multiple of it.
            mantissa = step / 10 ** math.floor(math.log10(step))
            assert any(math.isclose(mantissa, m) for m in (1, 2, 2.5, 5)), (title, axis, step)
            assert all(math.isclose(v / step, round(v / step), abs_tol=1e-9) for v in values), (title, axis, values, step)


@pytest.fixture(scope="module")
def with_empty_run(tmp_path_factory, reports):
    folder = tmp_path_factory.mktemp("qc-browser-empty")
    lc = qc_standin.lc_batch(folder, runs=1, cycles=20)
    columns = {"rt": np.arange(10.0), "ms_level": np.full(10, 2), "tic": np.ones(10),
               "base_peak_intensity": np.ones(10), "base_peak_mz": np.full(10, 300.0)}
    mrm = qc_standin.RunMetrics("mrm", str(folder / "mrm.d"), [], qc_standin.scan_table(columns))
    path = folder / "report.html"
    report.write_batch_report([lc[0], mrm], path, threads=1)
    return path, [lc[0].run_name, "mrm"]


def test_panels_name_their_runs_and_say_no_data(driver, with_empty_run):
    path, names = with_empty_run
    browser.open_file(driver, path, RENDERED)
    shown = driver.execute_script("return Array.from(document.querySelectorAll('.annotation-text'))"
                                  ".map(a => a.textContent);")
    assert set(names) <= set(shown)
    assert shown.count("no data") == 2   # both columns of the run without MS1
    headline = driver.execute_script("return document.querySelector('p.headline').textContent;")
    assert headline.startswith("2 runs")
    assert browser.severe_console_messages(driver) == []
    browser.screenshot(driver, ARTEFACTS / "batch-with-empty-run.png")
