"""A million mixed operations on a few engines; prints RSS and reference counts.

Not a timed test: run it (`make soak`) to see that memory and the classes'
reference counts stay flat while records, results and settings churn.
    python scripts/soak.py [OPERATIONS]
"""

import contextlib
import gc
import random
import sys
import time

import murvex

WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "Eta", "theta", "iota", "kappa", "café", "naïve"]


def rss_mb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096 / 1e6


def refcounts():
    return sys.getrefcount(murvex.Murvex), sys.getrefcount(murvex.SearchResult)


def churn(rng, engines, kept, operations):
    for _ in range(operations):
        engine = rng.choice(engines)
        roll = rng.random()
        if roll < 0.35:
            batch = [
                {
                    "id": rng.randrange(1000),
                    "a": " ".join(rng.choices(WORDS, k=rng.randrange(1, 12))),
                    "n": rng.randrange(10),
                }
                for _ in range(rng.randrange(1, 8))
            ]
            try:
                engine.add(batch if rng.random() < 0.7 else batch[0])
            except ValueError:  # full
                engine.reset()
        elif roll < 0.75:
            results = engine.search(rng.choice(WORDS)[: rng.randrange(1, 8)])
            if results and rng.random() < 0.1:
                kept.append(results[0])
                if len(kept) > 1000:
                    del kept[: rng.randrange(1000)]
            repr(results[0]) if results else None
        elif roll < 0.9:
            engine.remove(rng.randrange(1000))
        elif roll < 0.93:
            engine.reset()
        elif roll < 0.96:
            engine.threshold = rng.random()
            engine.max_errors = rng.randrange(4)
            engine.max_results = rng.randrange(101)
        else:
            with contextlib.suppress(TypeError):
                engine.add({"id": "bad", "a": "x"})
            repr(engine), engine.count


def main():
    operations = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rng = random.Random(1)
    engines = [murvex.Murvex() for _ in range(4)]
    kept = []
    warm_up = operations // 10

    def settle():
        """Empties everything the churn holds; returns RSS and reference counts."""
        for engine in engines:
            engine.reset()
        kept.clear()
        gc.collect()
        return rss_mb(), refcounts()

    churn(rng, engines, kept, warm_up)
    rss_before, refs_before = settle()
    began = time.perf_counter()
    churn(rng, engines, kept, operations)
    rss_after, refs_after = settle()
    print(f"{operations:,} operations in {time.perf_counter() - began:.1f} s (after {warm_up:,} to warm up)")
    print(f"RSS: {rss_before:.1f} MB before, {rss_after:.1f} MB after")
    print(f"class reference counts (Murvex, SearchResult): {refs_before} before, {refs_after} after")
    if refs_after != refs_before or rss_after > rss_before * 1.1 + 5:
        sys.exit("memory or reference counts grew")


if __name__ == "__main__":
    main()
