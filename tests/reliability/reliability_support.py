"""Helpers shared by the reliability suites (fuzz, leaks, threads, hostile input)."""
import os

# The sanitizer and valgrind passes run the same suites several times slower;
# VIEW_RELIABILITY_SCALE overrides the factor for either.
_DEFAULT_SCALE = 0.2 if os.environ.get("VIEW_SANITIZER_PASS") == "1" else 1.0
SCALE = float(os.environ.get("VIEW_RELIABILITY_SCALE", _DEFAULT_SCALE))


def scaled(count, minimum=1):
    return max(minimum, int(count * SCALE))


def fresh(text):
    """An equal str that is not the interned literal, so identity shortcuts cannot hide a fault."""
    return "".join([text[:1], text[1:]]) if len(text) > 1 else text


class NullOut:
    """Stand-in for sys.stdout: keeps nothing, so printed paths cannot look like leaks."""

    encoding = "utf-8"
    errors = "strict"

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def make_jsonify():
    """A trivial jsonify: keeps Flask's own caches out of the measurements."""
    def jsonify(value):
        return ("json", dict(value))
    return jsonify


def make_render_template():
    def render_template(name, **context):
        return ("render", name, tuple(context.items()))
    return render_template
