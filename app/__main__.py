"""Start the plug-in manager on Werkzeug's threaded development server.

    python -m app [--host HOST] [--port PORT] [--data DIR]

Environment: VIEW_HOST, VIEW_PORT, VIEW_DATA give the defaults; VIEW_BUILD_DIR names the build
folder that holds the compiled View package (default: build/ in the repository).
"""
import argparse
import os
import sys

from . import create_app, default_data_dir


def parse_args(argv):
    # Installed, the application runs as the command view-plugin-manager (argparse's default).
    prog = "python -m app" if __package__ == "app" else None
    parser = argparse.ArgumentParser(prog=prog, description=__doc__.splitlines()[0])
    parser.add_argument("--host", default=os.environ.get("VIEW_HOST") or "127.0.0.1",
                        help="address to listen on (env VIEW_HOST, default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=os.environ.get("VIEW_PORT") or "5000",
                        help="port to listen on (env VIEW_PORT, default 5000)")
    parser.add_argument("--data", default=default_data_dir(),
                        help="data folder; becomes the working directory and holds plugin/, "
                             "temp/ and uploads/ (env VIEW_DATA, default data/ in the repository; "
                             "installed: in the current folder)")
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error("port %d is out of range" % args.port)
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    data = os.path.abspath(args.data)
    app = create_app(data)
    print("plug-in manager: http://%s:%d/  (data folder: %s)" % (args.host, args.port, data),
          flush=True)
    app.run(host=args.host, port=args.port, threaded=True, debug=False, use_reloader=False)


if __name__ == "__main__":
    main()
