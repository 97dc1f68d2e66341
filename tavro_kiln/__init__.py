"""Fast numerical kernels for silicon thermal models and 3-D field solvers."""
