#!/usr/bin/env bash
# The live page in a real browser (headless Chromium driven by Selenium):
# a value changed in the page is read back by the program, a fault set in
# the page gives the status it causes, and a value the program writes shows
# in the page. Saves a screenshot to $SCREENSHOT.
# Environment: SIM, BIN_DIR, SCREENSHOT.
set -u
source "$(dirname "$0")/../../../scripts/sim.sh"
profile=$(mktemp -d "${TMPDIR:-/tmp}/page-XXXXXX")
trap 'sim_stop; rm -rf "$profile"' EXIT
sim_start "$SIM" --http 0 || exit 2
export URL=$SIM_HTTP SIM_ADDR PROFILE=$profile
timeout 180 /usr/bin/python3 - <<'PY'
import os, subprocess, sys
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

def zuna(*args):
    run = subprocess.run([os.path.join(os.environ["BIN_DIR"], args[0]), "-c", os.environ["SIM_ADDR"], *args[1:]],
                         capture_output=True, text=True, timeout=60)
    return run.returncode, run.stdout

opts = webdriver.ChromeOptions()
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
finally:
    browser.quit()
print("page test passed")
PY
