#!/usr/bin/python3
"""The remote control's page in a real browser (Chromium driven by selenium) against a running
loudara-cli onair on a JACK server of its own (dummy driver) with a tone at its input: a wrong
token is refused; with the right one the meters move; choosing preset 335 changes the settings
and the output's loudness; a knob turned on the page shows in GET /api/parameters; the page fits
a phone's width. Screenshots go to OUT_DIR.

    control_page_test.py LOUDARA_CLI OUT_DIR
Exits 77 (skipped) when the browser, its driver, selenium or JACK are missing."""

import json
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77


def skip(why):
    print("SKIP: " + why)
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    skip("python3-selenium is not installed")

CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
for program in ("jackd", "jack_simple_client", "jack_wait"):
    if not shutil.which(program):
        skip(program + " is not installed (Debian package jackd2)")
if not os.path.exists(CHROMEDRIVER) or not shutil.which("chromium"):
    skip("chromium and chromium-driver are not installed")

cli, out_dir = sys.argv[1], sys.argv[2]
os.makedirs(out_dir, exist_ok=True)
work = tempfile.mkdtemp(prefix="loudara_page_")
children = []
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def start(args, name):
    log = open(os.path.join(work, name + ".log"), "w")
    child = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, env=env)
    children.append(child)
    return child


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


server = "loudara_page_%d" % os.getpid()
env = dict(os.environ, JACK_DEFAULT_SERVER=server, JACK_NO_AUDIO_RESERVATION="1", JACK_NO_START_SERVER="1",
           HOME=work)
env.pop("XDG_DATA_HOME", None)
env.pop("XDG_CONFIG_HOME", None)
token = secrets.token_urlsafe(24)
token_file = os.path.join(work, "token")
with open(os.open(token_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
    f.write(token + "\n")
port = free_port()
base = "http://127.0.0.1:%d" % port


def api(path, method="GET", body=None):
    request = urllib.request.Request(base + path, method=method, headers={"Authorization": "Bearer " + token})
    if body is not None:
        request.data = json.dumps(body).encode()
        request.add_header("Content-Type", "application/json")
    with urllib.request.urlopen(request, timeout=10) as r:
        return json.loads(r.read())


def parameters():
    return {p["name"]: p["value"] for p in api("/api/parameters")["parameters"]}


def momentary(seconds=1.5):
    """The output's momentary loudness, averaged over a few readings."""
    values = []
    until = time.time() + seconds
    while time.time() < until:
        v = api("/api/status")["momentaryLufs"]
        if v is not None:
            values.append(v)
        time.sleep(0.2)
    return sum(values) / len(values) if values else float("-inf")


driver = None
try:
    start(["jackd", "--no-realtime", "-n", server, "-d", "dummy", "-r", "44100", "-p", "1024"], "jackd")
    deadline = time.time() + 10
    while subprocess.call(["jack_wait", "-s", server, "-w", "-t", "2"], env=env, stdout=subprocess.DEVNULL) != 0:
        if time.time() > deadline:
            raise RuntimeError("jackd did not come up")
    start(["jack_simple_client", "tone"], "tone")
    onair = start([cli, "onair", "--device", "jack", "--connect-input", "tone:output1", "--connect-input", "tone:output2",
                   "--http", str(port), "--http-token-file", token_file], "onair")
    deadline = time.time() + 20
    while True:
        try:
            if api("/api/status")["state"] == "on-air":
                break
        except OSError:
            pass
        if time.time() > deadline or onair.poll() is not None:
            raise RuntimeError("onair did not come up: " + open(os.path.join(work, "onair.log")).read())
        time.sleep(0.2)

    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,1500", "--user-data-dir=" + os.path.join(work, "chromium")):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    wait = WebDriverWait(driver, 15)
    driver.get(base + "/")
    by_id = lambda name: driver.find_element(By.ID, name)

    # A wrong token: refused, the panel stays hidden.
    wait.until(lambda d: by_id("token").is_displayed())
    by_id("token").send_keys("not-the-token-at-all")
    by_id("signin-button").click()
    wait.until(lambda d: "Refused" in by_id("signin-error").text)
    check(not by_id("panel").is_displayed(), "a wrong token is refused and the panel stays hidden")

    # The right one: the meters move.
    by_id("token").clear()
    by_id("token").send_keys(token)
    by_id("signin-button").click()
    wait.until(lambda d: by_id("panel").is_displayed())
    wait.until(lambda d: int(d.find_element(By.TAG_NAME, "body").get_attribute("data-frames")) > 0)
    frames = lambda: int(driver.find_element(By.TAG_NAME, "body").get_attribute("data-frames"))
    f0, up0 = frames(), by_id("uptime").text
    time.sleep(2)
    f1, up1 = frames(), by_id("uptime").text
    check(f1 - f0 >= 12, "the meters change about ten times a second (%d in 2 s)" % (f1 - f0))
    check(up0 != up1, "the uptime moves (%s, then %s)" % (up0, up1))
    out_text = by_id("meter-out0").text
    check(out_text not in ("-", "-inf"), "the output meter shows the tone (%s dBFS)" % out_text)
    check(by_id("momentary").text not in ("-", "-inf"), "the momentary loudness shows (%s LUFS)" % by_id("momentary").text)
    check("Bands" in by_id("knobs").text and "dB" in by_id("knobs").text, "the knobs are grouped, with units")

    # Preset 335: the settings and the output's loudness change.
    before, loud_before = parameters(), momentary()
    Select(by_id("preset")).select_by_value("id:335")
    by_id("apply-preset").click()
    wait.until(lambda d: "preset 335 applied" in by_id("messages").text)
    time.sleep(1.5)
    after, loud_after = parameters(), momentary()
    changed = [name for name in before if before[name] != after[name]]
    check(len(changed) >= 5, "preset 335 changes the settings (%d of them)" % len(changed))
    check(abs(loud_after - loud_before) >= 0.5,
          "preset 335 changes the output level (%.1f LUFS, then %.1f LUFS)" % (loud_before, loud_after))

    # A knob turned on the page shows in the API.
    knob = driver.find_element(By.CSS_SELECTOR, 'input[type=number][data-name="agcDepthDb"]')
    knob.send_keys(Keys.CONTROL, "a")
    knob.send_keys("12.5", Keys.TAB)
    deadline = time.time() + 10
    while parameters()["agcDepthDb"] != 12.5 and time.time() < deadline:
        time.sleep(0.2)
    check(parameters()["agcDepthDb"] == 12.5, "a knob changed on the page shows in GET /api/parameters")
    driver.execute_script("document.activeElement.blur(); window.scrollTo(0, 0)")
    time.sleep(1)
    driver.save_screenshot(os.path.join(out_dir, "control_page.png"))

    # A phone's width: nothing runs off the side.
    driver.set_window_size(390, 1400)
    driver.execute_script("window.scrollTo(0, 0)")
    time.sleep(0.5)
    overflow = driver.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
    check(overflow <= 1, "the page fits a phone's width (%d px too wide)" % overflow)
    driver.save_screenshot(os.path.join(out_dir, "control_page_phone.png"))
except Exception as e:  # a failure to start or a wait that timed out
    failures.append(repr(e))
    print("FAIL " + repr(e))
    for name in ("onair", "jackd", "tone"):
        path = os.path.join(work, name + ".log")
        if os.path.exists(path):
            print("--- %s:\n%s" % (name, open(path).read()[-3000:]))
finally:
    if driver:
        driver.quit()
    for child in reversed(children):
        child.send_signal(signal.SIGTERM)
        try:
            child.wait(10)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
    shutil.rmtree(work, ignore_errors=True)

print("control page: %s" % ("all checks passed" if not failures else "%d failed" % len(failures)))
sys.exit(1 if failures else 0)
