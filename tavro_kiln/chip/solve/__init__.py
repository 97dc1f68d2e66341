"""Chip runs on the engine: steady states, transients through a power
trace, and many configurations on an executor."""
