"""The chip workflow's optional dependencies, imported when first used."""
import importlib

INSTALL_HINT = 'pip install "tavro_kiln[chip]"'


class MissingExtra(ImportError):
    pass


def require(module):
    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingExtra(f"{module} is needed for this output and is not installed "
                           f"({INSTALL_HINT})") from None
