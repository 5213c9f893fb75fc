"""The application as `python -m app` on a real loopback server: concurrency and a browser."""
import os
import shutil
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pytest
from webapp_support import all_files, native, plugin_archive, post_upload

pytestmark = native


def test_concurrent_uploads_all_land(start_server, tmp_path):
    data = tmp_path / "data"
    base = start_server(data)
    names = ["plug%d" % i for i in range(8)]
    with ThreadPoolExecutor(len(names)) as pool:
        results = list(pool.map(
            lambda n: post_upload(base, "plugin", n + ".tar.gz", plugin_archive(n)), names))
    assert results == [(200, {"state": "ok"})] * len(names)
    page = urllib.request.urlopen(base + "/plugins/plugin", timeout=10).read().decode()
    assert all('data-name="%s"' % n in page for n in names)
    assert all_files(data / "plugin") == sorted(
        os.path.join(n, f) for n in names for f in ("__init__.py", "static/readme.txt"))


def browser_skip_reason():
    if os.environ.get("VIEW_SANITIZER_PASS") == "1":
        return "no browser under the sanitizer pass (the preloaded runtimes break Chromium)"
    for path in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
        if not os.access(path, os.X_OK):
            return "%s is missing (scripts/setup --test installs it)" % path
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is missing (scripts/setup --test installs python3-selenium)"
    return None


@pytest.mark.skipif(browser_skip_reason() is not None, reason=str(browser_skip_reason()))
def test_browser_upload_and_remove(start_server, tmp_path):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as ec
    from selenium.webdriver.support.ui import WebDriverWait

    data = tmp_path / "data"
    base = start_server(data, use_env=True)
    archive_path = tmp_path / "weather.tar.gz"
    archive_path.write_bytes(plugin_archive("weather"))
    (data / "plugin" / "calendar").mkdir()  # an entry that must survive

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--window-size=1000,800",
                "--user-data-dir=%s" % (tmp_path / "chromium-profile")):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        wait = WebDriverWait(driver, 20)
        status = (By.ID, "status")
        driver.get(base + "/")
        assert driver.find_element(By.ID, "kind").get_attribute("value") == "plugin"
        driver.find_element(By.ID, "file").send_keys(str(archive_path))
        driver.find_element(By.ID, "upload-button").click()
        entry = (By.CSS_SELECTOR, 'li[data-name="weather"]')
        wait.until(ec.presence_of_element_located(entry))
        wait.until(ec.text_to_be_present_in_element(status, "Uploaded weather.tar.gz"))
        driver.save_screenshot(os.environ.get("VIEW_SCREENSHOT", "/tmp/view-app-browser.png"))
        assert (data / "plugin" / "weather" / "__init__.py").is_file()

        driver.find_element(By.CSS_SELECTOR, 'li[data-name="weather"] button.remove').click()
        wait.until(ec.alert_is_present()).accept()
        wait.until(ec.text_to_be_present_in_element(status, "Removed weather."))
        assert not driver.find_elements(*entry)
        assert sorted(os.listdir(data / "plugin")) == ["calendar"]

        # A refused upload shows its reason on the page.
        bad = tmp_path / "notes.txt"
        bad.write_text("x")
        driver.find_element(By.ID, "file").send_keys(str(bad))
        driver.find_element(By.ID, "upload-button").click()
        wait.until(ec.text_to_be_present_in_element(status, "not a .tar.gz plug-in"))
        assert "error" in driver.find_element(*status).get_attribute("class")
    finally:
        driver.quit()
        shutil.rmtree(tmp_path / "chromium-profile", ignore_errors=True)
