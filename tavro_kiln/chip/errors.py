"""The error every input reader raises, which names the file and, where
there is one, the line; and the one way the readers read a file."""


class ChipInputError(ValueError):
    def __init__(self, path, line, message):
        self.path, self.line, self.message = str(path), line, message
        where = f"{self.path}:{line}" if line else self.path
        super().__init__(f"{where}: {message}")


def read_text(path):
    """A UTF-8 text file's contents, or the reader's error naming it."""
    try:
        with open(path, "rb") as handle:
            raw = handle.read()
    except OSError as error:
        raise ChipInputError(path, None, f"cannot read: {error.strerror or error}") from None
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        raise ChipInputError(path, None, "not a UTF-8 text file") from None
