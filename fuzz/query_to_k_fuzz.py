"""Random-text fuzz of _hxm_field_solver.query_to_k against a pure-Python model.

Usage (run from outside the source tree so the installed package is imported):
    cd /tmp && /work/main/.venv/bin/python /work/main/fuzz/query_to_k_fuzz.py [SECONDS] [SEED]

Queries mix anchor and marker keywords (in random case) with random code
points: every Unicode whitespace class, lone surrogates, combining marks,
case-changing letters, ASCII and astral characters. Prints the number of
executions; exits non-zero on the first disagreement.
"""

import math
import random
import sys
import time

from tavro_kiln.core._hxm_field_solver import query_to_k

ANCHORS = [
    (66.0, "matter mass structure proton strong nuclear baryon quark gluon hadron".split()),
    (90.0, "em light charge electromagnetic electromagnetism photon optical electric "
           "magnetic radiation".split()),
    (120.0, "time causality weak decay temporal irreversible arrow entropy chiral".split()),
    (200.0, "cosmos dark energy hubble expansion cosmological universe inflation vacuum".split()),
]
MARKERS = ["creative", "synthesize", "novel", "bridge", "combine", "cross"]
SPACES = [chr(c) for c in range(0x110000) if chr(c).isspace()]
SPECIALS = ["\u0130", "\u1e9e", "\u212a", "\u03a3", "\u00df", "\ufb00", "\u0301", "\u0308",
            "\u200b", "\u200d", "\ufeff", "\ud800", "\udfff", "\U0001f600", "\x00", "\x7f"]
WORDS = [w for _, ws in ANCHORS for w in ws] + MARKERS


def model(query):
    lowered = query.lower()
    words = lowered.split()
    scores = {}
    for k, keywords in ANCHORS:
        score = sum(1 for w in words for kw in keywords if kw in w or w in kw)
        if score > 0:
            scores[k] = score
    if not scores:
        return 66.0
    if any(m in lowered for m in MARKERS) and len(scores) >= 2:
        top = sorted(scores.items(), key=lambda item: -item[1])[:2]
        return math.sqrt(top[0][0] * top[1][0])
    return sum(k * s for k, s in scores.items()) / sum(scores.values())


def random_piece(rng):
    r = rng.random()
    if r < 0.3:
        w = rng.choice(WORDS)
        if rng.random() < 0.3:
            i, j = sorted(rng.randrange(len(w) + 1) for _ in range(2))
            w = w[i:j]
        return "".join(c.upper() if rng.random() < 0.3 else c for c in w)
    if r < 0.55:
        return rng.choice(SPACES) * rng.randint(1, 2)
    if r < 0.7:
        return rng.choice(SPECIALS)
    if r < 0.85:
        return chr(rng.randrange(0x20, 0x80))
    return chr(rng.randrange(0x110000))


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else random.randrange(2**32)
    rng = random.Random(seed)
    deadline = time.monotonic() + seconds
    runs = 0
    while time.monotonic() < deadline:
        for _ in range(1000):
            query = "".join(random_piece(rng) for _ in range(rng.randint(0, 24)))
            got, want = query_to_k(query), model(query)
            if got != want:  # exact: same operations in the same order
                print(f"MISMATCH seed={seed} query={query!r}: got {got!r}, want {want!r}")
                return 1
            runs += 1
    print(f"query_to_k: {runs} executions in {seconds:g}s (seed {seed}), no findings")
    return 0


if __name__ == "__main__":
    sys.exit(main())
