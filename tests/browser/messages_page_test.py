#!/usr/bin/env python3
""""My messages" in headless Chromium, with the service delivering through the SMS gateway of the
tests (vantro-sms-rig: Debian's Kannel and a fake SMSC). A new user registers with the code the
fake SMSC received, sends a message with the program's own exchanges (vantro-send-check), opens the
advertisement's link of the answer, signs in from the keyboard and sees the message, sees it turn
to "delivered to the phone" once the SMSC sends the receipt, and deletes the account.

    messages_page_test.py --server PATH --send-check PATH --sms-rig PATH [--screenshots DIR]

With --screenshots, the pages are also saved at 1280 and 360 pixels wide into DIR. Exits with 77
(a skip, for CTest) when Debian's kannel is not installed.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from browser_support import OutputLines, PageChecks, VantroServer, start_browser

ARGS = None
SKIPPED = 77
NUMBER = "7125550177"
PASSWORD = "tracking & <more>"
RECIPIENT = "7245550199"
BODY = "Dinner at 8 & bring <cake>"


class SmsRig(OutputLines):
    """vantro-sms-rig; it ends when its input is closed."""

    def __init__(self, path):
        super().__init__("the SMS rig", [path], stdin=subprocess.PIPE)
        ready = self.wait_for(r"^ready (\S+) (\S+)$", 90)
        self.sendsms_url, self.credentials = ready.group(1), ready.group(2)

    def receipt(self):
        self.process.stdin.write("receipt\n")
        self.process.stdin.flush()
        self.wait_for(r"^receipt sent$")

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


class MessagesPageTest(PageChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.screenshots = ARGS.screenshots
        cls.folder = tempfile.mkdtemp(prefix="vantro-browser-")
        cls.rig = SmsRig(ARGS.sms_rig)
        try:
            cls.server = VantroServer(ARGS.server, cls.folder, "--sms-gateway", cls.rig.sendsms_url,
                                      "--sms-gateway-credentials", cls.rig.credentials,
                                      "--sms-from", "+14125550100")
            cls.browser = start_browser(cls.folder)
        except BaseException:
            cls.rig.stop()
            raise
        cls.browser.set_window_size(1280, 900)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.server.stop()
        cls.rig.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def register(self):
        """A new account, with the code the fake SMSC received."""
        self.open("/login.aspx?regstart=true")
        self.type(NUMBER, Keys.TAB, "AT&T", Keys.TAB)
        self.submit(Keys.ENTER)
        code = self.rig.wait_for(r"^submit 1" + NUMBER + r" .*Your Vantro code is (\d{6})\.").group(1)
        self.assertEqual(self.focused_id(), "code")
        self.submit(code, Keys.TAB, PASSWORD, Keys.TAB, PASSWORD, Keys.ENTER)
        self.assertEqual(self.heading(), "Registered")

    def state_of_message(self):
        return self.browser.find_element(By.CSS_SELECTOR, ".messages li .state").text

    def refresh_until(self, words, limit=60):
        """Follows the page's Refresh link from the keyboard until the message's state begins with
        `words`; `limit` seconds only guard against a hanging test."""
        deadline = time.monotonic() + limit
        while not self.state_of_message().startswith(words):
            self.assertLess(time.monotonic(), deadline, "still " + self.state_of_message())
            time.sleep(0.5)
            self.assertEqual(self.browser.switch_to.active_element.text, "Refresh")
            self.submit(Keys.ENTER)

    def test_a_sent_message_from_the_status_link_to_delivered(self):
        self.register()
        result = subprocess.run([ARGS.send_check, self.server.url, NUMBER, PASSWORD, RECIPIENT, "AT&T", BODY],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("send: Your message was sent to " + RECIPIENT + ".", result.stdout)
        self.assertIn("ad_text: Track this message and your last ones\n", result.stdout)
        self.assertIn("ad_link: See delivery status\n", result.stdout)
        link = re.search(r"^ad_url: (.*)$", result.stdout, re.MULTILINE).group(1)
        self.assertEqual(link, self.server.url + "/messages.aspx")
        self.rig.wait_for(r"^submit 1" + RECIPIENT + " ")

        # The status link, as the thank-you panel opens it; sign in from the keyboard.
        self.browser.get(link)
        self.check_page("signin")
        self.assertEqual(self.focused_id(), "number")
        self.submit(NUMBER, Keys.TAB, "not it", Keys.ENTER)
        self.assertEqual(self.browser.find_element(By.CSS_SELECTOR, "[role=alert]").text,
                         "The number or the password is not right.")
        self.assertEqual(self.focused_id(), "password")
        self.submit(PASSWORD, Keys.ENTER)
        self.assertEqual(self.heading(), "My messages")
        item = self.browser.find_element(By.CSS_SELECTOR, ".messages li").text
        self.assertIn(RECIPIENT, item)
        self.assertIn(BODY, item)

        self.refresh_until("handed to the network")
        self.rig.receipt()
        self.refresh_until("delivered to the phone (")
        self.assertRegex(self.state_of_message(), r"^delivered to the phone \(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC\)$")
        self.check_page("messages")

        # Leaving: the password again, then the account is gone and the page signed out.
        self.open("/messages.aspx?delete=true")
        self.check_page("delete")
        self.assertEqual(self.focused_id(), "password")
        self.submit(PASSWORD, Keys.ENTER)
        self.assertEqual(self.heading(), "Account deleted")
        self.open("/messages.aspx")
        self.assertEqual(self.focused_id(), "number")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--server", "--send-check", "--sms-rig"):
        parser.add_argument(name, required=True)
    parser.add_argument("--screenshots")
    ARGS, rest = parser.parse_known_args()
    for name in ("server", "send_check", "sms_rig"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    if not os.path.exists("/usr/sbin/bearerbox"):
        print("SKIPPED: Debian's kannel is not installed (scripts/deps installs it)")
        sys.exit(SKIPPED)
    if ARGS.screenshots:
        os.makedirs(ARGS.screenshots, exist_ok=True)
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
