"""The error every input reader raises, which names the file and, where
there is one, the line; and the one way the readers read a file."""


class ChipInputError(ValueError):
    """An input the chip workflow cannot use, with where it is: the text is
    ``FILE:LINE: message``, or ``FILE: message`` when no line applies.
    Blocks made in code are checked too; their "file" is ``floorplan``.

    It pickles with its three parts, so it crosses to and from worker
    processes unchanged.

    Attributes
    ----------
    path : str
        The file.
    line : int or None
        Its line, counted from 1.
    message : str
        What is wrong.
    """

    def __init__(self, path, line, message):
        self.path, self.line, self.message = str(path), line, message
        where = f"{self.path}:{line}" if line else self.path
        super().__init__(f"{where}: {message}")

    def __reduce__(self):
        # Rebuilt from its three parts, so that it crosses to and from
        # worker processes (the default would call __init__ with the text).
        return type(self), (self.path, self.line, self.message)


def read_text(path):
    """A UTF-8 text file's contents (without a byte-order mark, which some
    editors write), or the reader's error naming it."""
    try:
        with open(path, "rb") as handle:
            raw = handle.read()
    except OSError as error:
        raise ChipInputError(path, None, f"cannot read: {error.strerror or error}") from None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise ChipInputError(path, None, "not a UTF-8 text file") from None
    return text.removeprefix("\ufeff")


def read_lines(path):
    """The file's lines, split at '\\n' only so that line numbers match an
    editor's (str.splitlines also splits at form feeds and Unicode line
    separators); a CRLF file's '\\r' is dropped."""
    return [line.removesuffix("\r") for line in read_text(path).split("\n")]


class ChipSolveError(RuntimeError):
    """A solve that cannot give a meaningful field: no path for the heat to
    leave, a conductivity model driven past where it is physical, or a rise
    too large to represent. The message says which."""


class ThermalRunaway(ChipSolveError):
    """Leakage power that grows faster with temperature than the package
    can remove it: no steady state exists. ``block`` is the hottest block
    and ``temperature`` its mean (K) when the iteration gave up."""

    def __init__(self, block, temperature, message):
        self.block, self.temperature, self.message = block, temperature, message
        super().__init__(message)

    def __reduce__(self):
        return type(self), (self.block, self.temperature, self.message)
