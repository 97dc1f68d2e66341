"""The chip as a conduction model: the grid derived from a stack and a
floorplan (chip_grid), and ChipModel, which builds the native engine once
and solves or steps it many times."""
