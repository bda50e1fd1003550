#!/usr/bin/env python3
"""The account pages in headless Chromium: a new user registers with the code printed on the
service's console, the demo user sets a new password the same way, and both passwords then log in
through the program's own exchanges (vantro-login-check). Everything is typed from the keyboard.

    account_pages_test.py --server PATH --login-check PATH [--screenshots DIR]

With --screenshots, the pages are also saved at 1280 and 360 pixels wide into DIR.
"""

import argparse
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

ARGS = None
NEW_NUMBER = "7125550142"
DEMO_NUMBER = "4125551212"
DEMO_PASSWORD = "demo"


class VantroServer:
    """vantro-server on a free port of 127.0.0.1 with a store of its own; its console is read
    line by line on a thread."""

    def __init__(self, path, folder):
        self.lines = queue.Queue()
        self.process = subprocess.Popen(
            [path, "--host", "127.0.0.1", "--port", "0", "--db", os.path.join(folder, "store.db")],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=folder)
        threading.Thread(target=self._read, daemon=True).start()
        first = self.wait_for(r"listening on (http://127\.0\.0\.1:\d+) ")
        self.url = first.group(1)

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait_for(self, pattern, timeout=30):
        """The first console line from now on that matches; fails after `timeout` seconds."""
        while True:
            try:
                line = self.lines.get(timeout=timeout)
            except queue.Empty:
                raise AssertionError("the service printed no line matching " + pattern) from None
            match = re.search(pattern, line)
            if match:
                return match

    def code_for(self, number):
        return self.wait_for(r"Verification code for " + number + r": (\d{6}) ").group(1)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def start_browser(folder):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--user-data-dir=" + os.path.join(folder, "profile")):
        options.add_argument(flag)
    driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    return webdriver.Chrome(service=Service(executable_path=driver_path), options=options)


class AccountPagesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="vantro-browser-")
        cls.server = VantroServer(ARGS.server, cls.folder)
        cls.browser = start_browser(cls.folder)
        cls.browser.set_window_size(1280, 900)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    # --- helpers -------------------------------------------------------------------------------

    def open(self, path):
        self.browser.get(self.server.url + path)

    def type(self, *keys):
        """Types into whatever has the focus, as a keyboard does."""
        self.browser.switch_to.active_element.send_keys(*keys)

    def submit(self, *keys):
        """Types keys that end in sending the form, and waits for the page that answers (the
        browser does not wait for it on its own)."""
        page = self.browser.find_element(By.TAG_NAME, "html")
        self.type(*keys)
        WebDriverWait(self.browser, 60).until(expected_conditions.staleness_of(page))

    def focused_id(self):
        return self.browser.switch_to.active_element.get_attribute("id")

    def heading(self):
        return self.browser.find_element(By.TAG_NAME, "h1").text

    def check_page(self, name):
        """What every account page must be: labelled fields, nothing from elsewhere, no sideways
        scrolling on a phone; and its screenshots when asked for."""
        unlabelled = self.browser.execute_script(
            "return [...document.querySelectorAll('input:not([type=hidden]), select')]"
            ".filter(f => !f.id || !document.querySelector('label[for=\"' + f.id + '\"]'))"
            ".map(f => f.name);")
        self.assertEqual(unlabelled, [], name)
        self.assertEqual(len(self.browser.find_elements(By.CSS_SELECTOR, "meta[name=viewport]")), 1, name)
        foreign = self.browser.execute_script(
            "return performance.getEntriesByType('resource').map(r => r.name)"
            ".filter(n => !n.startsWith(location.origin));")
        self.assertEqual(foreign, [], name)
        self.assertEqual(len(self.browser.find_elements(By.TAG_NAME, "script")), 0, name)
        for width in (1280, 360):
            # 360 px as a phone shows it: a mobile viewport, where the viewport meta tag counts.
            self.set_viewport(width, 900)
            sideways = self.browser.execute_script(
                "return document.documentElement.scrollWidth - window.innerWidth;")
            self.assertLessEqual(sideways, 0, "%s scrolls sideways at %d px" % (name, width))
            if ARGS.screenshots:
                height = self.browser.execute_script("return document.documentElement.scrollHeight;")
                self.set_viewport(width, max(height, 480))
                self.browser.save_screenshot(os.path.join(ARGS.screenshots, "%s-%d.png" % (name, width)))
        self.browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    def set_viewport(self, width, height):
        self.browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})

    def ask_for_code(self, path, number, page_name):
        """Fills the first form from the keyboard: number, carrier, then the button."""
        self.open(path)
        self.check_page(page_name)
        self.assertEqual(self.focused_id(), "number")
        self.type(number, Keys.TAB)
        self.assertEqual(self.focused_id(), "carrier")
        self.type("AT&T")
        self.type(Keys.TAB)
        self.submit(Keys.ENTER)

    def login_check(self, login, password, *old_id):
        result = subprocess.run([ARGS.login_check, self.server.url, login, password, *old_id],
                                capture_output=True, text=True, timeout=60)
        return result.returncode, result.stdout

    # --- the tests -----------------------------------------------------------------------------

    def test_1_registration_with_the_code_from_the_console(self):
        self.ask_for_code("/login.aspx?regstart=true", NEW_NUMBER, "register")
        notice = self.browser.find_element(By.CSS_SELECTOR, "[role=status]").text
        self.assertIn("printed on the service's console", notice)
        code = self.server.code_for(NEW_NUMBER)

        # A slip in the second password is announced, tied to its field, and takes the focus.
        self.assertEqual(self.focused_id(), "code")
        self.submit(code, Keys.TAB, "s3cret&<", Keys.TAB, "s3cret&>", Keys.ENTER)
        alert = self.browser.find_element(By.CSS_SELECTOR, "[role=alert]")
        self.assertEqual(alert.text, "The two passwords differ. Please type the same password twice.")
        self.assertEqual(self.focused_id(), "confirmation")
        field = self.browser.switch_to.active_element
        self.assertEqual(field.get_attribute("aria-invalid"), "true")
        self.assertIn(alert.get_attribute("id"), field.get_attribute("aria-describedby").split())
        self.check_page("register-code")

        # The fields come back empty; back to the code, still from the keyboard.
        self.type(Keys.SHIFT, Keys.TAB, Keys.NULL)
        self.type(Keys.SHIFT, Keys.TAB, Keys.NULL)
        self.assertEqual(self.focused_id(), "code")
        self.submit(code, Keys.TAB, "s3cret&<", Keys.TAB, "s3cret&<", Keys.ENTER)
        self.assertEqual(self.heading(), "Registered")
        self.assertIn("You are registered with the login " + NEW_NUMBER,
                      self.browser.find_element(By.CSS_SELECTOR, "[role=status]").text)

        status, output = self.login_check(NEW_NUMBER, "s3cret&<")
        self.assertEqual(status, 0, output)

    def test_2_a_new_password_for_the_demo_user(self):
        status, output = self.login_check(DEMO_NUMBER, DEMO_PASSWORD)
        self.assertEqual(status, 0, output)
        old_id = re.search(r"login accepted, id (\S+)", output).group(1)

        self.ask_for_code("/login.aspx?forgot=true", DEMO_NUMBER, "forgot")
        notice = self.browser.find_element(By.CSS_SELECTOR, "[role=status]").text
        self.assertIn("If " + DEMO_NUMBER + " is registered", notice)
        code = self.server.code_for(DEMO_NUMBER)
        self.check_page("forgot-code")
        self.assertEqual(self.focused_id(), "code")
        self.submit(code, Keys.TAB, "new demo", Keys.TAB, "new demo", Keys.ENTER)
        self.assertEqual(self.heading(), "Password changed")

        # The new password logs in, and the session of the old one has ended.
        status, output = self.login_check(DEMO_NUMBER, "new demo", old_id)
        self.assertEqual(status, 0, output)
        self.assertIn("old id refused", output)
        status, output = self.login_check(DEMO_NUMBER, DEMO_PASSWORD)
        self.assertEqual(status, 1, output)
        self.assertIn("login refused", output)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--login-check", required=True)
    parser.add_argument("--screenshots")
    ARGS, rest = parser.parse_known_args()
    ARGS.server = os.path.abspath(ARGS.server)
    ARGS.login_check = os.path.abspath(ARGS.login_check)
    if ARGS.screenshots:
        os.makedirs(ARGS.screenshots, exist_ok=True)
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
