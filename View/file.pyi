# Type stubs of the native module View.file: the real signatures of its functions and views.
from flask import Response

__test__: dict[str, object]

# Folder paths fixed from the working directory when the module is first imported.
UNZIP_FOLDER: str
PLUGIN_FOLDER: str
TEMP_FOLDER: str

# The kind t is "plugin" or "api_module"; any other value (None included) is accepted and
# matches neither.
def allowed_file(t: str | None, filename: str) -> bool: ...
def unzip_plugin(t: str | None, filename: str) -> bool: ...
def get_path(t: str | None, filename: str | None = None) -> str: ...

class View:
    # Static views: they take the values of a route and read the rest from flask.request.
    # Each returns None for a request method it does not serve.
    @staticmethod
    def index(t: str) -> str | None: ...
    @staticmethod
    def upload() -> Response | None: ...
    @staticmethod
    def remove(t: str, o: str) -> Response | None: ...
    @staticmethod
    def approve(t: str, o: str, module: object = None) -> None: ...
