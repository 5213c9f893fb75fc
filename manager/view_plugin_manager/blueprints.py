"""Small blueprints of the application.

They give the API-module page real top-level blueprints to list, and one nested blueprint
("admin.child") that the listing leaves out because its name holds a dot.
"""
from flask import Blueprint, current_app, jsonify, url_for

from .access import reads_only

admin = Blueprint("admin", __name__, url_prefix="/admin")
child = Blueprint("child", __name__, url_prefix="/child")
files = Blueprint("files", __name__, url_prefix="/files")


@admin.get("/")
@reads_only
def admin_home():
    return jsonify({"blueprint": "admin", "children": ["child"]})


@child.get("/")
@reads_only
def child_home():
    return jsonify({"blueprint": "admin.child"})


@files.get("/")
@reads_only
def files_home():
    # Where the stored files live, so an operator can find them without reading code.
    return jsonify({"blueprint": "files", "data": current_app.config["VIEW_DATA"],
                    "plugins": url_for("plugins", t="plugin")})


admin.register_blueprint(child)


def register(app):
    app.register_blueprint(admin)
    app.register_blueprint(files)
