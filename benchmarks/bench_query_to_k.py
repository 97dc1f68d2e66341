"""query_to_k against a plain Python version of the same mapping, measured
in the same run."""
import math
import timeit

from tavro_kiln.core._hxm_field_solver import query_to_k

ANCHORS = [
    (("matter", "mass", "structure", "proton", "strong", "nuclear", "baryon", "quark", "gluon",
      "hadron"), 66.0),
    (("em", "light", "charge", "electromagnetic", "electromagnetism", "photon", "optical",
      "electric", "magnetic", "radiation"), 90.0),
    (("time", "causality", "weak", "decay", "temporal", "irreversible", "arrow", "entropy",
      "chiral"), 120.0),
    (("cosmos", "dark", "energy", "hubble", "expansion", "cosmological", "universe", "inflation",
      "vacuum"), 200.0),
]
CREATIVE = ("creative", "synthesize", "novel", "bridge", "combine", "cross")


def python_query_to_k(query):
    words = query.lower().split()
    scores = {}
    for keywords, k in ANCHORS:
        score = sum(1 for w in words for kw in keywords if kw in w or w in kw)
        if score:
            scores[k] = score
    if not scores:
        return 66.0
    if any(c in query.lower() for c in CREATIVE) and len(scores) >= 2:
        k1, k2 = sorted(scores, key=scores.get, reverse=True)[:2]
        return math.sqrt(k1 * k2)
    return sum(k * s for k, s in scores.items()) / sum(scores.values())


QUERIES = [
    ("short ASCII", "dark matter"),
    ("creative ASCII", "novel bridge between quark and photon"),
    ("long ASCII", "the arrow of time and the expansion of the universe " * 8),
    ("non-ASCII", "\u00c9nergie sombre et mati\u00e8re DARK MATTER"),
]


def best_ns(function, query, number):
    return min(timeit.repeat(lambda: function(query), number=number, repeat=5)) / number * 1e9


def main():
    for label, query in QUERIES:
        assert query_to_k(query) == python_query_to_k(query)
        number = 20000 if len(query) < 100 else 2000
        native = best_ns(query_to_k, query, number)
        python = best_ns(python_query_to_k, query, number)
        print(f"query_to_k, {label:15} {native:9.0f} ns   pure Python {python:9.0f} ns"
              f"   speed-up {python / native:5.1f}x")


if __name__ == "__main__":
    main()
