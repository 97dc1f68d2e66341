"""Where a key or table of a TOML file is, for the stack reader's
messages: tomllib gives values but not their lines."""
import re


def header_offset(text, header, occurrence=0):
    """Where the ``occurrence``-th table header matching ``header`` (a
    regex for the part inside the brackets) starts, or None."""
    pattern = rf"^[ \t]*\[\[?[ \t]*(?:{header})[ \t]*\]\]?"
    hits = list(re.finditer(pattern, text, flags=re.MULTILINE))
    return hits[occurrence].start() if occurrence < len(hits) else None


def line_at(text, offset):
    return None if offset is None else text.count("\n", 0, offset) + 1


def key_line(text, key, header=None, occurrence=0):
    """Line of ``key =`` in the table under ``header`` (up to the next
    header), or anywhere without that header, so that inline and dotted
    keys (``grid = {nx = 8}``, ``grid.nx = 8``) are found too; the header's
    line when the key is not there, None without either."""
    start = header_offset(text, header, occurrence) if header else None
    end = len(text)
    if start is not None:
        following = re.compile(r"^[ \t]*\[", re.MULTILINE).search(text, start + 1)
        end = following.start() if following else end
    pattern = re.compile(rf"(?:^|[.{{,])[ \t]*\"?{re.escape(key)}\"?[ \t]*=", re.MULTILINE)
    hit = pattern.search(text, start or 0, end)
    return line_at(text, hit.start() if hit else start)
