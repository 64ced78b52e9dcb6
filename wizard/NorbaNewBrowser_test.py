#!/usr/bin/python3
"""NorbaNew's page in headless chromium: checks, dialogs and the whole road to page 9.

Usage: NorbaNewBrowser_test.py NORBANEW WIZARD_REGISTRY TESTDATA_DIR
Exit status 0 on success, 1 on failure, 77 (skipped) when no browser,
driver or selenium is installed.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

SKIP = 77

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(SKIP)

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    print("skipped: chromium or chromium-driver is not installed")
    sys.exit(SKIP)

NORBANEW, REGISTRY, TESTDATA = sys.argv[1:4]


def golden(name):
    with open(os.path.join(TESTDATA, name), "rb") as f:
        return f.read().decode()


def read(path):
    with open(path, "rb") as f:
        return f.read().decode()


def with_date_of(expected, actual, label):
    found = re.search(label + "[^\r]*", actual)
    return re.sub(label + "[^\r]*", found.group(0), expected) if found else expected


class Page:
    """The browser on NorbaNew's page."""

    def __init__(self, driver):
        self.d = driver

    def number(self):
        try:
            return int(self.d.find_element(By.ID, "wizard").get_attribute("data-page"))
        except (StaleElementReferenceException, Exception):
            return 0

    def wait_page(self, page):
        WebDriverWait(self.d, 30).until(lambda d: self.number() == page)
        WebDriverWait(self.d, 30).until(
            lambda d: d.execute_script("return document.readyState") == "complete")

    def set(self, control, text):
        field = self.d.find_element(By.ID, control)
        field.clear()
        field.send_keys(text)

    def leave(self):
        self.d.find_element(By.TAG_NAME, "legend").click()

    def dialog(self):
        """Waits for the message box; returns (title, text) and presses OK."""
        box = WebDriverWait(self.d, 30).until(
            lambda d: d.find_element(By.ID, "box") if d.find_element(By.ID, "box")
            .get_attribute("open") is not None else False)
        shown = (self.d.find_element(By.ID, "box-title").text,
                 self.d.find_element(By.ID, "box-text").text)
        box.find_element(By.ID, "box-ok").click()
        return shown

    def mark(self):
        self.d.execute_script("window.__before = true;")

    def reloading(self, action):
        """Runs an action that makes the page load again, and waits for it."""
        self.mark()
        action()
        self.wait_reloaded()

    def wait_reloaded(self):
        WebDriverWait(self.d, 30).until(
            lambda d: d.execute_script("return document.readyState === 'complete' && "
                                       "!window.__before && !!document.getElementById('wizard')"))

    def dropped(self, seconds=2):
        """After a press whose field check failed: true when, for `seconds`, no
        further message box opens and the page does not load again."""
        end = time.time() + seconds
        while time.time() < end:
            if self.d.execute_script(
                    "return !window.__before || document.getElementById('box').open"):
                return False
            time.sleep(0.05)
        return True

    def posted_events(self):
        """The kinds of the events the page posted since the last call, from the
        browser's network log."""
        kinds = []
        for entry in self.d.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message.get("method") != "Network.requestWillBeSent":
                continue
            request = message["params"]["request"]
            if request["url"].endswith("/event") and request.get("method") == "POST":
                form = urllib.parse.parse_qs(request.get("postData", ""))
                kinds += form.get("event", ["?"])
        return kinds

    def comma_then_press(self, control, text, button, message):
        """Types a comma into a field and presses the button at once, as a person
        does: the field's message, and the press is dropped, not posted."""
        self.set(control, text)
        self.posted_events()
        self.mark()
        self.d.find_element(By.ID, button).click()
        shown = self.dialog()
        check(shown == ("Information", message), "comma dialog: %r" % (shown,))
        check(self.dropped(), "the press after the failed check is dropped")
        posted = self.posted_events()
        check("click" not in posted, "the page posted the dropped press: %r" % (posted,))
        WebDriverWait(self.d, 20).until(
            lambda d: d.switch_to.active_element.get_attribute("id") == control)

    def press(self, button, page):
        self.reloading(lambda: self.d.find_element(By.ID, button).click())
        self.wait_page(page)

    def option(self, control, index):
        button = self.d.find_element(By.ID, f"{control}-{index}")
        if not button.is_selected():
            self.reloading(button.click)


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def main():
    top = tempfile.mkdtemp(prefix="norbanew-browser-")
    proc = None
    driver = None
    try:
        state = os.path.join(top, "state")
        os.mkdir(state, 0o700)
        env = dict(os.environ, TAVRO_PLATFORM_DIR=state)
        tree = os.path.join(top, "Qim Root") + "/"
        for d in ("specific/tavro/config", "common/vrn", "common/bin"):
            os.makedirs(tree + d)
        with open(tree + "common/vrn/vrn_config.INI", "wb") as f:
            f.write(golden("vrn_config.before.INI").encode())
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        # No look-up or connection beyond the page's own address: the browser's
        # background services (autofill, updates, safe browsing) stay quiet.
        for arg in ("--headless=new", "--disable-gpu", "--disable-dev-shm-usage",
                    "--disable-background-networking", "--disable-component-update",
                    "--disable-sync", "--no-first-run", "--no-proxy-server",
                    "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
                    "--user-data-dir=" + os.path.join(top, "profile")):
            options.add_argument(arg)
        if os.geteuid() == 0:
            options.add_argument("--no-sandbox")
        options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        driver.set_page_load_timeout(30)
        page = Page(driver)

        # Without the Qim install path, start-up's message shows on the page.
        proc = subprocess.Popen([NORBANEW, "--idle", "120"], env=env, stdout=subprocess.PIPE,
                                text=True)
        printed = proc.stdout.readline().strip()
        check(printed == "NorbaNew: TARGETDIR not found", "start-up line: " + printed)
        driver.get(proc.stdout.readline().strip())
        page.wait_page(1)
        shown = page.dialog()
        check(shown == ("NorbaNew", "TARGETDIR not found"), "start-up dialog: %r" % (shown,))
        proc.kill()
        proc.wait(timeout=10)

        for key, value in (("QIM", tree), ("TESK", "C:\\Tesk\\"), ("PLOV", "C:\\Plov\\")):
            subprocess.run([REGISTRY, "set", "SOFTWARE\\ZM\\InstallState\\" + key, "INSTALLPATH",
                            value], env=env, check=True, timeout=30)
        subprocess.run([REGISTRY, "set", "SOFTWARE\\Ferrandia\\JEXlink", "Default", ""], env=env,
                       check=True, timeout=30)

        proc = subprocess.Popen([NORBANEW, "--idle", "120"], env=env, stdout=subprocess.PIPE,
                                text=True)
        url = proc.stdout.readline().strip()
        check(url.startswith("http://127.0.0.1:"), "NorbaNew prints its URL: " + url)

        driver.get(url)
        page.wait_page(1)

        check(driver.find_element(By.TAG_NAME, "legend").text == "User Information", "caption")
        for control in ("TXT_UI_USER_NAME", "TXT_UI_COMPANY_NAME", "TXT_UI_PHONE_NUMBER",
                        "TXT_UI_EMAIL", "TXT_UI_SMTP_MAIL_SERVER",
                        "TXT_UI_SYSTEM_SERIAL_NUMBER"):
            driver.find_element(By.ID, control)

        page.set("TXT_UI_COMPANY_NAME", "Acme, Ltd")
        page.leave()
        shown = page.dialog()
        check(shown == ("Information", "Please do not include comma in company name"),
              "comma dialog: %r" % (shown,))
        WebDriverWait(driver, 20).until(
            lambda d: d.switch_to.active_element.get_attribute("id") == "TXT_UI_COMPANY_NAME")

        page.set("TXT_UI_COMPANY_NAME", "Acme Ltd")
        page.mark()
        driver.find_element(By.ID, "BT_UI_SUBMIT").click()
        shown = page.dialog()
        check(shown == ("Mandatory Field", "Please enter the User Name"),
              "mandatory dialog: %r" % (shown,))
        page.wait_reloaded()
        page.wait_page(1)

        for control, text in (("TXT_UI_USER_NAME", "Ann Smith"),
                              ("TXT_UI_PHONE_NUMBER", "555 0100"),
                              ("TXT_UI_EMAIL", "ann@acme.example.com"),
                              ("TXT_UI_SMTP_MAIL_SERVER", "mail.acme.example.com"),
                              ("TXT_UI_SYSTEM_SERIAL_NUMBER", "SN-42")):
            page.set(control, text)
        page.comma_then_press("TXT_UI_COMPANY_NAME", "Acme, Ltd", "BT_UI_SUBMIT",
                              "Please do not include comma in company name")
        dump = subprocess.run([REGISTRY, "dump"], env=env, check=True, timeout=30,
                              capture_output=True, text=True).stdout
        check("norba" not in dump, "nothing stored after the dropped press:\n" + dump)
        page.set("TXT_UI_COMPANY_NAME", "Acme Ltd")
        page.press("BT_UI_SUBMIT", 2)
        check(driver.find_element(By.ID, "TXT_SERVER").get_attribute("value") ==
              "mail.acme.example.com", "server filled from page 1")

        page.set("LBL_FROM_EMAIL", "tesk@norbahost.sales.example.com")
        page.set("TXT_TO", "ops@acme.example.com")
        page.press("BTN_CA_CI_SUBMIT", 3)
        page.set("TXT_PLOV_SERVER", "plov.acme.example.com")
        page.set("LBL_PLOV_FROM_EMAIL", "plov@norbahost.sales.example.com")
        page.set("TXT_PLOV_TO_EMAIL", "plov@acme.example.com")
        page.press("BT_PLOV_NEXT", 4)

        for control, text in (("TXT_ADDRESS", "1 Main Street Springfield"),
                              ("TXT_SECONDARY_CONTACT", "Bob Jones"),
                              ("TXT_SPECIAL_INSTRUCTION", "Ring twice"),
                              ("TXT_SYSTEM_TYPE", "Calvane 9"),
                              ("TXT_SYSTEM_NAME", "calvane1")):
            page.set(control, text)
        page.option("OPTION_IP", 0)
        page.option("Notification", 0)
        page.comma_then_press("TXT_CUSTOMER", "Acme, Inc", "BT_PROFILE_NEXT",
                              "Please do not include comma")
        check(not os.path.exists(tree + "specific/tavro/config/PROFILE.TXT"),
              "no PROFILE.TXT after the dropped press")
        page.set("TXT_CUSTOMER", "Acme Ltd")
        page.press("BT_PROFILE_NEXT", 5)

        page.set("TXT_VRN_CI_CUSTOMER_ACCESS_ID", "C-1")
        page.press("BT_VRN_CI_NEXT", 6)
        page.option("OPT_VRN_TO_DBC", 0)
        page.option("OPT_VRN_TO_DBC_EO", 4)
        page.option("OPT_VRN_TO_LC_LEO", 1)  # its frame is enabled until FTP is chosen
        page.option("OPT_VRN_TO_LC", 1)
        check(driver.find_element(By.ID, "TXT_VRN_TO_LC_LEO_SERVER").is_enabled() is False,
              "local email frame disabled with FTP")
        for control, text in (("TXT_VRN_TO_DBC_MAX_ARCHIVE", "12"),
                              ("TXT_VRN_TO_DBC_EO_SERVER", "smtp.acme.example.com:25"),
                              ("TXT_VRN_TO_DBC_EO_EMAIL_ADDRESS", "vrn@acme.example.com"),
                              ("TXT_PTR_855", "ftp.acme.example.com"),
                              ("TXT_VRN_TO_LC_LFO_FTP_ADDRESS", "/upload"),
                              ("TXT_VRN_TO_LC_LFO_FTP_LOGIN", "ftpuser"),
                              ("TXT_VRN_TO_LC_LFO_FTP_PASSWORD", "p a ss")):
            page.set(control, text)
        page.press("BT_TO_NEXT", 7)
        page.option("OPTION_STARTSERVICE", 0)
        for control, text in (("Combo_VRN_SSI_S_FREQUENCY", "Weekly"),
                              ("Combo_VRN_SSI_S_DAY_WEEK", " friday "),
                              ("TXT_VRN_SSI_S_DAY_MONTH", "1"),
                              ("TXT_VRN_SSI_S_TIME", "02:30:00")):
            page.set(control, text)
        page.reloading(lambda: driver.find_element(By.ID, "CHECK_VRN_SSI").click())
        page.press("BT_VRN_TO_NEXT", 9)
        check("Configuration Wizard Complete" in driver.page_source, "page 9")

        for name, path in (("NOTIFYCA.filled.TXT", "specific/tavro/config/NOTIFYCA.TXT"),
                           ("PLOVNotify.filled.TXT", "specific/tavro/config/PLOVNotify.TXT")):
            check(read(tree + path) == golden(name), name)
        profile = read(tree + "specific/tavro/config/PROFILE.TXT")
        check(profile == with_date_of(golden("PROFILE.filled.TXT"), profile, "Last Edit Date:"),
              "PROFILE.TXT")
        ini = read(tree + "common/vrn/vrn_config.INI")
        check(ini == with_date_of(golden("vrn_config.filled.INI"), ini, "InstallationTime="),
              "vrn_config.INI")
        dump = subprocess.run([REGISTRY, "dump"], env=env, check=True, timeout=30,
                              capture_output=True, text=True).stdout
        expected = "".join(line + "\n" for line in sorted([
            "SOFTWARE\\Pelmar\\vantrix\\VRN\\CollectAtReboot=YES",
            "SOFTWARE\\Pelmar\\vantrix\\VRN\\StartService=YES",
            "SOFTWARE\\ZM\\vantrix\\PLOV\\Email=plov@acme.example.com",
            "SOFTWARE\\ZM\\vantrix\\TESK\\Email=ops@acme.example.com",
            "SOFTWARE\\ZM\\vantrix\\norba\\Company=Acme Ltd",
            "SOFTWARE\\ZM\\vantrix\\norba\\Email=ann@acme.example.com",
            "SOFTWARE\\ZM\\vantrix\\norba\\MailServer=mail.acme.example.com",
            "SOFTWARE\\ZM\\vantrix\\norba\\Name=Ann Smith",
            "SOFTWARE\\ZM\\vantrix\\norba\\Notification=Tazel",
            "SOFTWARE\\ZM\\vantrix\\norba\\Phone=555 0100",
            "SOFTWARE\\ZM\\vantrix\\norba\\System Serial Number=SN-42",
        ]))
        check(dump == expected, "registry values:\n" + dump)

        # Leaving page 9 sends its close: NorbaNew ends with status 0.
        driver.get("about:blank")
        try:
            status = proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            status = None
        check(status == 0, "NorbaNew ends after the close of page 9: %r" % (status,))
        print("passed")
        return 0
    except Exception as e:  # every failure is reported with its reason and place
        import traceback
        traceback.print_exc()
        print("failed: %s: %s" % (type(e).__name__, e))
        return 1
    finally:
        if driver:
            driver.quit()
        if proc and proc.poll() is None:
            proc.kill()
            proc.wait(timeout=10)
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
