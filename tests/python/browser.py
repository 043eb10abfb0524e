"""Headless Chromium driven by selenium, for tests that open generated
pages from disk. Only Debian's chromium and chromium-driver are used
(scripts/system-deps.sh installs them); nothing is downloaded."""

from __future__ import annotations

import base64
import os
import shutil
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

CHROMIUM_NAMES = ("chromium", "chromium-browser")
DRIVER_NAMES = ("chromedriver", "chromium-driver")


def find(names: tuple[str, ...]) -> str | None:
    for name in names:
        found = shutil.which(name) or shutil.which(name, path="/usr/lib/chromium")
        if found:
            return found
    return None


def missing() -> str | None:
    """Why no browser test can run here, or None when one can."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed (requirements-test.txt)"
    if find(CHROMIUM_NAMES) is None:
        return "chromium is not installed (scripts/system-deps.sh installs it)"
    if find(DRIVER_NAMES) is None:
        return "chromedriver is not installed (Debian's chromium-driver; scripts/system-deps.sh installs it)"
    return None


@contextmanager
def chromium(width: int = 1400, height: int = 1000) -> Iterator[Any]:
    """A headless Chromium session whose console log can be read
    (driver.get_log("browser"))."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = find(CHROMIUM_NAMES) or ""
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     f"--window-size={width},{height}", "--allow-file-access-from-files",
                     "--disable-extensions", "--no-first-run"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is no part of what is tested: it runs without the
    # sanitizer runtimes a sanitized test run preloads into the interpreter.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS",
                                                             "PYTHONMALLOC")}
    service = Service(executable_path=find(DRIVER_NAMES), env=env)
    driver = webdriver.Chrome(service=service, options=options)
    try:
        yield driver
    finally:
        driver.quit()


def open_file(driver: Any, path: Path, ready: str, timeout: float = 60.0) -> None:
    """Loads path (file://) and waits until the JavaScript expression ready
    is true; TimeoutError names the expression and the page's status text."""
    driver.get(path.resolve().as_uri())
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if driver.execute_script(f"return Boolean({ready});"):
            return
        time.sleep(0.1)
    status = driver.execute_script("const s = document.getElementById('qc-status'); return s ? s.textContent : '';")
    raise TimeoutError(f"{path.name}: {ready} still false after {timeout} s {status!r}")


def severe_console_messages(driver: Any) -> list[str]:
    return [entry["message"] for entry in driver.get_log("browser") if entry.get("level") == "SEVERE"]


def screenshot(driver: Any, path: Path, full_page: bool = True) -> None:
    """Saves a PNG of the page: the whole page's height when full_page, else
    the window."""
    path.parent.mkdir(parents=True, exist_ok=True)
    if not full_page:
        driver.save_screenshot(str(path))
        return
    size = driver.execute_cdp_cmd("Page.getLayoutMetrics", {})["cssContentSize"]
    shot = driver.execute_cdp_cmd("Page.captureScreenshot", {
        "format": "png", "captureBeyondViewport": True,
        "clip": {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}})
    path.write_bytes(base64.b64decode(shot["data"]))
