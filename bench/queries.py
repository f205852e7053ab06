"""The benchmark's fixed query mix, drawn from the corpus with a fixed seed.

Typo'd words and phrases taken from records (1 or 2 byte edits, some in upper
case, 4 to 32 bytes long) and a few queries that match nothing.
"""

import random

NO_MATCH = ["xylophone quartet", "qwzx", "Zebra crossing at midnight", "unmatched query phrase here"]


def _typo(rng, text):
    chars = list(text)
    at = rng.randrange(1, len(chars))  # keep the first byte: a search never forgives it
    kind = rng.choice(("substitute", "delete", "insert", "swap"))
    letter = rng.choice("aeiourstnl")
    if kind == "substitute":
        chars[at] = letter
    elif kind == "delete":
        del chars[at]
    elif kind == "insert":
        chars.insert(at, letter)
    elif at + 1 < len(chars):
        chars[at], chars[at + 1] = chars[at + 1], chars[at]
    return "".join(chars)


def query_mix(texts, count=32, seed=7):
    """`count` typo'd queries from `texts` followed by the no-match ones."""
    rng = random.Random(seed)
    queries = []
    while len(queries) < count:
        words = rng.choice(texts).split()
        first = rng.randrange(len(words))
        phrase = words[first]
        for word in words[first + 1 : first + rng.choice((1, 2, 3, 4))]:
            phrase += " " + word
        phrase = phrase.strip(",.")
        if not 5 <= len(phrase.encode()) <= 30:
            continue
        query = phrase
        for _ in range(rng.choice((1, 1, 2))):
            query = _typo(rng, query)
        if rng.random() < 0.2:
            query = query.upper()
        if 4 <= len(query.encode()) <= 32:
            queries.append(query)
    return queries + NO_MATCH
