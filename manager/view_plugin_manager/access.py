"""Who may use the plug-in manager, and which requests may change the store.

- The operator credential is a token from VIEW_TOKEN, or from the file named by VIEW_TOKEN_FILE
  (which wins). It signs a browser in through /signin (a session kept on the server, its id in
  a cookie: app.sessions) or rides on each request of a script as `Authorization: Bearer
  <token>` (or HTTP Basic with the token as the password, for curl -u). Every credential that
  is presented goes through the per-client throttle (app.throttle).
- Without a credential nobody signs in, so the server must stay on loopback: `python -m view_plugin_manager`
  refuses any other address, and every request must come from a loopback peer and name a
  loopback host (a hostile site whose name resolves to 127.0.0.1 sends its own name as Host).
- Every request must carry the session's anti-forgery token and, where the browser sends them,
  an Origin and a Sec-Fetch-Site that say same-origin, except a GET or HEAD of a view declared
  @reads_only: a route nobody declared is guarded, so a new one that changes something is safe
  by default. Another port on 127.0.0.1 is same-site, so the browser sends our SameSite cookie
  along from it: the token and the Origin are what stop it. A request with the credential in
  its Authorization header needs no token: no browser adds that header across sites on its own,
  and we never ask for Basic credentials, so none are cached.
- Without a credential, a program on this machine (curl, a script) needs no token either: what
  tells it from a browser is what every browser adds to each request a page makes it send and
  no page can take away (Origin, the Sec-Fetch-* headers, a browser's User-Agent), and a page on
  another site cannot drive a program here.
"""
import hashlib
import hmac
import ipaddress
import os
import secrets
import socket
import stat
import tempfile
from datetime import timedelta
from urllib.parse import urlsplit

from flask import current_app, g, redirect, render_template, request, session, url_for

from . import sessions, settings, throttle
from .admission import size_text
from .errors import error, wants_page
from .settings import is_set

SECRET_FILE = ".session-secret"
CSRF_HEADER = "X-CSRF-Token"
CSRF_FIELD = "csrf_token"
# Methods that only read, for a view declared @reads_only; any other method needs the token.
READING_METHODS = ("GET", "HEAD", "OPTIONS")
# Flask's own endpoints that only read; ours say so with @reads_only.
READ_ONLY_ENDPOINTS = {"static"}
# What a browser adds to the requests a page makes it send (fetch metadata in every current
# browser, Origin on every POST); a page can neither remove them nor set them for another site.
BROWSER_HEADERS = ("Origin", "Sec-Fetch-Site", "Sec-Fetch-Mode", "Sec-Fetch-Dest")
BROWSER_AGENTS = ("Mozilla/", "Opera/")
# Without a credential, a program on this machine changes the store by GET only with this header
# (any value): a program that fetches URLs for others sends a bare GET, and a page of another
# site cannot add a header of its own without a preflight that we never grant.
LOCAL_PROGRAM_HEADER = "X-Requested-With"
# Reachable without signing in: the sign-in page itself and the files it needs.
OPEN_ENDPOINTS = {"signin", "static", "favicon"}
LOOPBACK_NAMES = {"localhost", "localhost.", "127.0.0.1", "::1"}
SHORT_TOKEN = 16
COOKIE = "view_session"
SIGNED_OUT = "You are signed out."
CHALLENGE = {"WWW-Authenticate": 'Bearer realm="plug-in manager"'}

SECURITY_HEADERS = {
    "X-Content-Type-Options": "nosniff",
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; "
                               "img-src 'self'; connect-src 'self'; form-action 'self'; "
                               "base-uri 'none'; frame-ancestors 'none'",
    "X-Frame-Options": "DENY",
    "Referrer-Policy": "same-origin",
}


def reads_only(view):
    """Declares that a GET or HEAD of `view` changes nothing, so it needs no anti-forgery token.
    A view without this declaration needs the token (or the Authorization header) on every
    method: forgetting it refuses too much, never too little."""
    view.reads_only = True
    return view


def declared_read_only(app, endpoint):
    view = app.view_functions.get(endpoint)
    return endpoint in READ_ONLY_ENDPOINTS or getattr(view, "reads_only", False)


def from_browser():
    """True when a browser sent the request: it carries what every browser adds and no page can
    take away (Origin or fetch metadata; before those, a browser's User-Agent, which pages
    cannot change either)."""
    if any(name in request.headers for name in BROWSER_HEADERS):
        return True
    return request.headers.get("User-Agent", "").startswith(BROWSER_AGENTS)


class CredentialError(Exception):
    """The credential is configured but cannot be used; the server must not start."""


def load_credential(config):
    """The operator token of the settings `config`, or None when none is configured."""
    path = config.get("VIEW_TOKEN_FILE")
    if path:
        try:
            with open(path, encoding="utf-8") as f:
                token = f.read().strip()
        except (OSError, UnicodeDecodeError) as e:
            raise CredentialError("cannot read the token file %s (VIEW_TOKEN_FILE): %s"
                                  % (path, e)) from None
        if not token:
            raise CredentialError("the token file %s (VIEW_TOKEN_FILE) is empty" % path)
        return token
    token = config.get("VIEW_TOKEN")
    if token is None:
        return None
    token = token.strip()
    if not token:
        raise CredentialError("VIEW_TOKEN is set but empty; give a token or unset it")
    return token


def credential_warnings(config):
    """What an operator should hear at start about a credential that works but is weak."""
    token, notes = load_credential(config), []
    if token is not None and len(token) < SHORT_TOKEN:
        notes.append("the token has fewer than %d characters; anyone who can reach the server "
                     "can try to guess it (python3 -c 'import secrets; "
                     "print(secrets.token_urlsafe(32))' makes a good one)" % SHORT_TOKEN)
    path = config.get("VIEW_TOKEN_FILE")
    if path and os.stat(path).st_mode & 0o077:
        notes.append("the token file %s can be read by other users; chmod 600 it" % path)
    return notes


def is_loopback_host(host):
    """True when every address that `host` names is a loopback address."""
    if host in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        pass
    try:
        infos = socket.getaddrinfo(host, None)
    except (socket.gaierror, UnicodeError):
        return False
    return bool(infos) and all(ipaddress.ip_address(i[4][0].split("%")[0]).is_loopback
                               for i in infos)


def behind_proxy(config):
    """True when the operator says every client comes through a TLS proxy on this machine."""
    return is_set(config.get("VIEW_BEHIND_PROXY", ""))


def forwarded_by_proxy(config):
    """True when a proxy on this machine passes each client on in X-Forwarded-For: the
    operator's (VIEW_BEHIND_PROXY) or the nginx that the command starts (VIEW_OWN_PROXY)."""
    return behind_proxy(config) or is_set(config.get("VIEW_OWN_PROXY", ""))


def serves_tls(config):
    return bool(config.get("VIEW_TLS_CERT")) or behind_proxy(config)


def listen_problem(host, has_credential, token=None, proxied=False):
    """Why the server must not listen on `host`, or None."""
    loopback = is_loopback_host(host)
    if proxied and not loopback:
        return ("refusing to listen on %r behind a proxy: listen on 127.0.0.1, where only the "
                "proxy and this machine reach the server (it trusts their X-Forwarded-For)"
                % host)
    if proxied and not has_credential:
        return ("refusing to serve behind a proxy without an operator credential: every client "
                "would look like this machine")
    if token is not None and len(token) < SHORT_TOKEN and not loopback:
        return ("refusing to listen on %r with a token of fewer than %d characters: anyone who "
                "can reach that address could guess it (python3 -c 'import secrets; "
                "print(secrets.token_urlsafe(32))' makes a good one)" % (host, SHORT_TOKEN))
    if has_credential or loopback:
        return None
    return ("refusing to listen on %r without an operator credential: anyone who can reach that "
            "address could change the plug-ins. Set VIEW_TOKEN (or VIEW_TOKEN_FILE, or "
            "--token-file) to a secret token, or listen on 127.0.0.1." % host)


def load_secret(data, database=None):
    """The session-signing secret of this data folder, made on first start; with a shared
    `database`, the one secret of every node, kept there (the first node to start makes it).

    Written to a private temporary file and then hard-linked into place, so the secret file
    is never seen half-written or with loose permissions, and of several processes starting
    at once exactly one link succeeds: the others read the winner's secret.
    """
    if database is not None:
        database.execute("INSERT INTO secrets VALUES ('session', %s) ON CONFLICT DO NOTHING",
                         (secrets.token_hex(32),))
        return database.execute("SELECT value FROM secrets WHERE name = 'session'")[0][0]
    path = os.path.join(data, SECRET_FILE)
    for _ in range(3):
        try:
            return _read_secret(path)
        except FileNotFoundError:
            pass
        # mkstemp makes the file with mode 0600 before anything is written into it.
        fd, tmp = tempfile.mkstemp(prefix=SECRET_FILE + ".", dir=data)
        try:
            with os.fdopen(fd, "w") as f:
                f.write(secrets.token_hex(32))
                f.flush()
                os.fsync(f.fileno())
            try:
                os.link(tmp, path)
            except FileExistsError:
                pass  # another process won; read its secret on the next turn
        finally:
            os.unlink(tmp)
    return _read_secret(path)


def _read_secret(path):
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
    with os.fdopen(fd) as f:
        info = os.fstat(f.fileno())
        if not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid() \
                or info.st_mode & 0o077:
            raise CredentialError(
                "the session secret %s must be a regular file that only this user can read "
                "(owner %d, mode %o); delete it and a new one is made at start"
                % (path, info.st_uid, stat.S_IMODE(info.st_mode)))
        secret = f.read().strip()
    if len(secret) < 32:
        raise CredentialError("the session secret %s is too short; delete it and a new one "
                              "is made at start" % path)
    return secret


def _fingerprint(token, secret):
    # Kept in the session instead of a bare "signed in" flag: a new token signs everyone out.
    return hmac.new(secret.encode(), token.encode(), hashlib.sha256).hexdigest()[:32]


def csrf_token():
    if CSRF_FIELD not in session:
        session[CSRF_FIELD] = secrets.token_urlsafe(32)
    return session[CSRF_FIELD]


def _same(a, b):
    return hmac.compare_digest(a.encode("utf-8"), b.encode("utf-8"))


def _authorization_token():
    """The token an Authorization header carries, '' for an unusable header, None for none."""
    header = request.headers.get("Authorization")
    if header is None:
        return None
    auth = request.authorization
    if auth is not None and auth.type == "basic":
        return auth.password or ""
    scheme, _, value = header.partition(" ")
    return value.strip() if scheme.lower() == "bearer" else ""


def _host_name(netloc):
    try:
        return urlsplit("//" + netloc).hostname or ""
    except ValueError:
        return ""


def _local_target(target):
    """`target` if it is a path on this server, else the home page (no open redirect)."""
    if target and target.startswith("/") and not target.startswith(("//", "/\\")) \
            and "\\" not in target and not any(ord(c) < 32 for c in target):
        return target
    return url_for("home")


def client_address(proxied):
    """The client's address; behind a proxy, the one the proxy put last in X-Forwarded-For.
    Only a peer that can be the proxy on this machine is believed: a loopback address, or the
    Unix socket that the command's own nginx alone can reach (whose peer has no address)."""
    peer = request.remote_addr or ""
    forwarded = request.headers.get("X-Forwarded-For")
    if forwarded and proxied and (_is_loopback_literal(peer) or not _is_address(peer)):
        return forwarded.rsplit(",", 1)[-1].strip() or peer
    return peer


def _needs_forgery_check():
    if request.method not in READING_METHODS:
        return True
    if request.endpoint is None:
        return False  # nothing matched: no view runs, the answer is 404 or 405
    return not declared_read_only(current_app, request.endpoint)


def _forgery_problem(local_programs_trusted=False):
    """Why a request that may change the store looks forged, or None. With
    `local_programs_trusted` (a server without a credential, so on loopback only), a request
    that no browser sent needs no anti-forgery token."""
    site = request.headers.get("Sec-Fetch-Site")
    if site is not None and site != "same-origin":
        return "it came from another site (Sec-Fetch-Site: %s)" % site
    origin = request.headers.get("Origin")
    if origin is not None:
        parts = urlsplit(origin)
        if origin == "null" or parts.netloc.lower() != request.host.lower():
            return "it came from another origin (%s)" % origin
    if g.operator_by_header or request.endpoint == "signin":
        # Signing in needs the token itself, which a forging page does not have.
        return None
    given = request.headers.get(CSRF_HEADER)
    if given is None and request.method != "GET":
        given = request.form.get(CSRF_FIELD)
    if given and CSRF_FIELD in session and _same(given, session[CSRF_FIELD]):
        return None
    browser = from_browser()
    if local_programs_trusted and not browser and not given:
        # One that sends a token claims to be the page: a wrong one is refused below.
        if request.method not in READING_METHODS or LOCAL_PROGRAM_HEADER in request.headers:
            return None
        return ("a change by GET from a program on this machine needs the header '%s: <any "
                "value>' (curl -H '%s: curl' ...), which a program that only fetches a link "
                "does not send" % (LOCAL_PROGRAM_HEADER, LOCAL_PROGRAM_HEADER))
    if browser:
        return "the anti-forgery token is missing or stale; reload the page"
    if local_programs_trusted:
        return ("the anti-forgery token is stale: send your session's current one, or none (a "
                "program on this machine needs none while the server has no credential)")
    return ("the anti-forgery token is missing or stale: a script sends the operator token as "
            "'Authorization: Bearer <token>' (curl -u operator:<token>) instead of a session "
            "cookie, or its session's token as header %s" % CSRF_HEADER)


def init_app(app, data, config):
    token = load_credential(config)
    database = settings.shared(app).database
    secret = load_secret(data, database)
    app.secret_key = secret
    secure = serves_tls(config)
    proxied = forwarded_by_proxy(config)
    app.config.update(
        # Over TLS, __Host- keeps the cookie to this host, path / and Secure: no page of a
        # sibling domain can set or overwrite it. Browsers send it to every port of the host
        # all the same; only the anti-forgery token and the Origin check hold against those.
        SESSION_COOKIE_NAME=("__Host-" if secure else "") + COOKIE,
        SESSION_COOKIE_SECURE=secure,
        SESSION_COOKIE_PATH="/",
        SESSION_COOKIE_HTTPONLY=True,
        # Lax rather than Strict, so that following a link to the manager keeps the operator
        # signed in; Lax still withholds the cookie from cross-site POSTs and subresources,
        # and the token check stops what SameSite cannot (other ports of the same host).
        SESSION_COOKIE_SAMESITE="Lax",
        PERMANENT_SESSION_LIFETIME=timedelta(seconds=sessions.LIFETIME_SECONDS),
    )
    fingerprint = _fingerprint(token, secret) if token is not None else None
    app.session_interface = sessions.ServerSessions(data, keep_anonymous=token is None,
                                                    database=database)
    app.session_interface.revoke_other_tokens(fingerprint)

    def judged(given, signing_in=False):
        """(accepted, seconds to wait) for a credential the client presents. While the shared
        database is away, a sign-in is answered 503; a token on each request is judged by
        this node's own counts, so that reading goes on."""
        return throttle.judge(data, client_address(proxied), lambda: _same(given, token),
                              database, fall_back=not signing_in)

    def sign_in_page(status, message=None, wait=0, notice=None):
        target = _local_target(request.full_path.rstrip("?")) if request.endpoint != "signin" \
            else _local_target(request.values.get("next"))
        headers = dict(CHALLENGE) if status == 401 else {}
        if wait:
            headers["Retry-After"] = str(wait)
        return render_template("signin.html", message=message, notice=notice,
                               next=target), status, headers

    def too_many(wait):
        return ("too many wrong credentials from your address; try again in %d seconds"
                % wait)

    @app.context_processor
    def access_context():
        return {"csrf_token": csrf_token, "signed_in": g.get("signed_in", False),
                "needs_signin": token is not None,
                "max_upload_bytes": app.config.get("MAX_CONTENT_LENGTH"),
                "max_upload_text": size_text(app.config.get("MAX_CONTENT_LENGTH"))}

    @app.before_request
    def check_access():
        g.operator_by_header = False
        g.signed_in = False
        if token is None:
            # Nobody signs in, so only this machine may talk to us, by a loopback name.
            if not _is_loopback_literal(client_address(proxied)):
                return error(403, "this server has no operator credential and serves "
                                   "loopback clients only")
            # By name only: a rebinding attacker's name does resolve to 127.0.0.1.
            host = _host_name(request.host)
            if host not in LOOPBACK_NAMES and not _is_loopback_literal(host):
                return error(403, "this server has no operator credential and answers only "
                                   "to loopback names (localhost, 127.0.0.1, [::1])")
        else:
            given = _authorization_token()
            if given is not None:
                right, wait = judged(given)
                if wait:
                    return error(429, too_many(wait), **{"Retry-After": str(wait)})
                if not right:
                    return error(401, "wrong operator token", **CHALLENGE)
                g.operator_by_header = g.signed_in = True
            elif session.get("operator") is not None and _same(session["operator"],
                                                                fingerprint):
                g.signed_in = True
            elif getattr(session, "unavailable", None) and request.endpoint not in OPEN_ENDPOINTS:
                return error(503, session.unavailable, **{"Retry-After": "5"})
            elif request.endpoint not in OPEN_ENDPOINTS:
                if wants_page():
                    return sign_in_page(401)
                return error(401, "sign in first (/signin), or send the operator token as "
                                   "'Authorization: Bearer <token>'", **CHALLENGE)
        if _needs_forgery_check():
            problem = _forgery_problem(local_programs_trusted=token is None)
            if problem:
                current_app.logger.warning("refused %s %s: %s", request.method, request.path,
                                           problem)
                return error(403, "refused: " + problem)
        return None

    @app.after_request
    def security_headers(response):
        for name, value in SECURITY_HEADERS.items():
            response.headers.setdefault(name, value)
        if response.mimetype == "text/html":
            # Pages carry the anti-forgery token: keep them out of shared caches.
            response.headers.setdefault("Cache-Control", "no-store")
        return response

    @app.route("/signin", methods=["GET", "POST"])
    @reads_only
    def signin():
        target = _local_target(request.values.get("next"))
        if token is None or g.signed_in:
            return redirect(target)
        if request.method != "POST":
            # Only what we put in the link is said: any other text would let a link speak
            # with our voice.
            notice = SIGNED_OUT if request.args.get("signed_out") else None
            return sign_in_page(200, notice=notice)
        right, wait = judged(request.form.get("token", "").strip(), signing_in=True)
        if wait:
            return sign_in_page(429, "Too many wrong tokens; try again in %d seconds." % wait,
                                wait)
        if not right:
            return sign_in_page(401, "That token is not the operator token.")
        session.clear()  # a fresh anti-forgery token, under a new session id
        session.regenerate()
        session["operator"] = fingerprint
        return redirect(target)

    @app.post("/signout")
    def signout():
        session.clear()  # deletes the session on the server: a saved cookie is worth nothing
        return redirect(url_for("signin", signed_out=1) if token is not None else url_for("home"))


def _is_loopback_literal(host):
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _is_address(host):
    try:
        ipaddress.ip_address(host)
        return True
    except ValueError:
        return False
