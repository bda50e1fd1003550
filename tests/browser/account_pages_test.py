#!/usr/bin/env python3
"""The account pages in headless Chromium: a new user registers with the code printed on the
service's console, the demo user sets a new password the same way, and both passwords then log in
through the program's own exchanges (vantro-login-check). Everything is typed from the keyboard.

    account_pages_test.py --server PATH --login-check PATH [--screenshots DIR]

With --screenshots, the pages are also saved at 1280 and 360 pixels wide into DIR.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from browser_support import PageChecks, VantroServer, start_browser

ARGS = None
NEW_NUMBER = "7125550142"
DEMO_NUMBER = "4125551212"
DEMO_PASSWORD = "demo"


class AccountPagesTest(PageChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.screenshots = ARGS.screenshots
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
