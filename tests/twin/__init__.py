"""Plain-Python twins of the native View modules, used as oracles by the tests."""
