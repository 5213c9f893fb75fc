# Type stubs of the native module View.scheduler.
from flask import Response

__test__: dict[str, object]

class View:
    # Prints the working directory and answers the JSON object {"asdfsd": "dfdf"}.
    def get(self) -> Response: ...
