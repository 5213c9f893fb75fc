"""Bodies are bounded as they arrive, on every Werkzeug the application runs on: the WSGI layer
against streams that count what is read from them (Flask's test client)."""
import io
import json

import pytest
from werkzeug.test import EnvironBuilder, run_wsgi_app
from webapp_support import native

# The paced sockets are read against real deadlines.
pytestmark = [native, pytest.mark.timed]
KIB = 1024


class Endless(io.RawIOBase):
    """A body that never ends; counts what the server reads of it."""

    def __init__(self, chunk, head=b""):
        io.RawIOBase.__init__(self)
        self.chunk, self.head, self.taken = chunk, head, 0

    def readable(self):
        return True

    def readinto(self, buffer):
        data = (self.head + self.chunk * (len(buffer) // len(self.chunk) + 1))[:len(buffer)]
        self.head = self.head[len(data):]
        buffer[:len(data)] = data
        self.taken += len(data)
        return len(data)


URLENCODED = "application/x-www-form-urlencoded"


class Answer:
    def __init__(self, app_iter, status, headers):
        self.status_code = int(status.split()[0])
        self.headers = headers
        self.body = b"".join(app_iter)

    def get_json(self):
        return json.loads(self.body)


def call(client, path, stream, content_type, chunked=True, **environ):
    """Runs one POST through the whole application with `stream` as its raw input: chunked
    as a server that decodes the framing presents it, or with the CONTENT_LENGTH given."""
    env = EnvironBuilder(path=path, method="POST").get_environ()
    env.pop("CONTENT_LENGTH", None)
    env["CONTENT_TYPE"] = content_type
    if chunked:
        env.update({"wsgi.input_terminated": True, "HTTP_TRANSFER_ENCODING": "chunked"})
    env.update(environ)
    env["wsgi.input"] = stream
    env["HTTP_AUTHORIZATION"] = client.environ_base["HTTP_AUTHORIZATION"]
    return Answer(*run_wsgi_app(client.application, env, buffered=True))


@pytest.mark.parametrize("path, content_type, head, most", [
    ("/signin", URLENCODED, b"token=", 4 * KIB),
    ("/upload", URLENCODED, b"type=", 64 * KIB),  # not a multipart form: held in memory
    ("/upload", "multipart/form-data; boundary=x",
     b"--x\r\nContent-Disposition: form-data; name=\"formFile\"; filename=\"a.py\"\r\n\r\n",
     1024 * KIB),
], ids=["signin", "upload-urlencoded", "upload-multipart"])
def test_endless_chunked_body_is_refused_at_its_limit(operator_client, path, content_type,
                                                      head, most):
    c, data = operator_client(VIEW_MAX_UPLOAD="1M")
    stream = Endless(b"a" * 1000, head)
    r = call(c, path, stream, content_type)
    assert r.status_code == 413 and "limit" in r.get_json()["error"]
    assert r.headers["Connection"] == "close"
    assert stream.taken <= most + 128 * KIB  # what one read past the limit takes at most
    assert not any((data / "uploads").iterdir())


@pytest.mark.parametrize("path, body, content_type", [
    ("/signin", b"a=&" * 20, URLENCODED),  # a handful of fields, far below the size limit
    ("/upload", b"".join(b"--x\r\nContent-Disposition: form-data; name=\"f%d\"\r\n\r\nv\r\n" % i
                         for i in range(50)) + b"--x--\r\n", "multipart/form-data; boundary=x"),
], ids=["signin-urlencoded", "upload-multipart"])
@pytest.mark.parametrize("chunked", [False, True], ids=["length", "chunked"])
def test_too_many_fields(client, path, body, content_type, chunked):
    c, _ = client
    r = call(c, path, io.BytesIO(body), content_type, chunked,
             **({} if chunked else {"CONTENT_LENGTH": str(len(body))}))
    assert r.status_code == 413 and "fields" in r.get_json()["error"]


@pytest.mark.parametrize("environ, status", [
    ({"CONTENT_LENGTH": str(10 * KIB)}, 413),  # announced past the limit: refused unread
    ({"HTTP_TRANSFER_ENCODING": "chunked"}, 411),  # the server did not say where it ends
    ({"HTTP_TRANSFER_ENCODING": "gzip", "wsgi.input_terminated": True}, 411),
    ({"HTTP_TRANSFER_ENCODING": "chunked", "CONTENT_LENGTH": "10", "wsgi.input_terminated": True},
     400),
    ({"CONTENT_LENGTH": "-1"}, 400),
])
def test_framing_refused_before_reading(client, environ, status):
    c, _ = client
    stream = Endless(b"token=")
    r = call(c, "/signin", stream, URLENCODED, chunked=False, **environ)
    assert r.status_code == status and stream.taken == 0
    assert r.headers["Connection"] == "close"


def test_body_shorter_than_announced(client):
    c, _ = client
    r = call(c, "/signin", io.BytesIO(b"token=abc"), URLENCODED, chunked=False,
             CONTENT_LENGTH="100")
    assert r.status_code in (400, 401)  # never judged on a body that did not arrive whole
    assert r.status_code == 400 or "wrong" not in r.get_data(as_text=True)


def trickle(monkeypatch, pattern):
    """Reads a body through app.pacing (slack 0.5 s, rate 1000 B/s) while a peer sends
    `pattern`: (bytes, pause) steps. Returns (bytes read before the end, seconds taken)."""
    import socket
    import threading
    import time

    from view_plugin_manager import pacing
    monkeypatch.setattr(pacing, "BODY_SLACK_SECONDS", 0.5)
    monkeypatch.setattr(pacing, "MIN_BODY_RATE", 1000)
    ours, peer = socket.socketpair()

    def send():
        try:
            for data, pause in pattern:
                peer.sendall(data)
                time.sleep(pause)
        except OSError:
            pass

    sender = threading.Thread(target=send, daemon=True)
    paced, got, started = pacing.PacedSocket(ours), 0, time.monotonic()
    paced.body()
    sender.start()
    try:
        while True:
            data = paced.recv(65536)
            if not data:
                return got, time.monotonic() - started
            got += len(data)
            if time.monotonic() - started > 10:
                return got, None
    finally:
        ours.close()
        peer.close()
        sender.join(5)


@pytest.mark.parametrize("pattern, cut", [
    # 10 B/s: below the rate, cut once the slack is gone.
    ([(b"x", 0.1)] * 100, True),
    # A burst first earns no more than the slack: the trickle after it is cut all the same.
    ([(b"x" * 100000, 0.1)] + [(b"x", 0.1)] * 100, True),
    # 20 KB/s, twenty times the rate, with a pause shorter than the slack: read to the end.
    ([(b"x" * 2000, 0.1)] * 10 + [(b"", 0.3)] + [(b"x" * 2000, 0.1)] * 10, False),
])
def test_a_body_below_the_rate_is_cut_within_its_slack(monkeypatch, pattern, cut):
    got, took = trickle(monkeypatch, pattern + [(b"", 1.0)])
    total = sum(len(data) for data, _ in pattern)
    if cut:
        assert took is not None and took < 2.5 and got < total
    else:
        assert got == total


@pytest.mark.parametrize("head", [
    b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n",  # every header whole, the blank line never sent
    b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: ab",  # cut inside a header
])
def test_headers_cut_off_by_their_deadline_are_not_served(monkeypatch, head):
    import socket
    import threading

    from view_plugin_manager import access, pacing
    from werkzeug.serving import make_server
    monkeypatch.setattr(pacing, "HEADER_SECONDS", 0.5)
    served = []

    def wsgi(environ, start_response):
        served.append(environ["PATH_INFO"])
        start_response("200 OK", [("Content-Length", "2")])
        return [b"ok"]

    server = make_server("127.0.0.1", 0, wsgi, threaded=True,
                         request_handler=access.ServerHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        with socket.create_connection(server.server_address[:2], timeout=5) as s:
            s.sendall(head)
            answer = s.recv(100)  # the server closes within the deadline, answering nothing
    finally:
        server.shutdown()
        thread.join(5)
    assert served == [] and not answer.startswith(b"HTTP/1.1 200"), answer
