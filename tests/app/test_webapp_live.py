"""The application as `python -m view_plugin_manager` on a real loopback server: concurrency and a browser."""
import os
import re
import socket
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pytest
from support.archives import plugin_archive
from support.snapshots import all_files
from webapp_support import OPERATOR, TOKEN, native, post_upload, sign_in

pytestmark = native


def test_concurrent_uploads_all_land(start_server, tmp_path):
    data = tmp_path / "data"
    base = start_server(data)
    names = ["plug%d" % i for i in range(8)]
    with ThreadPoolExecutor(len(names)) as pool:
        results = list(pool.map(
            lambda n: post_upload(base, "plugin", n + ".tar.gz", plugin_archive(n)), names))
    assert results == [(200, {"state": "ok"})] * len(names)
    with urllib.request.urlopen(urllib.request.Request(base + "/plugins/plugin", headers=OPERATOR),
                                timeout=10) as answer:
        page = answer.read().decode()
    assert all('data-name="%s"' % n in page for n in names)
    assert all_files(data / "plugin") == sorted(
        os.path.join(n, f) for n in names for f in ("__init__.py", "static/readme.txt"))


@pytest.mark.parametrize("token", [TOKEN, None], ids=["signed-in", "loopback-no-token"])
def test_browser_upload_and_remove(start_server, browser, tmp_path, token):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as ec
    from selenium.webdriver.support.ui import WebDriverWait

    data = tmp_path / "data"
    base = start_server(data, use_env=True, token=token)
    archive_path = tmp_path / "weather.tar.gz"
    archive_path.write_bytes(plugin_archive("weather"))
    (data / "plugin" / "calendar").mkdir()  # an entry that must survive
    long_name = "a-plug-in-with-a-rather-long-name-" * 4
    (data / "plugin" / long_name).mkdir()

    driver, wait, status = browser, WebDriverWait(browser, 20), (By.ID, "status")
    sign_in(driver, base, token)
    assert driver.find_element(By.ID, "kind").get_attribute("value") == "plugin"
    assert driver.find_element(By.ID, "file").get_attribute("accept") == ".tar.gz"
    driver.find_element(By.ID, "file").send_keys(str(archive_path))
    driver.find_element(By.ID, "upload-button").click()
    entry = (By.CSS_SELECTOR, 'li[data-name="weather"]')
    wait.until(ec.presence_of_element_located(entry))
    wait.until(ec.text_to_be_present_in_element(status, "Uploaded weather.tar.gz"))
    driver.save_screenshot(os.environ.get("VIEW_SCREENSHOT", "/tmp/view-app-browser.png"))
    assert (data / "plugin" / "weather" / "__init__.py").is_file()
    # The long name wraps inside the card instead of pushing its button out of the window.
    button = driver.find_element(By.CSS_SELECTOR, 'button[aria-label="Remove %s"]' % long_name)
    assert button.rect["x"] + button.rect["width"] <= driver.execute_script(
        "return document.documentElement.clientWidth")

    driver.find_element(By.CSS_SELECTOR, 'button[aria-label="Remove weather"]').click()
    wait.until(ec.alert_is_present()).accept()
    wait.until(ec.text_to_be_present_in_element(status, "Removed weather."))
    wait.until(ec.invisibility_of_element_located(entry))
    assert sorted(os.listdir(data / "plugin")) == sorted(["calendar", long_name])

    # A refused upload shows its reason, and the listing is fetched again all the same.
    (data / "plugin" / "added-meanwhile").mkdir()
    bad = tmp_path / "notes.txt"
    bad.write_text("x")
    driver.find_element(By.ID, "file").send_keys(str(bad))
    driver.find_element(By.ID, "upload-button").click()
    wait.until(ec.text_to_be_present_in_element(status, "not a .tar.gz plug-in"))
    assert "error" in driver.find_element(*status).get_attribute("class")
    wait.until(ec.presence_of_element_located((By.CSS_SELECTOR,
                                               'li[data-name="added-meanwhile"]')))

    # Over the size limit: refused by the page itself, before a byte is sent.
    big = tmp_path / "big.tar.gz"
    with open(big, "wb") as f:
        f.truncate(64 * 1024 * 1024 + 1)  # sparse: costs no disk
    driver.find_element(By.ID, "file").send_keys(str(big))
    driver.find_element(By.ID, "upload-button").click()
    wait.until(ec.text_to_be_present_in_element(status, "over the limit of 64 MiB"))
    assert os.listdir(data / "uploads") == [] and not (data / "plugin" / "big.tar.gz").exists()


@pytest.mark.parametrize("request_bytes", [
    b"GET /plugins/plugin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",  # 401: not signed in
    b"GET /static/upload.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
    # A header line too long: refused by the HTTP server itself, before the application.
    b"GET / HTTP/1.1\r\nX-Long: " + b"a" * 70000 + b"\r\n\r\n",
], ids=["app", "static", "malformed"])
def test_server_names_no_versions(start_server, tmp_path, request_bytes):
    base = start_server(tmp_path / "data")
    with socket.create_connection(("127.0.0.1", int(base.rsplit(":", 1)[1])), timeout=10) as s:
        s.sendall(request_bytes)
        head = s.recv(65536).decode("latin-1").split("\r\n\r\n")[0]
    server = [line for line in head.split("\r\n") if line.lower().startswith("server:")]
    assert server and not re.search(r"\d|werkzeug|python", server[0], re.I), head
