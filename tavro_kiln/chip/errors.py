"""The error every input reader raises: it names the file and, where
there is one, the line."""


class ChipInputError(ValueError):
    def __init__(self, path, line, message):
        self.path, self.line, self.message = str(path), line, message
        where = f"{self.path}:{line}" if line else self.path
        super().__init__(f"{where}: {message}")
