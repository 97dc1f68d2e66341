"""Heat-map PNGs: the active layer seen from above, and a vertical section
through its hottest cell. Lengths in mm, or µm for a die or stack under a
millimetre; colour bars in K.

The plot and its colour bar sit at fixed places in inches: fitting the
figure to its contents instead (``bbox_inches="tight"``) draws it twice
and took half of a figure's time."""
import numpy as np

from tavro_kiln.chip.extras import require

MARGINS = (0.75, 0.55, 1.2, 0.4)  # inches left, bottom, right (colour bar and its labels), top


def length_unit(extent):
    """(factor from metres, name) that shows ``extent`` m with digits before
    the point: on a 40 µm die every mm value would read 0.0x."""
    return (1e3, "mm") if extent >= 1e-3 else (1e6, "µm")


def label_colour(rgba):
    """Black or white, whichever contrasts more with a cell of colour
    ``rgba``: white text vanishes on the pale yellow of a hot cell."""
    linear = [c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4 for c in rgba[:3]]
    luminance = 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]
    # Contrast ratios (L + 0.05) / 0.05 against black, 1.05 / (L + 0.05) against white.
    return "black" if (luminance + 0.05) ** 2 > 1.05 * 0.05 else "white"


def colour_at(mappable, value):
    return mappable.cmap(mappable.norm(value))


def new_figure(plot_size):
    """A figure with room for a plot of ``plot_size`` (w, h) inches and its
    colour bar; returns (figure, plot axes, colour bar axes)."""
    require("matplotlib")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    left, bottom, right, top = MARGINS
    width, height = plot_size
    size = (left + width + right, bottom + height + top)
    figure = Figure(figsize=size, dpi=100)
    FigureCanvasAgg(figure)
    axes = figure.add_axes((left / size[0], bottom / size[1], width / size[0], height / size[1]))
    bar = figure.add_axes(((left + width + 0.2) / size[0], bottom / size[1], 0.18 / size[0],
                           height / size[1]))
    return figure, axes, bar


def active_layer_png(grid, T, path, title="active layer", layer=None):
    """Heat map of the active layer seen from above, written as a PNG.

    Each column shows the hottest cell through the active layer's
    thickness; the blocks are outlined and, where they are large enough,
    named. The title gives the peak.

    Parameters
    ----------
    grid : ChipGrid
        The field's grid.
    T : numpy.ndarray
        The field, shape ``grid.shape``, K.
    path : str or os.PathLike
        Where the PNG goes.
    title : str, optional
        The title's start.
    layer : tuple, optional
        One of ``grid.powered_layers()``: that layer and its blocks alone
        (a stack of several powered dies); default all of them.

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn, made without pyplot.
    """
    di, dj = grid.die_columns
    _, zs, blocks = layer if layer is not None else (None, grid.active, grid.blocks)
    plane = T[di, dj, zs].max(axis=2)
    scale, unit = length_unit(max(grid.die_width, grid.die_height))
    width, height = grid.die_width * scale, grid.die_height * scale
    figure, axes, bar = new_figure((4.4, 4.4 * max(0.5, min(1.6, height / width))))
    image = axes.imshow(plane.T, origin="lower", extent=(0, width, 0, height), cmap="inferno",
                        interpolation="nearest", aspect="auto")
    xs, ys = grid.x_edges * scale, grid.y_edges * scale
    for b in blocks:
        x0, y0 = xs[b.i.start], ys[b.j.start]
        x1, y1 = xs[b.i.stop], ys[b.j.stop]
        axes.plot([x0, x1, x1, x0, x0], [y0, y0, y1, y1, y0], color="white", linewidth=0.6)
        if (x1 - x0) > width / 12 and (y1 - y0) > height / 20:
            # The label sits on the block's middle cell.
            middle = plane[(b.i.start + b.i.stop - 1) // 2 - di.start, (b.j.start + b.j.stop - 1) // 2 - dj.start]
            axes.text((x0 + x1) / 2, (y0 + y1) / 2, b.name, color=label_colour(colour_at(image, middle)),
                      fontsize=7, ha="center", va="center")
    axes.set_xlabel(f"x ({unit})")
    axes.set_ylabel(f"y ({unit})")
    axes.set_title(f"{title}: peak {plane.max():.2f} K")
    figure.colorbar(image, cax=bar, label="temperature (K)")
    figure.savefig(path)
    return figure


# A layer thinner than this share of the stack is drawn this tall, so that
# a 5 um active layer under a 7 mm heat sink can be seen and named.
LEAST_LAYER_SHARE = 0.08


def drawn_heights(grid):
    """Plot heights of the z cell edges, and whether any layer was drawn
    taller than its thickness: each layer gets a band of its share of the
    stack's thickness, at least LEAST_LAYER_SHARE, its cells in proportion
    within it. Without such a layer the heights are the physical ones (in
    the length unit of the stack's thickness)."""
    z = grid.z_edges
    total = z[-1]
    shares = np.array([(z[zs.stop] - z[zs.start]) / total for _, zs in grid.layers])
    if shares.min() >= LEAST_LAYER_SHARE:
        return z * length_unit(total)[0], False
    bands = np.maximum(shares, LEAST_LAYER_SHARE)
    bands /= bands.sum()
    heights = np.empty_like(z)
    base = 0.0
    for (_, zs), band in zip(grid.layers, bands):
        inside = z[zs.start:zs.stop + 1]
        heights[zs.start:zs.stop + 1] = base + (inside - inside[0]) / (inside[-1] - inside[0]) * band
        base += band
    return heights, True


def section_png(grid, T, path):
    """Vertical x-z section at the y of the hottest active-layer cell,
    written as a PNG: z from the die's far side, every layer named, the
    heat sink above. Layers thinner than 8 % of the stack are drawn that
    tall (the axis then marks each layer's top with its height).

    Parameters
    ----------
    grid : ChipGrid
        The field's grid.
    T : numpy.ndarray
        The field, shape ``grid.shape``, K.
    path : str or os.PathLike
        Where the PNG goes.

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn, made without pyplot.
    """
    active = T[:, :, grid.active]
    j = int(np.unravel_index(np.nanargmax(active), active.shape)[1])
    section = T[:, j, :]
    # Lengths across the die and through the stack may differ a thousandfold.
    scale, unit = length_unit(max(grid.die_width, grid.die_height))
    scale_z, unit_z = length_unit(grid.z_edges[-1])
    edges_z, stretched = drawn_heights(grid)
    edges_x = grid.x_edges * scale
    figure, axes, bar = new_figure((5.0, 3.2))
    # Cells without material (outside a layer's footprint) stay blank.
    mesh = axes.pcolormesh(edges_x, edges_z, np.ma.masked_invalid(section.T), cmap="inferno", shading="flat")
    for layer, zs in grid.layers:
        top = edges_z[zs.stop]
        filled = np.flatnonzero(np.isfinite(section[:, zs]).all(axis=1))
        if filled.size == 0:  # the layer does not reach this section
            continue
        right = int(filled[-1])
        axes.plot([edges_x[filled[0]], edges_x[right + 1]], [top, top], color="white", linewidth=0.5)
        # The label sits over the layer's right-hand cell.
        name = layer.name if layer is not None else "heat sink"
        axes.text(edges_x[right + 1] - 0.01 * (edges_x[-1] - edges_x[0]), (edges_z[zs.start] + top) / 2, name,
                  color=label_colour(colour_at(mesh, section[right, zs].mean())), fontsize=7, ha="right",
                  va="center")
    axes.set_xlabel(f"x ({unit})")
    if stretched:
        # The axis is no longer linear: mark each layer's top with its height.
        boundaries = [0] + [zs.stop for _, zs in grid.layers]
        axes.set_yticks(edges_z[boundaries], [f"{grid.z_edges[k] * scale_z:.3g}" for k in boundaries])
        axes.set_ylabel(f"z from the die's far side ({unit_z}, thin layers taller)", fontsize=8)
    else:
        axes.set_ylabel(f"z from the die's far side ({unit_z})")
    axes.set_title(f"vertical section at y = {(grid.y_edges[j] + grid.y_edges[j + 1]) / 2 * scale:.3g} {unit} "
                   f"(heat sink above)")
    figure.colorbar(mesh, cax=bar, label="temperature (K)")
    figure.savefig(path)
    return figure
