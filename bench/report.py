"""The README's Performance tables, made from the results files of the
benchmarks (bench/results/*.json), so that every figure there names the run
that gave it.

    python bench/report.py [--results DIR] [--write]

Prints the tables in Markdown; --write puts them into README.md between the
lines `<!-- bench tables -->` and `<!-- /bench tables -->`. A table whose
results file is missing is left out.
"""

from __future__ import annotations

import argparse
import json
import re
from pathlib import Path

HERE = Path(__file__).resolve().parent
README = HERE.parent / "README.md"
BEGIN, END = "<!-- bench tables -->", "<!-- /bench tables -->"


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:.2f} ms"


def caption(record: dict) -> str:
    changes = " with uncommitted changes" if record["changes"] else ""
    command = " ".join(["python", f"bench/{record['script']}", *record["argv"]])
    return (f"`{command}` at {record['commit'][:10]}{changes}, {record['date'][:10]}, "
            f"{record['machine']['cpu'] or 'unknown CPU'} ({record['machine']['cores']} cores)")


def flat(record: dict) -> list[str]:
    r = record["results"]
    s, c = r["search"], r["create"]
    out = [f"**Exhaustive search**, {r['data']} data, N = {r['n']:,}, dim {r['dim']}, "
           f"k = {r['k']}, euclidean, median per query. {caption(record)}.", "",
           "| | time | against `PyFlat.search` |", "|---|---|---|",
           f"| `PyFlat.search` (float64) | {ms(s['tarsim'])} | 1.00x |",
           f"| numpy `np.sqrt(((X - q) ** 2).sum(1))` + `argpartition` | {ms(s['numpy'])} | "
           f"{s['numpy'] / s['tarsim']:.2f}x the time |"]
    if s.get("faiss") is not None:
        out.append(f"| faiss `IndexFlatL2` (float32, half the bytes; one thread) | "
                   f"{ms(s['faiss'])} | {s['faiss'] / s['tarsim']:.2f}x the time |")
    out += [f"| a plain C++ sequential read of the same bytes (the floor) | {ms(s['read_floor'])} "
            f"| {s['read_floor'] / s['tarsim']:.2f}x the time |",
            f"| `PyFlat.create` from a {r['n']:,} × {r['dim']} array | {ms(c['numpy'])} | "
            f"{c['numpy'] / c['copy']:.2f}x a plain copy ({ms(c['copy'])}) |",
            f"| `PyFlat.create` from a list of {c['list_rows']:,} lists | {ms(c['lists'])} | "
            f"{c['list_rows'] / c['lists'] / 1e6:.2f} M vectors/s |"]
    return out


def bounds(record: dict) -> list[str]:
    r = record["results"]
    out = [f"**Sketch bounds in `PyFlat.search`**, against {r['against']}, k = {r['k']}, "
           f"{r['queries']} queries, fastest of the alternating runs. {caption(record)}.", "",
           "| data (N) | metric | with the bounds | without | speed-up | bytes read | "
           "same answers |", "|---|---|---|---|---|---|---|"]
    for row in r["rows"]:
        out.append(f"| {row['data']} ({row['n']:,}) | {row['metric']} | {ms(row['new'])} | "
                   f"{ms(row['base'])} | {row['base'] / row['new']:.2f}x | {row['share']:.1%} | "
                   f"{'yes' if row['same'] else 'NO'} |")
    return out


def hnsw(record: dict) -> list[str]:
    r = record["results"]
    ours = next(c for c in r["curve"] if c["ef"] == 50)
    out = [f"**Graph index**, {r['data']} data, N = {r['n']:,}, dim {r['dim']}, k = {r['k']}, "
           f"one thread. {caption(record)}.", "",
           "| | build (CPU) | query median | recall@10 | memory per vector |",
           "|---|---|---|---|---|",
           f"| `PyHNSW`, defaults (ef_search 50) | {r['build']['cpu']:.2f} s | "
           f"{ms(ours['median'])} | {ours['recall']:.3f} | {r['bytes_per_node'] / 1024:.1f} KB |",
           f"| `PyFlat.search` (exact) | | {ms(r['flat_query'])} | 1.000 | |"]
    peer = r.get("hnswlib")
    if peer is not None:
        at = next((c for c in peer["points"] if c["ef"] == 50), peer["points"][0])
        out.append(f"| hnswlib, M 16, ef_construction 200 (ef {at['ef']}) | {peer['cpu']:.2f} s | "
                   f"{ms(at['median'])} | {at['recall']:.3f} | |")
    return out


def graph_bounds(record: dict) -> list[str]:
    r = record["results"]
    out = [f"**Sketch and code bounds in `PyHNSW`**, defaults, euclidean, against "
           f"{r['against']}, k = {r['k']}, fastest of the alternating runs. {caption(record)}.",
           "", "| data (N) | build with / without (CPU) | speed-up | query with / without | "
           "speed-up | recall@10 | same graphs and answers |", "|---|---|---|---|---|---|---|"]
    for row in r["rows"]:
        b, c = row["base"], row["new"]
        out.append(f"| {row['data']} ({row['n']:,}) | {c['cpu']:.2f} / {b['cpu']:.2f} s | "
                   f"{b['cpu'] / c['cpu']:.2f}x | {ms(c['query'])} / {ms(b['query'])} | "
                   f"{b['query'] / c['query']:.2f}x | {row['recall']['new']:.3f} | "
                   f"{'yes' if row['same'] else 'NO'} |")
    return out


TABLES = (("flat", flat), ("bounds", bounds), ("hnsw", hnsw), ("bounds_graph", graph_bounds))


def tables(results: Path) -> str:
    parts = []
    for name, render in TABLES:
        path = results / f"{name}.json"
        if path.is_file():
            parts.append("\n".join(render(json.loads(path.read_text()))))
    return "\n\n".join(parts) + "\n"


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--results", type=Path, default=HERE / "results")
    p.add_argument("--write", action="store_true", help="replace the tables in README.md")
    args = p.parse_args()
    text = tables(args.results)
    if not args.write:
        print(text, end="")
        return
    readme = README.read_text(encoding="utf-8")
    block = re.compile(re.escape(BEGIN) + r"\n.*?" + re.escape(END), re.S)
    if not block.search(readme):
        raise SystemExit(f"README.md has no {BEGIN} ... {END} block")
    README.write_text(block.sub(lambda _: f"{BEGIN}\n{text}{END}", readme), encoding="utf-8")
    print(f"wrote the tables into {README}")


if __name__ == "__main__":
    main()
