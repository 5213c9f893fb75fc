# The distribution's version, said here once: the build reads it from this line.
__version__ = "0.2.0"
