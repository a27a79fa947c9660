#!/usr/bin/env bash
# The live page in a real browser (headless Chromium driven by Selenium):
# a value changed in the page is read back by the program, the PLC bits
# shown are those the API names and a click sets or clears one, a fault set in
# the page gives the status it causes, a value the program writes shows in
# the page, and text keeps its line ends both ways. The page is served under
# a strict Content-Security-Policy, and the browser must log neither a
# violation of it nor a script error. Saves a screenshot to $SCREENSHOT.
# Environment: SIM, BIN_DIR, SCREENSHOT.
set -u
source "$(dirname "$0")/../../../scripts/sim.sh"
profile=$(mktemp -d "${TMPDIR:-/tmp}/page-XXXXXX")
trap 'sim_stop; rm -rf "$profile"' EXIT
sim_start "$SIM" --http 0 || exit 2
export URL=$SIM_HTTP SIM_ADDR PROFILE=$profile
timeout 180 /usr/bin/python3 - <<'PY'
import json, os, subprocess, sys, urllib.request
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

# The output as the program wrote it: CR stays CR.
def zuna(*args):
    run = subprocess.run([os.path.join(os.environ["BIN_DIR"], args[0]), "-c", os.environ["SIM_ADDR"], *args[1:]],
                         capture_output=True, timeout=60)
    return run.returncode, run.stdout.decode()

# The page's own answer holds it to its own files.
POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
          "frame-ancestors 'none'; base-uri 'none'; form-action 'none'")
directives = lambda text: {d.split()[0]: d.split()[1:] for d in text.split(";") if d.strip()}
direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
with direct.open(os.environ["URL"], timeout=10) as res:
    headers = res.headers
assert directives(headers.get("Content-Security-Policy", "")) == directives(POLICY), headers
assert headers.get("X-Frame-Options") == "DENY", headers
assert headers.get("X-Content-Type-Options") == "nosniff", headers

opts = webdriver.ChromeOptions()
opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + os.environ["PROFILE"], "--window-size=1400,1250"):
    opts.add_argument(flag)
browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
try:
    wait = WebDriverWait(browser, 20)
    browser.get(os.environ["URL"])
    speed = wait.until(lambda b: b.find_element(By.CSS_SELECTOR, 'input[data-node="demo.Speed"]'))
    assert speed.get_attribute("value") == "1200", speed.get_attribute("value")
    speed.clear()
    speed.send_keys("4321", Keys.ENTER)
    wait.until(lambda b: "demo.Speed = 4321" in b.find_element(By.ID, "status").text)
    assert zuna("zunaReadStr", "-n", "demo.Speed") == (0, "4321\n")

    # The PLC bits are drawn from the names the API gives; a click sets or clears one.
    plc = lambda: json.load(direct.open(os.environ["URL"] + "api/plc", timeout=10))
    buttons = browser.find_elements(By.CSS_SELECTOR, "#plc button")
    assert [b.get_attribute("title") for b in buttons] == plc()["names"], [b.get_attribute("title") for b in buttons]
    browser.find_element(By.CSS_SELECTOR, '#plc button[data-state="PLC_ATTENTION"]').click()
    wait.until(lambda b: "set PLC_ATTENTION" in b.find_element(By.ID, "status").text)
    assert "PLC_ATTENTION" in plc()["state"], plc()
    wait.until(lambda b: "on" in b.find_element(By.CSS_SELECTOR, '#plc button[data-state="PLC_ATTENTION"]').get_attribute("class"))
    browser.find_element(By.CSS_SELECTOR, '#plc button[data-state="PLC_ATTENTION"]').click()
    wait.until(lambda b: "cleared PLC_ATTENTION" in b.find_element(By.ID, "status").text)
    assert "PLC_ATTENTION" not in plc()["state"], plc()

    browser.find_element(By.ID, "fault-op").send_keys("JobStart")
    browser.find_element(By.ID, "fault-result").send_keys("-14")
    browser.find_element(By.ID, "fault-add").click()
    wait.until(lambda b: "JobStart" in b.find_element(By.ID, "faults").text)
    assert zuna("zunaRunJob", "-n", "Demo")[0] == 4
    wait.until(lambda b: "seen 1" in b.find_element(By.ID, "faults").text)  # the page counts the hit
    browser.save_screenshot(os.environ["SCREENSHOT"])
    # A change made elsewhere reaches the page by its event stream.
    assert zuna("zunaWriteStr", "-n", "demo.Speed", "-v", "777")[0] == 0
    wait.until(lambda b: b.find_element(By.CSS_SELECTOR, 'input[data-node="demo.Speed"]').get_attribute("value") == "777")

    # Text keeps its line ends: shown with them, and written back as typed,
    # in the kind of line end the value had.
    value = lambda name: lambda b: b.find_element(By.CSS_SELECTOR, f'[data-node="{name}"]').get_property("value")
    motd = browser.find_element(By.CSS_SELECTOR, '[data-node="sys.Motd"]')
    assert motd.tag_name == "textarea", motd.tag_name
    got = value("sys.Motd")(browser), value("demo.Notes")(browser)
    assert got == ("Welcome to the simulated controller.\nHave a good shift.", "first line\nsecond line"), got
    write = lambda: ActionChains(browser).key_down(Keys.CONTROL).send_keys(Keys.ENTER).key_up(Keys.CONTROL).perform()
    notes = browser.find_element(By.CSS_SELECTOR, '[data-node="demo.Notes"]')
    notes.clear()
    notes.send_keys("one", Keys.ENTER, "two", Keys.ENTER, Keys.ENTER, "four")
    write()
    wait.until(lambda b: 'demo.Notes = "one\\ntwo\\n\\nfour"' in b.find_element(By.ID, "status").text)
    got = zuna("zunaReadStr", "-n", "demo.Notes")
    assert got == (0, "one\ntwo\n\nfour\n"), got
    browser.refresh()
    wait.until(lambda b: value("demo.Notes")(b) == "one\ntwo\n\nfour")

    assert zuna("zunaWriteStr", "-n", "demo.Notes", "-v", "a\r\nb")[0] == 0
    wait.until(lambda b: value("demo.Notes")(b) == "a\nb")
    notes = browser.find_element(By.CSS_SELECTOR, '[data-node="demo.Notes"]')
    notes.send_keys(Keys.CONTROL, Keys.END)
    notes.send_keys(Keys.ENTER, "c")
    write()
    wait.until(lambda b: 'demo.Notes = "a\\r\\nb\\r\\nc"' in b.find_element(By.ID, "status").text)
    got = zuna("zunaReadStr", "-n", "demo.Notes")
    assert got == (0, "a\r\nb\r\nc\n"), got

    notes.send_keys(Keys.ESCAPE)  # no longer edited there: what the machine holds shows again

    # Mixed line ends cannot be kept by a textarea: the value is shown, not
    # offered for editing.
    assert zuna("zunaWriteStr", "-n", "demo.Notes", "-v", "a\nb\r\nc\rd")[0] == 0
    wait.until(lambda b: value("demo.Notes")(b) == "a\nb\nc\nd")
    assert browser.find_element(By.CSS_SELECTOR, '[data-node="demo.Notes"]').get_property("readOnly")

    logged = browser.get_log("browser")
    problems = [e for e in logged if e["level"] == "SEVERE" or "Content Security Policy" in e["message"]]
    assert not problems, "\n".join(e["message"] for e in problems)
finally:
    browser.quit()
print("page test passed")
PY
