"""Request bodies are bounded before the application sees a byte of them.

A WSGI layer around the application meters every body as it is read, whether its length was
announced or it arrives in chunks: a body that passes its route's limit is refused (413) the
moment it does, a body whose end the server cannot tell is refused (411), and a form may hold
only a few parts and take only a little memory. Werkzeug 3.1 has settings for some of these
(MAX_CONTENT_LENGTH on chunked bodies, MAX_FORM_MEMORY_SIZE, MAX_FORM_PARTS) that older
Werkzeug lacks or applies to announced lengths only; this layer holds on every version.

A refused body is left unread, so the connection it came on is closed after the answer: the
answer carries `Connection: close` (Werkzeug's server honours it) and `must_close()` tells a
worker of ours that serves connections itself (app.gworker).
"""
import io
import json
import threading

import flask
from werkzeug.exceptions import BadRequest, RequestEntityTooLarge
from werkzeug.http import parse_options_header

from .admission import size_text

KIB = 1024
# Sign-in, sign-out and every route but the upload take a small form or nothing.
SMALL_BODY = 4 * KIB
# Form fields a request may have (urlencoded fields, or multipart parts): the upload form has
# three, sign-in two.
FORM_PARTS = 10
# What a body that is not a multipart form may take (it is read into memory whole).
FORM_BODY = 64 * KIB
# What one field of a multipart form that is not a file may take in memory (file parts go to
# temporary files as they arrive). Werkzeug 3.1 holds its whole parse buffer to this, which
# takes 64 KiB reads: it must stay well above that.
FORM_MEMORY = 512 * KIB

_state = threading.local()


def must_close():
    """True when the last request answered on this thread left its body unread: its
    connection holds bytes that are no request."""
    return getattr(_state, "unfinished", False)


class Request(flask.Request):
    max_form_memory_size = FORM_MEMORY
    max_form_parts = FORM_PARTS


class BodyTooLarge(RequestEntityTooLarge):
    """413 with the limit that was passed."""

    def __init__(self, what):
        RequestEntityTooLarge.__init__(self, what)


class _Meter(io.RawIOBase):
    """The request's input, read through a count: past `limit` bytes, or more form parts than
    allowed, reading raises BodyTooLarge; an announced length that does not arrive is a 400."""

    def __init__(self, stream, limit, what, length=None, separator=None, parts=None):
        io.RawIOBase.__init__(self)
        self._stream = stream
        self._limit = limit
        self._what = what
        self._length = length  # announced by Content-Length, else None (chunked)
        self._separator = separator  # what starts each form part, or None
        self._parts_left = parts
        self._carry = b""  # the tail of the last read, where a separator may begin
        self.count = 0
        self.finished = length == 0
        # Once refused, every later read refuses again: a parser that drains the rest of the
        # body on its way out must not turn the 413 into another answer, nor read on.
        self._refusal = None

    def readable(self):
        return True

    def _want(self, size):
        left = (self._length if self._length is not None else self._limit + 1) - self.count
        return left if size is None or size < 0 else min(size, left)

    def _refuse(self, what):
        self._refusal = what
        raise BodyTooLarge(what)

    def _take(self, data):
        self.count += len(data)
        if self.count > self._limit:
            self._refuse(self._what)
        if self._separator is not None and data:
            seen = self._carry + data
            self._parts_left -= seen.count(self._separator)
            self._carry = seen[-(len(self._separator) - 1):] if len(self._separator) > 1 else b""
            if self._parts_left < 0:
                self._refuse("a form of more than %d fields" % FORM_PARTS)
        if self._length is not None and self.count == self._length:
            self.finished = True
        return data

    def _ended(self):
        if self._length is not None and self.count < self._length:
            raise BadRequest("the request body ended before its Content-Length")
        self.finished = True
        return b""

    def read(self, size=-1):
        if self._refusal is not None:
            raise BodyTooLarge(self._refusal)
        want = self._want(size)
        if want <= 0:
            return b""  # the announced length is read
        if size is None or size < 0:
            chunks = []
            while True:
                data = self._read_some(min(want, 64 * KIB))
                if not data:
                    return b"".join(chunks)
                chunks.append(data)
                want = self._want(None)
                if want <= 0:
                    return b"".join(chunks)
        return self._read_some(want)

    def _read_some(self, want):
        data = self._stream.read(want)
        return self._take(data) if data else self._ended()

    def readinto(self, buffer):
        data = self.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)

    def readline(self, size=-1):
        if self._refusal is not None:
            raise BodyTooLarge(self._refusal)
        want = self._want(size)
        if want <= 0:
            return b""
        data = self._stream.readline(want)
        return self._take(data) if data else self._ended()


def _answer(start_response, status, message):
    body = json.dumps({"error": message}).encode()
    start_response(status, [("Content-Type", "application/json"),
                            ("Content-Length", str(len(body))), ("Connection", "close")])
    return [body]


class BodyLimit:
    """WSGI middleware: `limits` maps a path to its body limit; other paths take SMALL_BODY."""

    def __init__(self, app, limits):
        self.app = app
        self.limits = dict(limits)

    def __call__(self, environ, start_response):
        _state.unfinished = False
        limit = self.limits.get(environ.get("PATH_INFO", ""), SMALL_BODY)
        chunked = environ.get("HTTP_TRANSFER_ENCODING")
        length = environ.get("CONTENT_LENGTH") or None
        if chunked is not None and length is not None:
            # Two framings disagree on where the request ends: a smuggling attempt.
            _state.unfinished = True
            return _answer(start_response, "400 BAD REQUEST",
                           "both Content-Length and Transfer-Encoding are set")
        if chunked is not None:
            if chunked.strip().lower() != "chunked" or not environ.get("wsgi.input_terminated"):
                _state.unfinished = True
                return _answer(start_response, "411 LENGTH REQUIRED",
                               "send the body with a Content-Length")
        elif length is None:
            return self.app(environ, start_response)  # no body
        else:
            try:
                length = int(length)
                if length < 0:
                    raise ValueError
            except ValueError:
                _state.unfinished = True
                return _answer(start_response, "400 BAD REQUEST", "the Content-Length is invalid")
        kind, options = parse_options_header(environ.get("CONTENT_TYPE", ""))
        separator = None
        if kind == "multipart/form-data" and options.get("boundary"):
            separator = b"--" + options["boundary"].encode("latin-1", "replace")
            parts = FORM_PARTS + 1  # the closing delimiter counts once more
        else:
            limit = min(limit, FORM_BODY)
            if kind == "application/x-www-form-urlencoded":
                separator, parts = b"&", FORM_PARTS - 1
        what = "a body larger than %s, the limit here" % size_text(limit)
        if length is not None and length > limit:
            _state.unfinished = True
            return _answer(start_response, "413 REQUEST ENTITY TOO LARGE",
                           "refused: " + what)
        meter = _Meter(environ["wsgi.input"], limit, what, length, separator,
                       parts if separator else None)
        environ["wsgi.input"] = meter

        def start(status, headers, exc_info=None):
            if not meter.finished:
                _state.unfinished = True
                headers = [(k, v) for k, v in headers if k.lower() != "connection"]
                headers.append(("Connection", "close"))
            return start_response(status, headers, exc_info)

        return self.app(environ, start)
