#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora from the wire vectors in tests/vectors.tsv:
every hostile row (one schedule), the first well-formed value of each type and every value
not in our own form, each behind a few schedule headers (fuzz/harness.h).
Well-formed seeds are few because the tool's tests replay each of them.
Usage: fuzz/seeds.py [DIR]   (default: fuzz/corpus; rewrites its files)."""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAMILIES = {
    "addr": ["in_addr", "in6_addr", "nu_macaddr_t"],
    "containers": ["map_t", "arraymap_t", "multimap_t"],
    "netrl": ["nu_ipaddr_t", "nu_ipcidr_t", "rlim_t", "rlimit"],
}
# flags, pending primitive, pending setup, byte fault, budget, pieces: one
# byte at a time with pending statuses; ALT codes, a budget and odd pieces;
# an early end of input with a lazy caller.
HEADERS = {
    "bytes": (0x00, 14, 12, 0, 0, []),
    "pieces": (0x33, 3, 0, 5, 40, [3, 1, 7, 2]),
    "early": (0x1C, 5, 2, 0, 0, [5]),
}


def wire(text):
    out = b""
    for tok in text.split():
        hexpart, _, times = tok.partition("*")
        out += bytes.fromhex(hexpart) * (int(times) if times else 1)
    return out


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "fuzz", "corpus")
    for fam in FAMILIES:
        d = os.path.join(out_dir, fam)
        os.makedirs(d, exist_ok=True)
        for old in os.listdir(d):
            os.remove(os.path.join(d, old))
    seen = set()
    with open(os.path.join(ROOT, "tests", "vectors.tsv")) as table:
        for line in table:
            if line.startswith("#") or not line.strip():
                continue
            types, name, result, marks, hexes = line.rstrip("\n").split("\t")[:5]
            slug = re.sub(r"[^A-Za-z0-9]+", "_", name).strip("_")
            for t in types.split(","):
                if result == "T" and "c" in marks.split(",") and t in seen:
                    continue
                seen.add(t)
                fam = next(f for f, ts in FAMILIES.items() if t in ts)
                for label, (flags, prim, setup, byte, budget, pieces) in HEADERS.items():
                    if result == "F" and label != "bytes":
                        continue
                    head = bytes([FAMILIES[fam].index(t), flags, prim, setup, byte, budget, len(pieces)])
                    path = os.path.join(out_dir, fam, "%s-%s-%s" % (t, slug, label))
                    with open(path, "wb") as f:
                        f.write(head + bytes(pieces) + wire(hexes))


if __name__ == "__main__":
    main()
