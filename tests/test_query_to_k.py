"""query_to_k against the worked examples and a small pure-Python model."""
import math
import random

import pytest

ANCHORS = [
    (["matter", "mass", "structure", "proton", "strong", "nuclear", "baryon", "quark", "gluon",
      "hadron"], 66.0),
    (["em", "light", "charge", "electromagnetic", "electromagnetism", "photon", "optical",
      "electric", "magnetic", "radiation"], 90.0),
    (["time", "causality", "weak", "decay", "temporal", "irreversible", "arrow", "entropy",
      "chiral"], 120.0),
    (["cosmos", "dark", "energy", "hubble", "expansion", "cosmological", "universe", "inflation",
      "vacuum"], 200.0),
]
CREATIVE = ["creative", "synthesize", "novel", "bridge", "combine", "cross"]


def model(query):
    words = query.lower().split()
    scores = {}
    for keywords, k in ANCHORS:
        score = sum(1 for w in words for kw in keywords if kw in w or w in kw)
        if score > 0:
            scores[k] = scores.get(k, 0) + score
    if not scores:
        return 66.0
    if any(c in query.lower() for c in CREATIVE) and len(scores) >= 2:
        top2 = sorted(scores, key=lambda k: scores[k], reverse=True)[:2]
        return math.sqrt(top2[0] * top2[1])
    total = sum(scores.values())
    weighted = 0.0
    for k, s in scores.items():
        weighted += k * s
    return weighted / total


@pytest.fixture(scope="module")
def query_to_k():
    from tavro_kiln.core._hxm_field_solver import query_to_k

    return query_to_k


@pytest.mark.parametrize(
    "query, k",
    [("", 66.0), (" \t\n ", 66.0), ("hello world", 66.0), ("quark gluon plasma", 66.0),
     ("electromagnetic", 90.0), ("DARK MATTER", 133.0), ("quark quark photon", 74.0),
     ("a", 115.47826086956522), ("system temperature", 90.0), ("quark, (dark", 133.0),
     ("novel bridge between quark and photon", 77.07139547199077),
     ("Novel: quark photon time", 77.07139547199077),
     ("synthesize time and dark energy", 154.91933384829667),
     ("across the universe and time", 154.91933384829667), ("creative quark", 66.0),
     ("creative idea", 66.0), ("combine photon light", 90.0)],
)
def test_examples(query_to_k, query, k):
    result = query_to_k(query)
    assert type(result) is float and result == k


def test_keyword_and_refusals(query_to_k):
    assert query_to_k(query="dark energy") == 200.0 == query_to_k("dark energy")

    class Text(str):
        pass

    for value, name in [(None, "NoneType"), (b"dark", "bytes"), (5, "int"), (Text("dark"), "Text")]:
        with pytest.raises(TypeError) as raised:
            query_to_k(value)
        assert all(part in str(raised.value) for part in ("query", "str", name))
    for call in (lambda: query_to_k(), lambda: query_to_k("a", "b"),
                 lambda: query_to_k(text="a"), lambda: query_to_k("a", query="b")):
        with pytest.raises(TypeError):
            call()


UNICODE_PIECES = ["\u00e9nergie", "\u0130", "\u03a3\u03a3", "\u1e9e", "\u2003", "\u3000", "\x1c",
                  "\x85", "\u2028", "\u00a0", "\udcff", "\U0001f600", "K\u0301", "\u2126"]


def random_query(rng, unicode):
    pieces = [kw for keywords, _ in ANCHORS for kw in keywords] + CREATIVE + [
        "a", "e", "m", "x", "the", "and", "syst\u00e8me", "quarks", "photonic", "ACROSS", "Dark",
        "hello", "t", "ime"]
    if unicode:
        pieces += UNICODE_PIECES
    separators = [" ", "  ", "\t", "\n", ",", ".", "", "-", "\x0b", "\x1f"]
    if unicode:
        separators += ["\u2003", "\u00a0", "\x85", "\u3000"]
    words = []
    for _ in range(rng.randint(0, 9)):
        word = rng.choice(pieces)
        if rng.random() < 0.3:
            word = word.upper() if rng.random() < 0.5 else word.title()
        words.append(word + rng.choice(separators))
    return "".join(words)


@pytest.mark.parametrize("unicode", [False, True])
def test_matches_model_on_random_queries(query_to_k, unicode):
    rng = random.Random(17 + unicode)
    for _ in range(4000):
        query = random_query(rng, unicode)
        assert query_to_k(query) == model(query), repr(query)
