"""What a chip run reads: the floorplan and power trace, the layer stack
(TOML) and the material table. Import the modules themselves; the package
re-exports nothing so that reading a file does not load the solver."""
