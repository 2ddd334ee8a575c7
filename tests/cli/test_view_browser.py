"""`mivoble view` in Debian's headless Chromium, driven over the DevTools protocol: the page
streams, counts rows at the amplifiers' rates, shows a link drop and draws traces."""
import io
import os
import re
import time

import numpy as np
import pytest

from viewer import CHROMIUM, NOMINAL_BAND, Browser, Viewer, assert_rate, wait_for

if not os.path.exists(CHROMIUM):
    # CI installs Chromium; elsewhere the browser tests need it too.
    pytest.skip("Debian's chromium is not installed", allow_module_level=True)

# A drops its link once, 6 s after it connects, and loses every 25th notification on air;
# B streams 8 channels at 500 Hz.
SIM = "MV-2401.00.07,channels=4,drop_once=6000,drop_notify_every=25;MV-2401.00.08,channels=8,rate=500"
A, B = "MV-2401.00.07", "MV-2401.00.08"
WIDTH, HEIGHT = 1280, 800


@pytest.fixture(scope="module")
def page():
    # A window long enough that the link-loss marker is still in it when the screenshot is taken.
    viewer = Viewer([A, B], sim=SIM, extra=["--seconds", "30"])
    browser = Browser(WIDTH, HEIGHT)
    try:
        browser.navigate(viewer.url)
        yield viewer, browser
    finally:
        browser.close()
        assert viewer.stop() == 0, viewer.err.snapshot()


def rows(browser, name):
    return int(browser.text(f"rows-{name}") or 0)


def test_page_streams_and_counts_rows_at_the_amplifiers_rates(page):
    viewer, browser = page
    wait_for(lambda: browser.state() == "streaming", 30, "data-state streaming")
    assert browser.evaluate("typeof uPlot") == "function"  # the built-in copy, no network
    wait_for(lambda: rows(browser, A) > 0 and rows(browser, B) > 0, 10, "rows drawn of both amplifiers")
    start = time.monotonic(), rows(browser, A), rows(browser, B)
    wait_for(lambda: time.monotonic() - start[0] >= 3, 5, "three seconds of rows")
    seconds = time.monotonic() - start[0]
    rate_a, rate_b = (rows(browser, A) - start[1]) / seconds, (rows(browser, B) - start[2]) / seconds
    assert NOMINAL_BAND[0] * 250 <= rate_a <= NOMINAL_BAND[1] * 250, rate_a
    # The rate the page shows is the one its rows came at.
    assert_rate(rate_b, float(browser.text(f"rate-{B}")), 500)
    assert browser.text(f"battery-{B}") == "87 %"


def test_a_link_drop_shows_and_the_traces_go_on(page):
    viewer, browser = page
    # The loss stays on the page once the link is back (it may have been down for less than an update).
    wait_for(lambda: browser.text(f"reconnects-{A}") == "1" and browser.text(f"link-{A}") == "up", 30,
             "A reconnected")
    assert re.fullmatch(r"\d\d:\d\d:\d\d for \d+\.\d s", browser.text(f"lost-{A}")), browser.text(f"lost-{A}")
    assert browser.text(f"lost-{B}") == "none"
    after = rows(browser, A)
    wait_for(lambda: rows(browser, A) >= after + 250, 10, "a second of A's rows after the reconnect")
    assert browser.text(f"link-{B}") == "up" and browser.text(f"reconnects-{B}") == "0"
    assert int(browser.text(f"filled-{A}")) > 0  # notifications lost on air were filled in


def plot_pixels(png):
    from PIL import Image
    image = np.asarray(Image.open(io.BytesIO(png)).convert("RGB")).astype(int)
    assert image.shape == (HEIGHT, WIDTH, 3)
    r, g, b = image[..., 0], image[..., 1], image[..., 2]
    # Trace colours are dark and tinted; the link-loss marker is bright red; filled-in rows are shaded orange.
    trace = (np.maximum(np.maximum(r, g), b) - np.minimum(np.minimum(r, g), b) > 30) & (r + g + b < 400) & ~((r > 180) & (g < 60))
    marker = (r > 180) & (g < 60) & (b < 60)
    shade = (r > 230) & (g > 180) & (g < 235) & (b < 200)
    return trace, marker, shade


def test_screenshot_has_traces_a_link_marker_and_traces_after_it(page):
    viewer, browser = page
    wait_for(lambda: browser.text(f"reconnects-{A}") == "1", 40, "A reconnected")
    after = rows(browser, A)
    wait_for(lambda: rows(browser, A) >= after + 500, 10, "two seconds of A's rows after the reconnect")
    png = browser.screenshot()
    if os.environ.get("MIVOBLE_VIEW_SCREENSHOT"):
        with open(os.environ["MIVOBLE_VIEW_SCREENSHOT"], "wb") as f:
            f.write(png)
    trace, marker, shade = plot_pixels(png)
    plot = trace[:, 130:WIDTH - 40]  # right of the channel labels, left of the scale bar
    assert plot.sum() > 5000, plot.sum()
    # Every lane of both amplifiers has a trace: rows of the plot with trace pixels form 12 bands.
    lanes = np.flatnonzero(plot.sum(axis=1) > 20)
    bands = 1 + np.count_nonzero(np.diff(lanes) > 3)
    assert bands >= 12, bands
    # The red line of the lost link, with traces on both sides of it.
    columns = np.flatnonzero(marker.sum(axis=0) > 50)
    assert columns.size, "no link-loss marker"
    x = int(columns.mean())
    assert trace[:, 130:x - 5].sum() > 500 and trace[:, x + 5:WIDTH - 40].sum() > 500
    assert shade.sum() > 50  # filled-in stretches are shaded
