"""The gallery's own helpers for sphinx-gallery, named in conf.py."""
import os
import weakref

# From a single run to many: each example builds on the one before.
ORDER = ["plot_steady_state.py", "plot_transient.py", "plot_cosimulation.py", "plot_sink_sweep.py"]

SHOWN = weakref.WeakSet()


def reading_order(filename):
    """Sort key of the examples: ORDER first, anything else after, by name."""
    name = os.path.basename(str(filename))
    return (ORDER.index(name), "") if name in ORDER else (len(ORDER), name)


def figure_objects(block, block_vars, gallery_conf):
    """Image scraper for matplotlib figures made without pyplot, as the
    package's own plotting functions make them (``active_layer_png``
    returns its Figure): every Figure that an example's block leaves in a
    variable, and that no earlier block showed, goes into the gallery."""
    from matplotlib.figure import Figure
    from sphinx_gallery.scrapers import figure_rst

    figures = []
    for value in block_vars["example_globals"].values():
        if isinstance(value, Figure) and value not in SHOWN:
            if value.canvas.manager is None:
                figures.append(value)
            else:
                # pyplot's: the matplotlib scraper, which runs after this
                # one, shows and closes it; it must not come back later.
                SHOWN.add(value)
    paths = []
    for figure, path in zip(figures, block_vars["image_path_iterator"]):
        figure.savefig(path, dpi=100)
        SHOWN.add(figure)
        paths.append(path)
    return figure_rst(paths, gallery_conf["src_dir"])
