"""What the browser tests share: the service on a free loopback port, headless Chromium, and the
checks every web page must pass, typed from the keyboard as a person would."""

import os
import queue
import re
import shutil
import subprocess
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait


class OutputLines:
    """A program started with its output read line by line on a thread, for `wait_for`."""

    def __init__(self, name, command, **popen):
        self.name = name
        self.lines = queue.Queue()
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                        **popen)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_for(self, pattern, timeout=30):
        """The first line from now on that matches; fails after `timeout` seconds, or when the
        program has ended."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.1, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError("%s printed no line matching %s" % (self.name, pattern)) from None
            if line is None:
                raise AssertionError("%s ended (status %s) before printing a line matching %s"
                                     % (self.name, self.process.wait(), pattern))
            match = re.search(pattern, line)
            if match:
                return match


class VantroServer(OutputLines):
    """vantro-server on a free port of 127.0.0.1 with a store of its own."""

    def __init__(self, path, folder, *options):
        super().__init__("the service", [path, "--host", "127.0.0.1", "--port", "0", "--db",
                                         os.path.join(folder, "store.db"), *options], cwd=folder)
        first = self.wait_for(r"listening on (http://127\.0\.0\.1:\d+) ")
        self.url = first.group(1)

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


class PageChecks:
    """For a test case with `browser`, `server` and `screenshots` (a folder, or None)."""

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
        """What every page must be: labelled fields, nothing from elsewhere, no sideways
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
            if self.screenshots:
                height = self.browser.execute_script("return document.documentElement.scrollHeight;")
                self.set_viewport(width, max(height, 480))
                self.browser.save_screenshot(os.path.join(self.screenshots, "%s-%d.png" % (name, width)))
        self.browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    def set_viewport(self, width, height):
        self.browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})

