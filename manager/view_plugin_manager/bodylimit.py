"""How much of a request's body the application reads, and whether a client may send an upload's
body at all.

Werkzeug holds each request to its max_content_length, whether the length is announced or the
body comes in chunks, and a form to MAX_FORM_MEMORY_SIZE and MAX_FORM_PARTS: the upload may be
as large as --max-upload, every other request carries a small form at most. The servers frame
requests themselves (waitress and gunicorn refuse a Content-Length beside a Transfer-Encoding,
and a length that is not a number), and nginx, where it stands in front, reads bodies before the
manager sees them.

What no server can tell on its own is whether the client of an upload is the operator, so the
route CREDENTIAL answers that from the request's headers alone (empty 204, or the refusal the
upload itself would get): nginx asks it before it reads a byte of an upload's body.
"""
from flask import request
from werkzeug.exceptions import RequestEntityTooLarge

KIB = 1024
# Sign-in, sign-out and every route but the upload take a small form or nothing; so does the
# upload, but for its multipart form.
SMALL_BODY = 4 * KIB
# Parts a multipart form may have: the upload form has three. (An urlencoded form is held to
# SMALL_BODY as a whole.)
FORM_PARTS = 10
# What one field of a form that is not a file may take in memory (file parts go to files as
# they arrive). Werkzeug holds its whole parse buffer to this, which takes 64 KiB reads: it must
# stay well above that.
FORM_MEMORY = 512 * KIB
UPLOAD_PATH = "/upload"
CREDENTIAL = "/.well-known/view-plugin-manager/credential"


def init_app(app, max_upload):
    """Sets the limits; registered before the access checks, which may read a form."""
    from .access import reads_only  # access needs this module's answers through errors
    app.config.update(MAX_CONTENT_LENGTH=max_upload, MAX_FORM_MEMORY_SIZE=FORM_MEMORY,
                      MAX_FORM_PARTS=FORM_PARTS)

    @app.before_request
    def body_limit():
        if request.path != UPLOAD_PATH or request.mimetype != "multipart/form-data":
            request.max_content_length = SMALL_BODY
        if request.content_length is None and request.environ.get("wsgi.input_terminated") \
                and request.mimetype != "multipart/form-data":
            # A body of unknown length (chunked), parsed whole: Werkzeug's read of it stops at
            # the limit without a word, and the form would be the body cut short. Read it now
            # and refuse it if it fills the limit (a multipart parser reads on to its end and
            # meets the refusal itself).
            request.get_data(cache=True)
            if request.stream.is_exhausted:
                raise RequestEntityTooLarge()

    @app.get(CREDENTIAL)
    @reads_only
    def credential():
        # Says only whether the credential is good: the upload it stands for meets the
        # anti-forgery check itself, with its body.
        # Reached only past the access checks: the credential is good.
        return "", 204

    @app.after_request
    def credential_refusal(response):
        # nginx's auth_request passes 401 and 403 on, and turns any other refusal into a 500:
        # a throttled guess is a 403 here, with its wait.
        if request.path == CREDENTIAL and response.status_code == 429:
            response.status_code = 403
        return response

