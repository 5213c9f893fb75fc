"""nginx in front of the manager: its configuration, made from the command's settings, and the
process the command starts and stops with itself.

The site (nginx-site.conf beside this file) is one file for both uses: the command fills it in
for the nginx it starts, and deploy/nginx/view-plugin-manager.conf is the same file filled in
for an operator's own nginx. The command's nginx runs unprivileged in a private folder of its
own (configuration, pid, temporary bodies), in the foreground, and needs nothing under
/etc/nginx.
"""
import os
import re
import resource
import shutil
import subprocess
import sys

from . import bodylimit
from .admission import size_text

SITE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "nginx-site.conf")
NAME = "view_plugin_manager"
# Today's deadlines for a client: all of a request's headers within HEADER_SECONDS, and no
# pause of a body, nor of the client taking its answer, longer than BODY_SECONDS.
HEADER_SECONDS = 10
BODY_SECONDS = 5
# Requests one client address may have served at once (a browser opens six connections).
PER_CLIENT = 16
# Room for the multipart framing around an upload's archive of --max-upload bytes.
FORM_FRAMING = 64 * 1024
WORKER_CONNECTIONS = 4096
# Where Debian puts nginx, which is not on the PATH of every user.
CANDIDATES = ("/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/local/nginx/sbin/nginx")

MAIN = """\
# Written by view-plugin-manager for the nginx it starts; remade at every start.
daemon off;
master_process on;
worker_processes 1;
worker_rlimit_nofile {files};
pid {run}/nginx.pid;
error_log stderr error;
{user}
events {{
    worker_connections {connections};
}}

http {{
    client_body_temp_path {run}/client-body;
    proxy_temp_path {run}/proxy;
    fastcgi_temp_path {run}/fastcgi;
    uwsgi_temp_path {run}/uwsgi;
    scgi_temp_path {run}/scgi;
    default_type application/octet-stream;
    # Each request on the command's standard error, as a development server would log it.
    access_log /dev/stderr;
    include {run}/site.conf;
}}
"""


def find():
    """The nginx binary of this machine, or None."""
    found = shutil.which("nginx")
    if found:
        return found
    return next((path for path in CANDIDATES if os.access(path, os.X_OK)), None)


def size(value):
    """A byte count as nginx reads it (k and m suffixes where they are exact)."""
    for unit, suffix in ((1 << 20, "m"), (1 << 10, "k")):
        if value and value % unit == 0:
            return "%d%s" % (value // unit, suffix)
    return str(value)


def listen_address(host, port):
    host = host.strip("[]")
    return "[%s]:%d" % (host, port) if ":" in host else "%s:%d" % (host, port)


def site(listen, upstreams, max_upload, tls=None, request_buffering=True,
         per_client=PER_CLIENT):
    """The site's configuration: `listen` a list of (host, port) to listen on, `upstreams` the
    servers of the manager ("unix:/path" or "host:port"), `tls` (certificate, key) or None."""
    with open(SITE, encoding="utf-8") as f:
        text = f.read()
    ssl = " ssl" if tls else ""
    values = {
        "name": NAME,
        "listen": "\n".join("    listen %s%s;" % (listen_address(h, p), ssl) for h, p in listen),
        "tls": ("    ssl_certificate %s;\n    ssl_certificate_key %s;\n"
                "    ssl_protocols TLSv1.2 TLSv1.3;" % tls) if tls else "",
        "upstream_servers": "\n".join("    server %s;" % u for u in upstreams),
        "header_seconds": str(HEADER_SECONDS),
        "body_seconds": str(BODY_SECONDS),
        "per_client": str(per_client),
        "small_body": size(bodylimit.SMALL_BODY),
        "max_upload": size(max_upload + FORM_FRAMING),
        "request_buffering": "on" if request_buffering else "off",
        "upload_text": size_text(max_upload),
        "small_text": size_text(bodylimit.SMALL_BODY),
    }
    text = re.sub(r"@(\w+)@", lambda m: values[m.group(1)], text)
    # Blank lines where an optional part is left out.
    return re.sub(r"\n\n+(?=\n)", "\n", text)


def open_files():
    """The most files nginx may open: the hard limit, up to what its connections need."""
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    if hard == resource.RLIM_INFINITY:
        hard = 2 * WORKER_CONNECTIONS
    return min(hard, 2 * WORKER_CONNECTIONS)


def write(run, site_text, worker_user=None):
    """Writes the configuration into the folder `run`; returns the main file's path.
    `worker_user` names the user of nginx's workers when the command runs as root."""
    files = open_files()
    with open(os.path.join(run, "site.conf"), "w", encoding="utf-8") as f:
        f.write(site_text)
    main = os.path.join(run, "nginx.conf")
    with open(main, "w", encoding="utf-8") as f:
        f.write(MAIN.format(run=run, files=files, connections=files // 2,
                            user="user %s;" % worker_user if worker_user else ""))
    return main


def command(binary, run, main):
    """nginx in the foreground, its prefix in the folder `run`, its log on standard error."""
    return [binary, "-p", run + "/", "-c", main, "-e", "stderr"]


def check(binary, run, main):
    """nginx's own verdict on the configuration (`nginx -t`): (ok, what it said)."""
    result = subprocess.run(command(binary, run, main) + ["-t", "-q"], capture_output=True,
                            text=True, timeout=30)
    return result.returncode == 0, result.stderr.strip()


# deploy/nginx/view-plugin-manager.conf: the site for an operator's own nginx, in front of three
# managers on this machine (each started with --behind-proxy on its loopback port), over TLS.
EXAMPLE_LISTEN = [("0.0.0.0", 443), ("::", 443)]
EXAMPLE_UPSTREAMS = ["127.0.0.1:5001", "127.0.0.1:5002", "127.0.0.1:5003"]
EXAMPLE_TLS = ("/etc/ssl/certs/view-plugin-manager.pem",
               "/etc/ssl/private/view-plugin-manager.key")
EXAMPLE_MAX_UPLOAD = 64 << 20


def example():
    """The shipped configuration: `python -m view_plugin_manager.nginx` prints it."""
    return ("# Made by `python -m view_plugin_manager.nginx` for --max-upload 64M; edit the listen\n"
            "# addresses, the certificate and the upstream servers to yours, and include it in\n"
            "# nginx's http context (Debian: /etc/nginx/conf.d/).\n\n"
            + site(EXAMPLE_LISTEN, EXAMPLE_UPSTREAMS, EXAMPLE_MAX_UPLOAD, EXAMPLE_TLS))


if __name__ == "__main__":
    sys.stdout.write(example())
