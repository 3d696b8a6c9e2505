"""The documents the binding and read benchmarks store: ~200 bytes of
nested maps each. Kept apart from either benchmark, which load the module
in their own ways."""

import random


def make_docs(n, seed=1):
    """n (key, document) pairs, the same for the same n and seed."""
    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "omega", "kappa", "sigma", "theta"]
    return [
        (
            f"user:{i:08d}",
            {
                "name": f"{rng.choice(words)} {rng.choice(words)} {i}",
                "age": rng.randrange(18, 90),
                "score": rng.random() * 100,
                "active": rng.random() < 0.5,
                "address": {"city": rng.choice(words).title(), "zip": f"{rng.randrange(10000, 99999)}"},
                "tags": [rng.choice(words) for _ in range(3)],
                "meta": {"created": 1_700_000_000 + i, "version": rng.randrange(1, 5)},
            },
        )
        for i in range(n)
    ]
