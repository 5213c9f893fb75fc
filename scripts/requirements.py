"""Prints the requirements that pyproject.toml declares, one a line, for pip install -r.

    python scripts/requirements.py [--oldest] [EXTRA...]

The runtime dependencies, then those of each named extra. --oldest pins Flask to the oldest
release that the project admits, together with the Werkzeug of that release (the two are
released in step; a newer Werkzeug removes what an old Flask imports), so that a venv can test
that end of the range. Runs under any supported interpreter with the pip of its venv.
"""
import os
import re
import sys

try:
    import tomllib
except ImportError:  # before 3.11: the TOML reader that pip carries
    from pip._vendor import tomli as tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main(args):
    oldest = "--oldest" in args
    extras = [a for a in args if a != "--oldest"]
    # The modules' distribution, then the manager's, whose own dependency on the modules is
    # served from the checkout, never from the index.
    requirements, optional = [], {}
    for path in ("pyproject.toml", os.path.join("manager", "pyproject.toml")):
        with open(os.path.join(ROOT, path), "rb") as f:
            project = tomllib.load(f)["project"]
        requirements += [r for r in project["dependencies"] if not r.startswith("view-modules")]
        for extra, needs in project.get("optional-dependencies", {}).items():
            optional.setdefault(extra, []).extend(needs)
        # The repository's own tools are a dependency group, asked for like an extra.
        for group, needs in tomllib.load(open(os.path.join(ROOT, path), "rb")).get(
                "dependency-groups", {}).items():
            optional.setdefault(group, []).extend(needs)
    unknown = [e for e in extras if e not in optional]
    if unknown:
        sys.exit("no such extra in pyproject.toml: %s" % " ".join(unknown))
    for extra in extras:
        requirements += optional[extra]
    if oldest:
        floor = next((re.fullmatch(r"Flask\s*>=\s*(\d+\.\d+)\S*", r) for r in requirements
                      if r.startswith("Flask")), None)
        if not floor:
            sys.exit("pyproject.toml states no lower bound of Flask (Flask>=X.Y)")
        requirements = [r for r in requirements if not r.startswith(("Flask", "Werkzeug"))]
        requirements += ["Flask==%s.*" % floor.group(1), "Werkzeug==%s.*" % floor.group(1)]
    print("\n".join(requirements))


if __name__ == "__main__":
    main(sys.argv[1:])
