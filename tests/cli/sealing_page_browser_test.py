#!/usr/bin/env python3
"""The sealing page in Debian's headless Chromium, driven through chromium-driver: networks
typed into it, each downloaded envelope opened by the tool's opener and by the Python reader;
refusals that download nothing; no request and no policy violation in the browser's own
logs; a page envelope signed and applied by the device's program; and the screenshots that
docs/ shows.

usage: sealing_page_browser_test.py   (paths from the environment, as CTest sets them)
Exits 77 (skipped) when Chromium, its driver, selenium or `cryptography` is missing.
"""

import functools
import http.server
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SKIPPED = 77
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
missing = [path for path in (CHROMIUM, CHROMEDRIVER) if not os.access(path, os.X_OK)]
try:
    from cryptography.hazmat.primitives import serialization
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError as error:
    missing.append(error.name)
if missing:
    print(f"no {', '.join(missing)} (tools/install-deps.sh installs them): skipped")
    sys.exit(SKIPPED)

SOURCE_DIR = pathlib.Path(os.environ["ZEZI_VIDAD_SOURCE_DIR"])
TOOL = os.environ["ZEZI_VIDAD_CLI"]
DEVICE = os.environ["ZEZI_VIDAD_DEVICE"]
SCREENSHOTS = pathlib.Path(os.environ.get("ZEZI_VIDAD_SCREENSHOTS", SOURCE_DIR / "docs/images"))
sys.path.insert(0, str(SOURCE_DIR / "tests/interop"))
import zezi_envelope  # noqa: E402

# A fixed fleet key for the screenshots, so that they change only when the page does: the
# self-test's known-answer fleet point.
SCREENSHOT_FLEET_KEY = ("442e854400eb668d655de31b210a0a18ba2e9f8dbcb2f59597b3e9e87a720242"
                        "22306aec2cebe36e07c4a8d9dbf16787aa642e01886590356b1f4b533bbf2396")
PSK = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF"


def run(*args, stdin=b""):
    done = subprocess.run(list(args), input=stdin, capture_output=True, timeout=120, check=False)
    if done.returncode != 0:
        raise AssertionError(f"{args[:2]}: exit {done.returncode}: {done.stderr.decode()}")
    return done.stdout


class SealingPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="zezi-page-")
        cls.dir = pathlib.Path(cls.scratch.name)
        cls.downloads = cls.dir / "downloads"
        cls.downloads.mkdir()
        os.chdir(cls.dir)
        os.environ.setdefault("HOME", str(cls.dir))  # a bare chroot sets none; Chromium needs one
        run(TOOL, "keygen", "--private", "fleet.key", "--public", "fleet.pub")
        run(TOOL, "page", "--fleet-key", "fleet.pub", "-o", "seal.html")
        key = serialization.load_pem_private_key((cls.dir / "fleet.key").read_bytes(), None)
        cls.scalar = key.private_numbers().private_value.to_bytes(32, "big")
        cls.page_url = (cls.dir / "seal.html").as_uri()
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                         "--disable-dev-shm-usage", "--window-size=1280,900",
                         "--lang=en-US", "--font-render-hinting=none"):
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
        cls.browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        cls.browser.execute_cdp_cmd("Browser.setDownloadBehavior",
                                    {"behavior": "allow", "downloadPath": str(cls.downloads)})
        cls.requests = []
        cls.console = []

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        os.chdir("/")
        cls.scratch.cleanup()

    # -- the browser at work

    def collect_logs(self):
        """What the browser logged since the last call: requests and console entries."""
        for entry in self.browser.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                self.requests.append(message["params"]["request"]["url"])
        self.console.extend(self.browser.get_log("browser"))

    def fill(self, url, ssid, secret):
        for item in self.downloads.iterdir():
            item.unlink()
        self.browser.get(url)
        for field, text in (("ssid", ssid), ("secret", secret)):
            element = self.browser.find_element(By.ID, field)
            if all(ord(c) <= 0xFFFF for c in text):
                element.send_keys(text)  # typed, key by key
            else:  # ChromeDriver types no character outside the BMP: set as a paste would
                self.browser.execute_script(
                    "arguments[0].value = arguments[1];"
                    "arguments[0].dispatchEvent(new Event('input', {bubbles: true}));",
                    element, text)

    def seal(self, ssid, secret, url=None):
        """The downloaded envelope's text, or None with the page's messages."""
        self.fill(url or self.page_url, ssid, secret)
        self.browser.find_element(By.ID, "seal").click()
        wait = WebDriverWait(self.browser, 30)
        wait.until(lambda b: b.find_element(By.ID, "result").is_displayed() or b.execute_script(
            "return !!document.querySelector('[aria-invalid=true]')"
            " || !document.getElementById('page-error').hidden"))
        if self.browser.find_element(By.ID, "result").is_displayed():
            self.assertEqual(self.browser.find_element(By.ID, "secret").get_attribute("value"), "")
            self.assertEqual(self.browser.switch_to.active_element.get_attribute("id"),
                             "result-heading")
            self.browser.find_element(By.ID, "download").click()
            wait.until(lambda b: (self.downloads / "wifi.json").exists())
        else:
            time.sleep(1)  # time for a download that should not come
        self.collect_logs()
        files = list(self.downloads.iterdir())
        return files[0].read_text(encoding="utf-8") if files else None

    def opened(self, envelope):
        """(ssid octets, psk) by the tool's opener and by the Python reader, which agree."""
        path = self.dir / "opened.json"
        path.write_text(envelope, encoding="utf-8")
        line = json.loads(run(TOOL, "open", "--private", "fleet.key", "--envelope", str(path),
                              "--show-psk"))
        by_python = zezi_envelope.open_envelope(envelope.encode(), self.scalar)
        self.assertEqual((bytes.fromhex(line["ssid_hex"]), line["psk"]), by_python)
        return by_python

    def psk_by_tool(self, ssid, passphrase):
        (self.dir / "passphrase").write_text(passphrase + "\n", encoding="ascii")
        envelope = run(TOOL, "seal", "--fleet-key", "fleet.pub", "--ssid", ssid,
                       "--passphrase-file", "passphrase")
        return self.opened(envelope.decode())[1]

    # -- the cases

    def test_networks_sealed_as_the_tool_seals_them(self):
        for name, ssid, secret in [
            ("plain, passphrase", "Office", "correct horse battery"),
            ("spaces kept", "  Guest  Net ", "spaces are fine here"),
            ("quotes and backslash", 'Bob\'s "Lab" \\ 1', 'p"a\\ss\'word'),
            ("markup", "<script>alert(1)</script>", "<b>bold</b>&amp;"),
            ("emoji", "Café ☕ 📶", "12345678"),
            ("Cyrillic", "Кафе у дома", "kafe-u-doma"),
            ("CJK", "咖啡店的网络", "twelve chars"),
            ("32 octets exactly", "É" * 16, "x" * 63),
            ("PSK, either case", "Lab", PSK),
            ("8-character passphrase", "Shop", "8chars!!"),
        ]:
            with self.subTest(name):
                envelope = self.seal(ssid, secret)
                self.assertIsNotNone(envelope, "no envelope was downloaded")
                ssid_octets, psk = self.opened(envelope)
                self.assertEqual(ssid_octets, ssid.encode("utf-8"))
                if len(secret) == 64:
                    self.assertEqual(psk, secret.lower())
                    self.assertIn("64 hex digits", self.text_of("result-summary"))
                else:
                    self.assertEqual(psk, self.psk_by_tool(ssid, secret))
                    self.assertIn("passphrase", self.text_of("result-summary"))
                document = zezi_envelope.parse_json(envelope.encode())
                members = {key.decode(): value for key, value in document}
                # The tool's own layout, octet for octet.
                self.assertEqual(envelope, zezi_envelope.envelope_text(*(
                    zezi_envelope.canonical_b64_decode(members[key])
                    for key in ("eph_pub", "salt", "nonce", "sealed"))))

    def test_refusals_show_a_message_and_download_nothing(self):
        for name, ssid, secret, field, message in [
            ("empty SSID", "", "password1", "ssid", "Enter the network name."),
            ("33 octets", "É" * 16 + "x", "password1", "ssid", "this one takes 33"),
            ("empty password", "Office", "", "secret", "Enter the WiFi password."),
            ("7 characters", "Office", "1234567", "secret", "this one has 7."),
            ("65 characters", "Office", "a" * 65, "secret", "this one has 65."),
            ("accented letter", "Office", "mot de passé", "secret", "no accented letters"),
            ("64 characters, not hex", "Office", "g" * 64, "secret", "hex digits"),
        ]:
            with self.subTest(name):
                self.assertIsNone(self.seal(ssid, secret))
                self.assertIn(message, self.text_of(f"{field}-error"))
                self.assertEqual(self.browser.switch_to.active_element.get_attribute("id"), field)
                self.assertTrue(self.browser.find_element(By.ID, "result").get_attribute("hidden"))

    def test_a_page_that_cannot_seal_says_so(self):
        damaged = (self.dir / "seal.html").read_text(encoding="utf-8")
        key_at = damaged.index('data-fleet-key="') + len('data-fleet-key="')
        flipped = "1" if damaged[key_at] != "1" else "2"
        (self.dir / "damaged.html").write_text(damaged[:key_at] + flipped + damaged[key_at + 1:],
                                               encoding="utf-8")
        no_webcrypto = self.browser.execute_cdp_cmd(
            "Page.addScriptToEvaluateOnNewDocument",
            {"source": "Object.defineProperty(window, 'crypto', {value: undefined});"})
        try:
            self.assertIsNone(self.seal("Office", "password1"))
            self.assertIn("no Web Cryptography", self.text_of("page-error"))
        finally:
            self.browser.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument",
                                         {"identifier": no_webcrypto["identifier"]})
        self.assertIsNone(self.seal("Office", "password1", (self.dir / "damaged.html").as_uri()))
        self.assertIn("does not match its fleet id", self.text_of("page-error"))
        self.assertFalse(self.browser.find_element(By.ID, "seal").is_enabled())

    def test_keyboard_alone(self):
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.keys import Keys
        self.fill(self.page_url, "", "")
        self.browser.refresh()  # focus on the page itself, none on a field
        unlabelled = self.browser.execute_script(
            "return [...document.querySelectorAll('input')].filter(i => !i.labels.length)"
            ".map(i => i.id)")
        self.assertEqual(unlabelled, [])
        keys = ActionChains(self.browser)
        keys.send_keys(Keys.TAB, "Keyboard Net", Keys.TAB, "typed-by-keys", Keys.TAB, Keys.TAB,
                       Keys.ENTER).perform()
        WebDriverWait(self.browser, 30).until(
            lambda b: b.find_element(By.ID, "result").is_displayed())
        ActionChains(self.browser).send_keys(Keys.TAB, Keys.ENTER).perform()
        WebDriverWait(self.browser, 30).until(lambda b: (self.downloads / "wifi.json").exists())
        self.assertEqual(self.opened((self.downloads / "wifi.json").read_text()),
                         (b"Keyboard Net", self.psk_by_tool("Keyboard Net", "typed-by-keys")))
        self.collect_logs()

    def test_served_by_a_web_server(self):
        class Quiet(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), functools.partial(Quiet, directory=str(self.dir)))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            url = f"http://127.0.0.1:{server.server_address[1]}/seal.html"
            envelope = self.seal("Served", PSK, url)
        finally:
            server.shutdown()
            server.server_close()
        self.assertEqual(self.opened(envelope), (b"Served", PSK.lower()))

    def test_signed_and_applied_on_a_device(self):
        (self.dir / "drive").mkdir()
        (self.dir / "drive/wifi.json").write_text(self.seal("Shop Floor", "shop-floor-2027"),
                                                  encoding="utf-8")
        run(TOOL, "keygen", "--private", "signer.key", "--public", "signer.pub")
        run(TOOL, "sign", "--key", "signer.key", "--fleet-key", "fleet.pub", "--envelope",
            "drive/wifi.json", "--serial", "1", "--valid-for", "30d")
        (self.dir / "nm").mkdir()
        (self.dir / "device.conf").write_text(
            f'private = "{self.dir}/fleet.key"\ntrust = "{self.dir}/signer.pub"\n'
            f'state = "{self.dir}/replay.state"\nstack = "networkmanager"\n'
            f'config-dir = "{self.dir}/nm"\n', encoding="utf-8")
        run(DEVICE, "apply", "--config", "device.conf", "--source", "drive")
        [keyfile] = (self.dir / "nm").iterdir()
        text = keyfile.read_text(encoding="utf-8")
        self.assertIn("ssid=Shop Floor\n", text)
        self.assertIn(f"psk={self.psk_by_tool('Shop Floor', 'shop-floor-2027')}\n", text)

    def test_zz_nothing_requested_and_no_policy_violated(self):
        # Runs last (by name): the logs of every case before it.
        self.collect_logs()
        self.assertTrue(self.requests, "the performance log recorded no page load")
        foreign = [url for url in self.requests
                   if not url.startswith(("file://", "blob:", "http://127.0.0.1:"))
                   or url.startswith("http://127.0.0.1:") and not url.endswith("/seal.html")]
        self.assertEqual(foreign, [])
        # A policy violation is logged by "security"; a failed load by "network"; a script
        # error by "javascript". Chromium's own notes (fonts, deprecations) are not the page's.
        self.assertEqual([entry["message"] for entry in self.console
                          if entry["source"] in ("security", "network", "javascript")
                          or "Content Security Policy" in entry["message"]], [])

    def test_screenshots(self):
        run(TOOL, "page", "--fleet-key", SCREENSHOT_FLEET_KEY, "-o", "shown.html")
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        shown = (self.dir / "shown.html").as_uri()
        screen = "Emulation.setDeviceMetricsOverride"
        self.browser.execute_cdp_cmd(screen, {"width": 1024, "height": 1080,
                                              "deviceScaleFactor": 1, "mobile": False})
        try:
            self.fill(shown, "Corner Café", "correct horse battery")
            self.browser.find_element(By.ID, "seal").click()
            WebDriverWait(self.browser, 30).until(
                lambda b: b.find_element(By.ID, "result").is_displayed())
            self.browser.execute_script("window.scrollTo(0, 0)")
            self.assertTrue(self.browser.save_screenshot(str(SCREENSHOTS / "sealing-page.png")))
            self.browser.execute_cdp_cmd(screen, {"width": 390, "height": 844,
                                                  "deviceScaleFactor": 1, "mobile": True})
            self.fill(shown, "Corner Café", "short")
            self.browser.find_element(By.ID, "seal").click()
            self.assertIn("this one has 5.", self.text_of("secret-error"))
            self.assertLessEqual(self.browser.execute_script(
                "return document.documentElement.scrollWidth"), 390)  # no sideways scrolling
            self.assertTrue(self.browser.save_screenshot(str(SCREENSHOTS / "sealing-page-phone.png")))
        finally:
            self.browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        self.collect_logs()

    def text_of(self, element_id):
        return self.browser.find_element(By.ID, element_id).text


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
