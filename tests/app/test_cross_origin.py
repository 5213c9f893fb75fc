"""A hostile page on another loopback origin (another port: same site, so the browser sends the
session cookie along) tries to change the store of a real server in headless Chromium."""
import json
import os
import re
import shutil
import subprocess
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from webapp_support import TOKEN, native, sign_in

pytestmark = native

# Each page attacks on load and then sets its title to "done" (or navigates away: the server
# log shows whether the request arrived, which is what the test waits for).
ATTACKS = {
    "img-remove": ("GET", "/remove/plugin/victim",
                   '<img src="{base}/remove/plugin/victim" onerror="document.title=\'done\'">'),
    "navigate-remove": ("GET", "/remove/api_module/victim.py",
                        '<script>location.href = "{base}/remove/api_module/victim.py";</script>'),
    "fetch-no-cors-upload": ("POST", "/upload", """<script>
        var form = new FormData();
        form.append("type", "api_module");
        form.append("formFile", new File(["print('planted')\\n"], "planted.py"));
        fetch("{base}/upload", {{method: "POST", mode: "no-cors", credentials: "include",
                                 body: form}})
          .finally(function () {{ document.title = "done"; }});
        </script>"""),
    "auto-submitted-form": ("POST", "/upload", """
        <form id="f" method="post" action="{base}/upload" enctype="multipart/form-data">
          <input name="type" value="api_module"><input type="file" name="formFile" id="file">
          <input name="csrf_token" value="guessed">
        </form>
        <script>
        var files = new DataTransfer();
        files.items.add(new File(["print('planted')\\n"], "planted.py"));
        document.getElementById("file").files = files.files;
        document.getElementById("f").submit();
        </script>"""),
}


@pytest.fixture
def attacker():
    """Serves the attack pages on a second loopback port; yields a function page -> URL."""
    pages = {}

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            body = pages.get(self.path, "").encode()
            self.send_response(200 if body else 404)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()

    def page(name, html):
        pages["/" + name] = "<!doctype html><title>attack</title><body>%s</body>" % html
        return "http://127.0.0.1:%d/%s" % (server.server_address[1], name)

    yield page
    server.shutdown()
    server.server_close()


def answered(log, since, method, path, deadline):
    """The status the server logged for `method path` after offset `since`, waiting for it."""
    pattern = re.compile(r'"%s %s HTTP/1\.1" (\d{3})' % (method, re.escape(path)))
    while time.monotonic() < deadline:
        with open(log, "rb") as f:
            f.seek(since)
            text = f.read().decode(errors="replace")
        # Newer Werkzeug servers colour their request lines, into a log file too.
        found = pattern.findall(re.sub(r"\x1b\[[0-9;]*m", "", text))
        if found:
            return int(found[-1])
        time.sleep(0.1)
    return None


@pytest.mark.parametrize("token", [TOKEN, None], ids=["signed-in", "loopback-no-token"])
def test_other_origin_changes_nothing(start_server, browser, attacker, tmp_path, token):
    data = tmp_path / "data"
    base = start_server(data, token=token)
    log = tmp_path / ("server-%s.log" % base.rsplit(":", 1)[1])
    (data / "plugin" / "victim").mkdir()
    (data / "plugin" / "victim" / "plugin.py").write_text("VICTIM = 1\n")
    (data / "temp" / "victim.py").write_text("VICTIM = 2\n")
    sign_in(browser, base, token)  # the browser holds a live session (and its token)

    for name, (method, path, html) in ATTACKS.items():
        since = log.stat().st_size
        browser.get(attacker(name, html.format(base=base)))
        # Refused by our checks (403), not merely unauthenticated (401) or never sent.
        assert answered(log, since, method, path, time.monotonic() + 15) == 403, name
        assert (data / "plugin" / "victim" / "plugin.py").read_text() == "VICTIM = 1\n", name
        assert (data / "temp" / "victim.py").read_text() == "VICTIM = 2\n", name
        assert not (data / "temp" / "planted.py").exists(), name
        assert os.listdir(data / "uploads") == [], name


@pytest.mark.skipif(shutil.which("curl") is None, reason="needs curl: apt-get install curl")
def test_curl_on_this_machine_needs_no_token_without_a_credential(start_server, tmp_path):
    """The README's curl examples against a server without a credential: what the browser above
    is refused, a program on this machine may do, and it gets JSON."""
    data = tmp_path / "data"
    base = start_server(data, token=None)
    module = tmp_path / "tool.py"
    module.write_text("def run():\n    return 1\n")

    def curl(*args):
        done = subprocess.run(["curl", "-sS", "-H", "Accept: application/json"] + list(args),
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)

    assert curl("-F", "type=api_module", "-F", "formFile=@%s" % module,
                base + "/upload") == {"state": "ok"}
    assert (data / "temp" / "tool.py").read_text() == module.read_text()
    assert [e["name"] for e in curl(base + "/plugins/api_module")["entries"]] == ["tool.py"]
    # A bare GET that changes the store may be a link fetched for someone: refused, unchanged.
    assert "X-Requested-With" in curl(base + "/remove/api_module/tool.py")["error"]
    assert curl("-H", "X-Requested-With: curl",
                base + "/remove/api_module/tool.py") == {"state": "ok"}
    assert not (data / "temp" / "tool.py").exists()
    assert [h["action"] for h in curl(base + "/history?limit=2")["history"]] == [
        "remove module", "upload module"]
