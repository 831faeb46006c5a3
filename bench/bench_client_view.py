#!/usr/bin/python3
"""bench_client_view.py TESTHOST BRIDGE: a photo listed in the window to shown in a real browser
(headless chromium) through the client view, and the bytes sent per photo to that browser, beside
an anchor measured in the same run (a round trip of the page itself over the same loopback).
Run it inside scripts/netns-run, like the browser test whose pieces it uses:

    scripts/netns-run --no-avahi /usr/bin/python3 bench/bench_client_view.py \
        build/release/tests/e2e/halvane-testhost build/release/tools/bridge/halvane-bridge
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
import client_view_test as web  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402


def bench(host, camera_port, port, code, drivers):
    """Photo listed in the window to shown in the browser, and bytes sent per photo."""
    status, cookie, _, _ = web.request(port, "POST", "/api/acceso", code)
    session = cookie.split(";")[0]
    # Anchor: a round trip of the page itself over the same loopback, in the same run.
    start = time.time()
    for _ in range(20):
        web.request(port, "GET", "/", cookie=session)
    anchor_ms = (time.time() - start) / 20 * 1000
    driver = web.browser((820, 1180))
    drivers.append(driver)
    driver.get(f"http://127.0.0.1:{port}/nada")
    driver.add_cookie({"name": session.split("=")[0], "value": session.split("=")[1], "path": "/"})
    driver.get(f"http://127.0.0.1:{port}/")
    WebDriverWait(driver, 20, poll_frequency=0.02).until(web.shown)
    host.send("sharestats")
    before = int(host.wait_for(r"^sharestats sent=(\d+)")[0].group(1))
    rounds, latencies = 10, []
    for i in range(rounds):
        mark = len(host.lines)
        last = web.shown(driver)
        web.send_photos(camera_port, 1, "6000x4000")
        _, listed_at = host.wait_for(r"^photo ", start=mark)
        WebDriverWait(driver, 20, poll_frequency=0.01).until(lambda d: web.shown(d) not in (None, last))
        shown_at = driver.execute_script("return window.halvaneMostrada.t;") / 1000.0
        latencies.append((shown_at - listed_at) * 1000)
    mark = len(host.lines)
    host.send("sharestats")
    after = int(host.wait_for(r"^sharestats sent=(\d+)", start=mark)[0].group(1))
    latencies.sort()
    print(f"figure anchor_page_roundtrip {anchor_ms:.1f} ms")
    print(f"figure listed_to_shown_median {latencies[len(latencies) // 2]:.0f} ms")
    print(f"figure listed_to_shown_max {latencies[-1]:.0f} ms")
    print(f"figure bytes_per_photo {(after - before) / rounds:.0f} bytes")


def main():
    web.TESTHOST, web.BRIDGE = sys.argv[1:3]
    host, camera_port, port, code = web.start_host()
    drivers = []
    try:
        web.send_photos(camera_port, 1)
        bench(host, camera_port, port, code, drivers)
    finally:
        for driver in drivers:
            driver.quit()
        host.stop()


if __name__ == "__main__":
    main()
