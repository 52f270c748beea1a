#!/usr/bin/python3
"""The web page of usb16relayd in a real browser: Debian's chromium, headless, driven through
chromedriver, against the real service and a simulated board on a pty (its byte log read back).

Usage: webpage.py PATH/usb16relayd PATH/usb16relay-sim OUTPUT_DIR
Writes web-phone.png and web-desktop.png into OUTPUT_DIR. Exits 77 (skipped) when chromium,
chromedriver or python3-selenium are missing. Checks the page with axe-core when
tests/e2e/node_modules holds it (scripts/install-deps.sh test runs npm ci).
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
PATIENCE = 15  # seconds to wait for anything; never a pass/fail time
GREEN = "rgb(22, 101, 52)"  # on
WHITE = "rgb(255, 255, 255)"  # off: the window's own colour, not an alarm
GREY = "rgb(209, 213, 219)"  # cannot be used now
AXE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "node_modules", "axe-core",
                   "axe.min.js")
NAMES = ["Pump", "Fan", "Heater", "Lamp east", "Lamp west", "Valve 1", "Irrigation valve, north",
         "Mister", "Door", "Compressor", "Spare 11", "Spare 12", "Spare 13", "Spare 14",
         "Relay 15", "Spare 16"]

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service as DriverService
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("webpage: python3-selenium is missing (scripts/install-deps.sh test)", file=sys.stderr)
    sys.exit(SKIP)


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def wait_for(condition, what):
    deadline = time.monotonic() + PATIENCE
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"waited {PATIENCE} s for {what}")


class Rig:
    """One simulated board and one service, on a free loopback port."""

    def __init__(self, daemon, sim, tmp, state, token=None, slow_ms=0):
        self.slow = ["--slow", str(slow_ms)] if slow_ms else []
        self.tmp = tmp
        self.sim_path = sim
        self.daemon_path = daemon
        self.state = state
        self.token = token
        self.link = os.path.join(tmp, "board")
        self.byte_log = os.path.join(tmp, "bytes")
        self.port = free_port()
        self.plug()
        self.config = os.path.join(tmp, "usb16relayd.conf")
        with open(self.config, "w") as f:
            f.write(f"[http]\nlisten = 127.0.0.1:{self.port}\n")
            if token:
                token_file = os.path.join(tmp, "token")
                with open(os.open(token_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as t:
                    t.write(token + "\n")
                f.write(f"token_file = {token_file}\n")
            f.write(f"\n[greenhouse]\ndevice = {self.link}\nname = Greenhouse\n"
                    f"poll_interval = 200\ninterlock = 1,2\n")
            for relay, name in enumerate(NAMES, 1):
                f.write(f"relay{relay} = {name}\n")
        self.log = open(os.path.join(tmp, "service.log"), "ab")
        self.start_service()

    def plug(self):
        self.sim = subprocess.Popen([self.sim_path, "--link", self.link, "--state", self.state,
                                     "--byte-log", self.byte_log, "--quiet"] + self.slow)
        wait_for(lambda: os.path.exists(self.link), "the simulated board's device")

    def start_service(self):
        self.daemon = subprocess.Popen([self.daemon_path, "--config", self.config],
                                       stderr=self.log)
        wait_for(lambda: self.board_or_none() and self.board_or_none()["online"],
                 "the service to serve the board online")

    def stop_service(self):
        self.daemon.terminate()
        self.daemon.wait(PATIENCE)

    def url(self, path=""):
        return f"http://127.0.0.1:{self.port}{path}"

    def board_or_none(self):
        request = urllib.request.Request(self.url("/api/v1/boards/greenhouse"))
        if self.token:
            request.add_header("Authorization", "Bearer " + self.token)
        try:
            with urllib.request.urlopen(request, timeout=2) as r:
                return json.load(r)
        except OSError:
            return None

    def switch(self, relay, on):
        request = urllib.request.Request(self.url(f"/api/v1/boards/greenhouse/relays/{relay}"),
                                         data=json.dumps({"on": on}).encode(), method="PUT",
                                         headers={"Content-Type": "application/json"})
        if self.token:
            request.add_header("Authorization", "Bearer " + self.token)
        with urllib.request.urlopen(request, timeout=PATIENCE) as r:
            return json.load(r)

    def bytes_received(self):
        with open(self.byte_log, "rb") as f:
            return f.read()

    def unplug(self):
        self.sim.send_signal(signal.SIGTERM)
        self.sim.wait(PATIENCE)

    def close(self):
        for process in (self.daemon, self.sim):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(PATIENCE)
                except subprocess.TimeoutExpired:
                    process.kill()
        self.log.close()


def browser(tmp, width, height):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                     f"--user-data-dir={tempfile.mkdtemp(dir=tmp)}",
                     f"--window-size={width},{height}"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=DriverService(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(PATIENCE)
    driver.set_script_timeout(PATIENCE)
    # The window size includes no browser chrome when headless; make the viewport exact.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": 1,
                            "mobile": width < 600})
    return driver


def switch_of(driver, relay):
    return driver.find_element(By.CSS_SELECTOR, f'[data-board="greenhouse"] [data-relay="{relay}"]')


def colour(driver, relay):
    return driver.execute_script("return getComputedStyle(arguments[0]).backgroundColor",
                                 switch_of(driver, relay))


def label(relay):  # as the page and the service's messages name a relay
    name = NAMES[relay - 1]
    return name if name == f"Relay {relay}" else f"{relay} · {name}"


def check_against_board(driver, board):
    for relay in range(1, 17):
        element = switch_of(driver, relay)
        on = board["relays"][relay - 1]
        name = element.find_element(By.CSS_SELECTOR, ".name").text
        assert name == label(relay), f"relay {relay} is named {name!r} on the page"
        assert element.get_attribute("role") == "switch"
        assert element.get_attribute("aria-checked") == ("true" if on else "false"), relay
        assert colour(driver, relay) == (GREEN if on else WHITE), (relay, colour(driver, relay))
        state = element.find_element(By.CSS_SELECTOR, ".state").text
        assert state == ("On" if on else "Off"), f"relay {relay} says {state!r}"


def check_cards(driver, what):
    """Every name above its Pulse button (names span the card), a row's buttons level."""
    problems = driver.execute_script("""
        const problems = [], rows = {};
        for (const card of document.querySelectorAll('.relay')) {
          const name = card.querySelector('.name'), pulse = card.querySelector('.pulse');
          const top = pulse.getBoundingClientRect().top;
          if (name.getBoundingClientRect().bottom > top)
            problems.push(`${name.textContent} runs under its Pulse button`);
          (rows[card.getBoundingClientRect().top] ??= new Set()).add(top);
        }
        return problems.concat(Object.values(rows).filter((tops) => tops.size > 1)
                                 .map((tops) => `Pulse buttons at ${[...tops]} px in a row`));""")
    assert not problems, f"cards, {what}: " + "; ".join(problems)


def check_axe(driver, what):
    """axe-core's rules, every one: no violation."""
    if not os.path.exists(AXE):
        print(f"webpage: {AXE} is missing, accessibility rules not checked "
              f"(scripts/install-deps.sh test)", file=sys.stderr)
        return
    with open(AXE) as f:
        driver.execute_script(f.read())
    result = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "axe.run(document).then((r) => done(r.violations.map((v) => v.id + ': ' + v.help + ' ' +"
        " v.nodes.map((n) => n.target.join(' ')).slice(0, 4).join(', '))))"
        ".catch((e) => done(['axe failed: ' + e]));")
    assert not result, f"axe-core, {what}: " + "; ".join(result)


def run(daemon, sim, out, tmp, width, height, screenshot):
    rig = Rig(daemon, sim, tmp, "8140")
    driver = None
    try:
        driver = browser(tmp, width, height)
        driver.get(rig.url("/"))
        wait_for(lambda: "Live" in driver.find_element(By.ID, "connection").text,
                 "the page to follow the event stream")
        wait_for(lambda: switch_of(driver, 1).get_attribute("aria-checked") == "true",
                 "the board's state on the page")
        check_against_board(driver, rig.board_or_none())
        check_cards(driver, f"{width} px")
        check_axe(driver, f"{width} px, online")
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": "dark"}]})
        assert colour(driver, 2) != WHITE, "the dark scheme does not follow the system's"
        check_axe(driver, f"{width} px, online, dark")
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
        width_used = driver.execute_script("return document.documentElement.scrollWidth")
        assert width_used <= width, f"the page is {width_used} px wide in a {width} px window"
        driver.execute_script("window.notReloaded = true")

        # A click: the board is asked, and the page turns green once the board says so.
        switch_of(driver, 5).click()
        wait_for(lambda: b"05+//" in rig.bytes_received(), "05+// in the board's byte log")
        wait_for(lambda: colour(driver, 5) == GREEN, "relay 5 to turn green")
        assert switch_of(driver, 5).get_attribute("aria-checked") == "true"

        # The keyboard alone: Tab moves between switches, Space switches.
        switch_of(driver, 6).send_keys(Keys.SPACE)
        wait_for(lambda: b"06+//" in rig.bytes_received(), "06+// after Space on relay 6")
        wait_for(lambda: colour(driver, 6) == GREEN, "relay 6 to turn green")

        # A pulse, with its duration, from the relay's own menu.
        driver.find_element(By.CSS_SELECTOR,
                            '[data-board="greenhouse"] .relay:nth-child(9) .pulse').click()
        field = driver.find_element(By.ID, "pulse-ms")
        field.clear()
        field.send_keys("300")
        driver.find_element(By.ID, "pulse-go").click()
        wait_for(lambda: b"09-//" in rig.bytes_received().split(b"09+//", 1)[-1],
                 "a pulse on relay 9: on, then off")

        # From outside, through the API: the page follows without reloading.
        rig.switch(3, True)
        wait_for(lambda: colour(driver, 3) == GREEN, "relay 3 to follow a change made elsewhere")
        assert driver.execute_script("return window.notReloaded === true")
        check_against_board(driver, rig.board_or_none())
        check_cards(driver, f"{width} px, after switching")
        driver.execute_script("window.scrollTo(0, 0)")
        driver.save_screenshot(os.path.join(out, screenshot))

        # All On against the interlock: refused, the relays named as the page names them.
        driver.find_element(By.CSS_SELECTOR, ".all-on").click()
        refusal = driver.find_element(By.CSS_SELECTOR, '[data-board="greenhouse"] .board-error')
        wait_for(lambda: "relays 1 · Pump, 2 · Fan are interlocked" in refusal.text, "a refusal")

        # Unplugged: one line says so, the details wait behind a disclosure, nothing can be
        # switched.
        rig.unplug()
        banner = driver.find_element(By.CSS_SELECTOR, '[data-board="greenhouse"] .banner')
        wait_for(lambda: banner.is_displayed() and "Not answering since" in banner.text,
                 "the offline banner")
        assert "last reported" in banner.text
        assert not banner.find_element(By.CSS_SELECTOR, ".reason").is_displayed()
        wait_for(lambda: not switch_of(driver, 7).is_enabled(), "the switches disabled offline")
        assert not driver.find_element(By.CSS_SELECTOR, ".all-on").is_enabled()
        assert colour(driver, 7) == GREY, colour(driver, 7)
        check_axe(driver, f"{width} px, offline")

        # The service restarts with the board back: the page reconnects by itself.
        rig.stop_service()
        status = driver.find_element(By.ID, "connection")
        wait_for(lambda: "unreachable since" in status.text,
                 "the page to say the service is unreachable")
        assert colour(driver, 1) == GREY, "a switch in full colour with the service gone"
        rig.plug()
        rig.start_service()
        wait_for(lambda: "Live" in status.text, "the page to reconnect")
        wait_for(lambda: not banner.is_displayed(), "the banner to go once the board answers")
        check_against_board(driver, rig.board_or_none())
        assert driver.execute_script("return window.notReloaded === true")
        print(f"webpage: {width}x{height}: names, colours, click, keyboard, outside change, "
              f"pulse, offline banner and disabled switches, service gone, never read as unknown, "
              f"reconnect, axe-core, all as the board reported")
    except Exception:
        if driver:
            driver.save_screenshot(os.path.join(out, "failed-" + screenshot))
        rig.log.flush()
        with open(os.path.join(tmp, "service.log"), "rb") as f:
            sys.stderr.write(f.read().decode(errors="replace"))
        raise
    finally:
        if driver:
            driver.quit()
        rig.close()


def run_with_token(daemon, sim, tmp):
    """A token is asked for once, and kept for the session; a slow board shows a pending switch."""
    token = "e2e-token-0123456789abcdef"
    rig = Rig(daemon, sim, tmp, "0001", token, slow_ms=400)
    driver = None
    try:
        driver = browser(tmp, 1280, 800)
        driver.get(rig.url("/"))
        form = driver.find_element(By.ID, "token-form")
        wait_for(form.is_displayed, "the page to ask for the token")
        assert not driver.find_elements(By.CSS_SELECTOR, ".switch"), "state shown without a token"
        field = driver.find_element(By.ID, "token")
        field.send_keys(token)
        field.send_keys(Keys.ENTER)
        wait_for(lambda: "Live" in driver.find_element(By.ID, "connection").text,
                 "the page to follow the service with the token")
        wait_for(lambda: colour(driver, 16) == GREEN, "relay 16 as the board reports it")
        driver.refresh()
        wait_for(lambda: "Live" in driver.find_element(By.ID, "connection").text,
                 "the page, reloaded, to use the kept token")
        assert not driver.find_element(By.ID, "token-form").is_displayed()

        # The board answers 400 ms late: the switch says what was asked, as pending, until then.
        switch_of(driver, 2).click()
        state = switch_of(driver, 2).find_element(By.CSS_SELECTOR, ".state")
        wait_for(lambda: "switching on" in state.text, "relay 2 shown pending")
        assert colour(driver, 2) == WHITE, "pending: still the state read, not the one asked"
        assert switch_of(driver, 2).get_attribute("aria-busy") == "true"
        announce = driver.find_element(By.ID, "announce")
        assert "switching on" in announce.get_attribute("textContent"), "pending not announced"
        wait_for(lambda: colour(driver, 2) == GREEN and state.text == "On",
                 "relay 2 green once the board confirms")
        assert b"02+//" in rig.bytes_received()

        # The answer to a click is held back while another client switches relay 7 on: the
        # older answer, once it comes, does not put relay 7 back off.
        driver.execute_script(
            "window.held = []; const original = window.fetch;"
            "window.fetch = (url, init) => (init && init.method === 'PUT')"
            "  ? original(url, init).then((r) =>"
            "      new Promise((go) => window.held.push(() => go(r))))"
            "  : original(url, init);")
        switch_of(driver, 5).click()
        wait_for(lambda: driver.execute_script("return window.held.length") == 1,
                 "the page's answer for relay 5, held back")
        rig.switch(7, True)
        wait_for(lambda: colour(driver, 7) == GREEN, "relay 7 on from the event stream")
        driver.execute_script("window.held.forEach((go) => go())")
        wait_for(lambda: colour(driver, 5) == GREEN, "relay 5 on once its answer comes")
        time.sleep(0.5)
        assert colour(driver, 7) == GREEN, "an older answer put relay 7 back off"
        assert rig.board_or_none()["relays"][6]
        print("webpage: token asked once, kept for the session; a pending switch until "
              "confirmed, announced; an answer held back does not undo a newer state")
    finally:
        if driver:
            driver.quit()
        rig.close()


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    daemon, sim, out = sys.argv[1:]
    for tool in (CHROMIUM, CHROMEDRIVER):
        if not os.access(tool, os.X_OK):
            print(f"webpage: {tool} is missing (scripts/install-deps.sh test)", file=sys.stderr)
            return SKIP
    os.makedirs(out, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="webpage.")
    try:
        for width, height, screenshot in ((375, 667, "web-phone.png"),
                                          (1280, 800, "web-desktop.png")):
            size_tmp = tempfile.mkdtemp(dir=tmp)
            run(daemon, sim, out, size_tmp, width, height, screenshot)
        run_with_token(daemon, sim, tempfile.mkdtemp(dir=tmp))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
