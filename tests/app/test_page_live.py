"""What a person sees in a real browser on a real server: a conflict worded for the page, the
installed count beside a search that matches nothing, a page for a wrong address, and sign-out
saying so."""
from support.archives import plugin_archive
from webapp_support import native, sign_in

pytestmark = native


def test_a_person_reads_what_happened(start_server, browser, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support import expected_conditions as ec
    from selenium.webdriver.support.ui import WebDriverWait

    data = tmp_path / "data"
    base = start_server(data)
    first, second = tmp_path / "weather.tar.gz", tmp_path / "weather-2.tar.gz"
    first.write_bytes(plugin_archive("weather"))
    second.write_bytes(plugin_archive("weather"))
    driver, wait, status = browser, WebDriverWait(browser, 20), (By.ID, "status")
    sign_in(driver, base)

    def send(path):
        driver.find_element(By.ID, "file").send_keys(str(path))
        driver.find_element(By.ID, "upload-button").click()

    send(first)
    wait.until(ec.text_to_be_present_in_element(status, "Uploaded weather.tar.gz"))
    send(second)
    wait.until(ec.text_to_be_present_in_element(status, "Upload of weather-2.tar.gz failed"))
    banner = driver.find_element(*status).text
    label = driver.find_element(By.CSS_SELECTOR, "label[for=replace]").text
    assert "installed from weather.tar.gz" in banner and "tick \u201c%s\u201d" % label in banner
    assert "form field" not in banner

    box = driver.find_element(By.CSS_SELECTOR, "input[name=q]")
    box.send_keys("zzz", Keys.ENTER)
    wait.until(ec.presence_of_element_located((By.ID, "entries-empty")))
    assert driver.find_element(By.ID, "count").text == "1 installed, 0 matching"

    driver.get(base + "/plugins/foo")
    message = wait.until(ec.presence_of_element_located((By.ID, "error-message"))).text
    assert "unknown kind 'foo'" in message

    driver.get(base + "/")
    wait.until(ec.element_to_be_clickable((By.ID, "signout"))).click()
    notice = wait.until(ec.presence_of_element_located((By.ID, "signin-notice")))
    assert notice.text == "You are signed out."
    assert (data / "plugin" / "weather").is_dir()
