"""Bodies are bounded as the application reads them (Werkzeug's own limits, set per route), and
the credential check that nginx asks before it reads an upload's body: the whole application
against streams that count what is read from them."""
import io
import json

import pytest
from werkzeug.test import EnvironBuilder, run_wsgi_app
from webapp_support import TOKEN, native

pytestmark = native
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
    ("/upload", URLENCODED, b"type=", 4 * KIB),  # not a multipart form: held in memory
    ("/upload", "multipart/form-data; boundary=x",
     b"--x\r\nContent-Disposition: form-data; name=\"formFile\"; filename=\"a.py\"\r\n\r\n",
     1024 * KIB),
], ids=["signin", "upload-urlencoded", "upload-multipart"])
def test_endless_chunked_body_is_refused_at_its_limit(operator_client, path, content_type,
                                                      head, most):
    c, data = operator_client(VIEW_MAX_UPLOAD="1M")
    stream = Endless(b"a" * 1000, head)
    r = call(c, path, stream, content_type)
    assert r.status_code == 413 and "refused" in r.get_json()["error"]
    assert stream.taken <= most + 128 * KIB  # what one read past the limit takes at most
    assert not any((data / "uploads").iterdir())


@pytest.mark.parametrize("path, body, content_type", [
    ("/upload", b"".join(b"--x\r\nContent-Disposition: form-data; name=\"f%d\"\r\n\r\nv\r\n" % i
                         for i in range(50)) + b"--x--\r\n", "multipart/form-data; boundary=x"),
], ids=["upload-multipart"])
@pytest.mark.parametrize("chunked", [False, True], ids=["length", "chunked"])
def test_too_many_fields(client, path, body, content_type, chunked):
    c, _ = client
    r = call(c, path, io.BytesIO(body), content_type, chunked,
             **({} if chunked else {"CONTENT_LENGTH": str(len(body))}))
    assert r.status_code == 413 and "fields" in r.get_json()["error"]


@pytest.mark.parametrize("size, status", [
    (4000, 302),  # whole and below the limit: read (the operator is sent on to `next`)
    (4096, 413),  # fills the limit: refused, never read as a form cut short
    (6000, 413),
])
def test_chunked_form_is_read_whole_or_refused(client, size, status):
    c, _ = client
    body = b"next=/" + b"a" * (size - 6)
    r = call(c, "/signin", io.BytesIO(body), URLENCODED)
    assert r.status_code == status


CREDENTIAL = "/.well-known/view-plugin-manager/credential"


@pytest.mark.parametrize("headers, status", [
    ({}, 401),
    ({"Authorization": "Bearer wrong"}, 401),
    ({"Authorization": "Bearer " + TOKEN}, 204),
    # What the upload itself carries goes along, never its body.
    ({"Authorization": "Bearer " + TOKEN, "Content-Type": "multipart/form-data; boundary=x"},
     204),
], ids=["none", "wrong", "token", "upload-headers"])
def test_credential_check_answers_as_the_upload_would(client, headers, status):
    c, _ = client
    c.environ_base.pop("HTTP_AUTHORIZATION")
    r = c.get(CREDENTIAL, headers=headers)
    assert r.status_code == status


def test_credential_check_is_signed_in_by_the_session(client):
    c, _ = client
    c.environ_base.pop("HTTP_AUTHORIZATION")
    assert c.get(CREDENTIAL).status_code == 401
    assert c.post("/signin", data={"token": TOKEN}).status_code == 302
    assert c.get(CREDENTIAL).status_code == 204


def test_throttled_credential_check_is_a_refusal_nginx_passes_on(client):
    # nginx passes 401 and 403 on to the client and makes a 500 of anything else.
    c, _ = client
    statuses = [c.get(CREDENTIAL, headers={"Authorization": "Bearer guess"}).status_code
                for _ in range(12)]
    assert set(statuses) == {401, 403} and 429 not in statuses, statuses


