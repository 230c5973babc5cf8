"""Drawing a page in headless Chromium for the page tests and the benchmark.

Each call runs a fresh browser with a profile of its own, every network
service off and a proxy that leads nowhere, so a page that tried to fetch
anything could not. Where Chromium is missing the tests are skipped with the
reason; with IOCHURN_REQUIRE_BROWSER=1 (set by CI) that skip is a failure.
"""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

REQUIRED = os.environ.get("IOCHURN_REQUIRE_BROWSER") == "1"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu",
         "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--no-first-run", "--disable-extensions",
         "--disable-default-apps", "--mute-audio", "--hide-scrollbars",
         # Network off: any request would go to a proxy that is not there.
         "--proxy-server=127.0.0.1:9", "--proxy-bypass-list=<-loopback>",
         "--enable-logging=stderr", "--v=0"]
CONSOLE = re.compile(r":CONSOLE[^\]]*\] (.*)")


def chromium():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


def require_browser():
    """Skips the calling test where Chromium is missing (fails under
    IOCHURN_REQUIRE_BROWSER=1)."""
    if chromium() is not None:
        return
    reason = "chromium not installed (scripts/install-deps --tests)"
    if REQUIRED:
        raise AssertionError("the page tests are required: " + reason)
    raise unittest.SkipTest("skipped: " + reason)


class Drawn:
    """What the browser made of a page: the DOM after the scripts ran, the
    console lines, and the wall time of the whole browser run."""

    def __init__(self, dom, console, seconds):
        self.dom = dom
        self.console = console
        self.seconds = seconds


def draw(page, screenshot=None, width=1280, height=3200, timeout=90):
    """Loads `page` (a path) and returns a Drawn; with `screenshot` (a .png
    path) takes a picture of the page instead of dumping its DOM on a second
    run of the browser."""
    profile = tempfile.mkdtemp(prefix="iochurn-browser-")
    try:
        url = "file://" + os.path.abspath(page)
        argv = [chromium()] + FLAGS + ["--user-data-dir=" + profile,
                                       "--window-size=%d,%d" % (width, height)]
        start = time.monotonic()
        r = subprocess.run(argv + ["--dump-dom", url], capture_output=True,
                           text=True, timeout=timeout, errors="replace")
        seconds = time.monotonic() - start
        console = [m.group(1) for m in CONSOLE.finditer(r.stderr)]
        if screenshot:
            subprocess.run(argv + ["--screenshot=" + screenshot, url],
                           capture_output=True, timeout=timeout)
        return Drawn(r.stdout, console, seconds)
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def chart_points(dom):
    """{chart id: rows drawn} of every chart element the page drew."""
    return {m.group(1): int(m.group(2)) for m in re.finditer(
        r'<div class="plot" id="([\w-]+)"[^>]*data-points="(\d+)"', dom)}


def chart_ids(dom):
    """Ids of every chart element on the page, drawn or not."""
    return re.findall(r'<div class="plot[^"]*" id="([\w-]+)"', dom)


def canvases_in(dom, chart_id):
    """Number of canvas elements inside the chart element `chart_id`."""
    at = dom.find('id="%s"' % chart_id)
    if at < 0:
        return 0
    end = dom.find("</section>", at)
    return dom[at:end].count("<canvas")


def network_references(dom):
    """Every src= or href= value that points at a network address."""
    return [v for v in re.findall(r'(?:src|href)\s*=\s*["\']?([^"\' >]+)', dom, re.I)
            if re.match(r"\s*(https?:|//|ftp:|ws:)", v, re.I)]
