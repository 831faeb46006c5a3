#!/usr/bin/python3
"""The client view in a real browser: headless chromium driven through selenium (the system
python's Debian module), against halvane-testhost with its client view on and bridge simulators,
inside scripts/netns-run (loopback only).

Usage: client_view_test.py TESTHOST BRIDGE OUTDIR
Screenshots at a phone's and a tablet's size go to OUTDIR. bench/bench_client_view.py drives the
same pieces for its figures.
"""
import http.client
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

TESTHOST = BRIDGE = OUT = None
CHROMIUM_FLAGS = ("--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                  "--disable-background-networking --disable-component-update --disable-sync").split()


class Lines:
    """A child process whose stdout lines are collected as they come."""

    def __init__(self, args, env=None, stdin=False):
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                     env=env, text=True, bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append((time.time(), line.rstrip("\n")))
                self.cond.notify_all()

    def wait_for(self, pattern, start=0, timeout=20):
        rx = re.compile(pattern)
        deadline = time.time() + timeout
        with self.cond:
            while True:
                for at, line in self.lines[start:]:
                    m = rx.search(line)
                    if m:
                        return m, at
                if not self.cond.wait(max(0, deadline - time.time())) and time.time() >= deadline:
                    raise AssertionError(f"no line matching {pattern!r}; got {[l for _, l in self.lines[-10:]]}")

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


def request(port, method, path, body=None, cookie=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    headers = {"Cookie": cookie} if cookie else {}
    conn.request(method, path, body=body, headers=headers)
    r = conn.getresponse()
    data = r.read()
    conn.close()
    return r.status, r.getheader("Set-Cookie"), r.getheader("Retry-After"), data


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def browser(size):
    options = webdriver.ChromeOptions()
    for flag in CHROMIUM_FLAGS:
        options.add_argument(flag)
    options.add_argument("--user-data-dir=" + tempfile.mkdtemp(prefix="halvane-chromium-"))
    options.add_argument(f"--window-size={size[0]},{size[1]}")
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def shown(driver):
    """The id of the photo on screen once its image has loaded, else None."""
    return driver.execute_script(
        "const i = document.getElementById('foto');"
        "return i.style.display === 'block' && i.complete && i.naturalWidth > 0 ? i.src.split('/')[4] : null;")


def send_photos(port, count, size="3000x2000"):
    args = [BRIDGE, "--host", "127.0.0.1", "--port", str(port), "--photos", str(count), "--interval-ms", "300",
            "--exit-after-photos", str(count), "--photo-size", size]
    bridge = Lines(args)
    bridge.proc.wait(timeout=60)
    return bridge


def start_host():
    """The core with its client view on: the host, its camera port, its page's port and code."""
    work = tempfile.mkdtemp(prefix="halvane-web-")
    os.makedirs(os.path.join(work, "capture"))
    env = dict(os.environ, HALVANE_TESTHOST_SHARE="1", QT_QPA_PLATFORM="offscreen",
               XDG_CACHE_HOME=os.path.join(work, "cache"))
    host = Lines([TESTHOST, os.path.join(work, "settings.ini"), os.path.join(work, "capture")], env=env, stdin=True)
    host.capture = os.path.join(work, "capture")
    camera_port = int(host.wait_for(r"^port (\d+)")[0].group(1))
    m, _ = host.wait_for(r"^share (\d+) (\d{6})$")
    return host, camera_port, int(m.group(1)), m.group(2)


def main():
    host, camera_port, port, code = start_host()
    drivers = []
    try:
        send_photos(camera_port, 1)

        phone = browser((390, 844))
        drivers.append(phone)
        phone.get(f"http://127.0.0.1:{port}/")
        wait = WebDriverWait(phone, 20, poll_frequency=0.05)
        wait.until(lambda d: d.find_element(By.ID, "acceso").is_displayed())
        phone.save_screenshot(os.path.join(OUT, "client-view-code.png"))
        # A wrong code is refused, the right one lets the page in.
        field = phone.find_element(By.ID, "codigo")
        field.send_keys("000000" if code != "000000" else "111111")
        phone.find_element(By.ID, "entrar").click()
        wait.until(lambda d: d.find_element(By.ID, "error").text == "Código incorrecto.")
        field.clear()
        field.send_keys(code)
        phone.find_element(By.ID, "entrar").click()
        wait.until(lambda d: not d.find_element(By.ID, "acceso").is_displayed())
        first = wait.until(shown)
        strip = phone.find_elements(By.CSS_SELECTOR, "#tira button")
        check(len(strip) == 1 and strip[0].get_attribute("data-id") == first, "the strip holds the one photo, shown large")
        wait.until(lambda d: re.fullmatch(r"1/\d+ · f/\d+\.\d · ISO \d+", d.find_element(By.ID, "exposicion").text))
        host.wait_for(r"^viewers 1$")

        # A new photo appears without a reload, newest first.
        phone.execute_script("window.sinRecargar = true;")
        send_photos(camera_port, 1)
        wait.until(lambda d: shown(d) not in (None, first))
        check(phone.execute_script("return window.sinRecargar === true;"), "the page was reloaded")
        ids = [b.get_attribute("data-id") for b in phone.find_elements(By.CSS_SELECTOR, "#tira button")]
        check(len(ids) == 2 and ids[1] == first and ids[0] == shown(phone), f"strip newest first: {ids}")
        phone.save_screenshot(os.path.join(OUT, "client-view-phone.png"))
        # A swipe to the right goes to the newer photo, to the left back to the older one.
        phone.find_elements(By.CSS_SELECTOR, "#tira button")[1].click()
        wait.until(lambda d: shown(d) == first)
        phone.set_window_size(844, 390)
        wait.until(shown)
        phone.save_screenshot(os.path.join(OUT, "client-view-phone-landscape.png"))

        tablet = browser((820, 1180))
        drivers.append(tablet)
        # The session cookie of the phone, given to the tablet: the code is asked once per browser.
        status, cookie, _, _ = request(port, "POST", "/api/acceso", code)
        check(status == 204 and cookie and "HttpOnly" in cookie and "SameSite=Strict" in cookie, f"login: {status} {cookie}")
        session = cookie.split(";")[0]
        tablet.get(f"http://127.0.0.1:{port}/nada")
        tablet.add_cookie({"name": session.split("=")[0], "value": session.split("=")[1], "path": "/"})
        tablet.get(f"http://127.0.0.1:{port}/")
        WebDriverWait(tablet, 20, poll_frequency=0.05).until(shown)
        check(not tablet.find_element(By.ID, "acceso").is_displayed(), "a browser with a session is not asked again")
        tablet.save_screenshot(os.path.join(OUT, "client-view-tablet.png"))

        # Traversing and malformed addresses: 404, with a session or without. A guessed id, or the
        # original while downloads are off: 404 with a session (without one, 401 like any photo).
        for path in ["/foto/../../etc/passwd", "/foto/%2e%2e/settings.ini", "/foto/" + first.upper() + "/vista.jpg",
                     "/foto/{" + first + "}/vista.jpg", "/foto/" + first + "/../vista.jpg", "/foto/" + first,
                     "/capture/IMG_0001.JPG", "/settings.ini", "//etc/passwd", "/api", "/foto/" + first + "/vista.png"]:
            for who in (session, None):
                status = request(port, "GET", path, cookie=who)[0]
                check(status == 404, f"{path} ({'session' if who else 'no session'}): {status}")
        for path in ["/foto/00000000-0000-4000-8000-000000000000/vista.jpg", "/foto/" + first + "/original"]:
            statuses = [request(port, "GET", path, cookie=who)[0] for who in (session, None)]
            check(statuses == [404, 401], f"{path}: {statuses}")
        check(request(port, "GET", "/foto/" + first + "/vista.jpg")[0] == 401, "an image without a session")
        status, _, _, body = request(port, "GET", "/foto/" + first + "/mini.jpg", cookie=session)
        check(status == 200 and body[:2] == b"\xff\xd8", "a thumbnail with a session")

        # Wrong codes: refused, then limited; the limit holds even for the right code, and a
        # browser that has its session keeps seeing the photos.
        answers = [request(port, "POST", "/api/acceso", "123456" if code != "123456" else "654321")[0] for _ in range(4)]
        check(answers == [403] * 4, f"four more wrong codes are refused: {answers}")
        status, _, retry, _ = request(port, "POST", "/api/acceso", code)
        check(status == 429 and retry and int(retry) > 0, f"then limited: {status} {retry}")
        check(request(port, "GET", "/api/fotos", cookie=session)[0] == 200, "a session outlives the limit")

        # Originals only once downloads are allowed, then byte for byte.
        original = "/foto/" + first + "/original"
        host.send("downloads on")
        deadline = time.time() + 10
        while request(port, "GET", original, cookie=session)[0] != 200 and time.time() < deadline:
            pass
        status, _, _, body = request(port, "GET", original, cookie=session)
        with open(os.path.join(host.capture, "IMG_0001.JPG"), "rb") as stored:
            check(status == 200 and body == stored.read(), f"the original: {status}, {len(body)} bytes")

        # Switching the server off ends the pages' connections.
        host.send("share off")
        for driver in (phone, tablet):
            WebDriverWait(driver, 20, poll_frequency=0.05).until(
                lambda d: d.find_element(By.ID, "estado").text.startswith("Sin conexión"))
        try:
            request(port, "GET", "/")
            check(False, "the server still answers once off")
        except OSError:
            pass
        phone.save_screenshot(os.path.join(OUT, "client-view-off.png"))
        # Back on (at the same address): the pages reconnect by themselves, their sessions intact.
        host.send("share on")
        for driver in (phone, tablet):
            WebDriverWait(driver, 30, poll_frequency=0.05).until(
                lambda d: d.find_element(By.ID, "estado").text == "En directo")
            check(not driver.find_element(By.ID, "acceso").is_displayed(), "asked for the code again")
        print("client view: all checks passed")
    finally:
        for driver in drivers:
            driver.quit()
        host.stop()


if __name__ == "__main__":
    TESTHOST, BRIDGE, OUT = sys.argv[1:4]
    main()
