"""The README's quick start, type-checked with mypy --strict in the tests."""

import murvex

engine = murvex.Murvex(threshold=0.25, max_errors=2, max_results=10)
engine.add(
    [
        {"id": 1, "name": "Ada Lovelace", "city": "London"},
        {"id": 2, "name": "Alan Turing", "city": "Wilmslow"},
        {"id": 3, "name": "Grace Hopper", "city": "Arlington"},
    ]
)
for hit in engine.search("lovlace"):  # one letter missing
    print(hit.id, f"{hit.score:.3f}", hit.start, hit.end)  # 1 0.775 5 12
