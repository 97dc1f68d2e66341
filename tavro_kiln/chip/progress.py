"""Progress of long runs: a tqdm bar on a terminal, otherwise the
package's plain progress line, printed at most every half minute."""
import sys
import time

PLAIN_EVERY = 30.0  # seconds between plain lines


class Progress:
    """Call with (steps done since the last call, latest change in K or None)."""

    def __init__(self, label, total=None, stream=None, enabled=True):
        self.label, self.total, self.steps = label, total, 0
        self.stream = stream or sys.stderr
        self.bar = None
        self.enabled = enabled
        self.last_line = time.perf_counter()
        if enabled and getattr(self.stream, "isatty", lambda: False)():
            try:
                from tqdm import tqdm
            except ImportError:
                pass
            else:
                self.bar = tqdm(total=total, desc=label, unit="step", delay=1.0, leave=False,
                                file=self.stream, dynamic_ncols=True)

    def __call__(self, steps, change=None):
        self.steps += steps
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.update(steps)
            if change is not None:
                self.bar.set_postfix_str(f"change {change:.2e} K", refresh=False)
            return
        now = time.perf_counter()
        if now - self.last_line >= PLAIN_EVERY:
            self.last_line = now
            of = f"/{self.total}" if self.total else ""
            note = f"  last change {change:.2e} K" if change is not None else ""
            print(f"  {self.label}: step {self.steps}{of}{note}", file=self.stream, flush=True)

    def close(self):
        if self.bar is not None:
            self.bar.close()
