"""Fast numerical kernels for silicon thermal models and 3-D field solvers."""

# The one place the version is written: the build reads it from here for the
# distribution's metadata (pyproject.toml, tool.scikit-build.metadata.version).
__version__ = "0.2.0"
