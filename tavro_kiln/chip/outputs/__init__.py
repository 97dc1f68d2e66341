"""What a chip run writes: the block table (report), heat maps (plots), the
3-D field (vtk_output), and write.py, which writes them all at once. The
modules are imported on their own: pictures and VTK need the chip extra."""
