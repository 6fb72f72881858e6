"""tarsim on a real data set: the 1,797 handwritten digits that scikit-learn
ships (8x8 images, 64 pixel values each, labels 0-9; nothing is downloaded).

Builds a PyFlat and a PyHNSW index over all the images, inserting in chunks
behind a progress bar, then shows neighbours with their labels, how often a
neighbour shows the same digit as the query (leave-one-out), how close the
graph comes to the exact answers, a search restricted to one digit through
the metadata filter, and the time each step took.

    python scripts/demo.py [--k 10] [--chunk 100]
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager

import numpy as np
import tarsim

# scikit-learn and tqdm are imported where they are used, so that --help works
# before the demo's own packages are installed.


class Progress:
    """A tqdm bar for a loop of COUNT items whose rate is the average over the
    whole loop so far (items done / time since the start), not the rate of the
    last update, and that ends at 100 %. In a log, where tqdm cannot redraw,
    it is written when it starts, every 10 s and when it is complete, not ten
    times a second."""

    def __init__(self, count: int, desc: str, unit: str) -> None:
        from tqdm import tqdm

        self.unit = unit
        self.start = time.perf_counter()
        self.bar = tqdm(total=count, desc=desc, leave=True,
                        mininterval=0.1 if sys.stderr.isatty() else 10.0,
                        bar_format="{l_bar}{bar}| {n_fmt}/{total_fmt} [{elapsed}{postfix}]")

    def update(self, done: int) -> None:
        rate = (self.bar.n + done) / max(time.perf_counter() - self.start, 1e-9)
        scaled = next((f"{rate / size:.3g}{prefix}" for size, prefix in ((1e6, "M"), (1e3, "k"))
                       if rate >= size), f"{rate:.3g}")
        self.bar.set_postfix_str(f"{scaled} {self.unit}/s", refresh=False)
        self.bar.update(done)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *_: object) -> None:
        self.bar.close()


@contextmanager
def timed(label: str, timings: dict[str, float]) -> Iterator[None]:
    start = time.perf_counter()
    yield
    timings[label] = time.perf_counter() - start


def build_flat(images: np.ndarray, chunk: int) -> tarsim.PyFlat:
    index = tarsim.PyFlat(images.shape[1])  # euclidean
    with Progress(len(images), "PyFlat build  ", "img") as progress:
        for start in range(0, len(images), chunk):
            block = images[start:start + chunk]  # C-contiguous float64: read directly
            index.create(block)
            progress.update(len(block))
    return index


def build_graph(images: np.ndarray, labels: np.ndarray, chunk: int) -> tarsim.PyHNSW:
    index = tarsim.PyHNSW(images.shape[1], metric="euclidean", schema=["label"])
    with Progress(len(images), "PyHNSW build  ", "img") as progress:
        for start in range(0, len(images), chunk):
            block = images[start:start + chunk]
            rows = [[("label", int(label))] for label in labels[start:start + chunk]]
            index.create(block, rows)
            progress.update(len(block))
    return index


def exact_neighbours(index: tarsim.PyFlat, images: np.ndarray, k: int) -> list[list[tuple[int, float]]]:
    """The k nearest other images of every image (the image itself left out)."""
    result = []
    for i, image in enumerate(images):
        hits = index.search(image, k + 1)
        result.append([(j, d) for j, d in hits if j != i][:k])
    return result


def graph_neighbours(index: tarsim.PyHNSW, images: np.ndarray, k: int,
                     ids_of: dict[bytes, list[int]]) -> list[list[int]]:
    """The same through the graph. PyHNSW hands back vector copies, not ids,
    so the ids are recovered from the pixels (a few images are duplicates and
    share one key); the query's own image is left out once."""
    result = []
    with Progress(len(images), "PyHNSW queries", "queries") as progress:
        for i, image in enumerate(images):
            result.append(graph_query(index, i, image, k, ids_of))
            progress.update(1)
    return result


def graph_query(index: tarsim.PyHNSW, i: int, image: np.ndarray, k: int,
                ids_of: dict[bytes, list[int]]) -> list[int]:
    """The ids of the k nearest other images of image #i through the graph."""
    ids: list[int] = []
    own_left_out = False
    for _, vector in index.search(image, k + 1):
        candidates = ids_of[np.asarray(vector).tobytes()]
        if not own_left_out and i in candidates:
            own_left_out = True
            continue
        ids.extend(j for j in candidates if j != i and j not in ids)
    return ids[:k]


def show(picture: np.ndarray) -> list[str]:
    shades = " .:-=+*#%@"
    return ["".join(shades[min(int(v) * len(shades) // 17, 9)] for v in row) for row in picture.reshape(8, 8)]


def main() -> None:
    # The description is the module docstring up to its usage line, as written.
    description = (__doc__ or "").split("\n\n    python ")[0].strip()
    parser = argparse.ArgumentParser(description=description,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--k", type=int, default=10, help="neighbours per query")
    parser.add_argument("--chunk", type=int, default=100, help="images per create() call")
    args = parser.parse_args()
    k = args.k

    from sklearn.datasets import load_digits

    digits = load_digits()
    images = np.ascontiguousarray(digits.data, dtype=np.float64)
    labels = digits.target
    n, dim = images.shape
    print(f"scikit-learn digits: {n} images of {dim} pixels, labels 0-9\n")

    timings: dict[str, float] = {}
    with timed("PyFlat build", timings):
        flat = build_flat(images, args.chunk)
    with timed("PyHNSW build", timings):
        graph = build_graph(images, labels, args.chunk)

    with timed(f"PyFlat: {n} queries", timings):
        exact = exact_neighbours(flat, images, k)
    ids_of: dict[bytes, list[int]] = {}
    for i, image in enumerate(images):
        ids_of.setdefault(image.tobytes(), []).append(i)
    with timed(f"PyHNSW: {n} queries", timings):
        approx = graph_neighbours(graph, images, k, ids_of)

    # A few queries and their nearest images.
    print(f"\nNearest images (euclidean distance over the 64 pixels), k = {k}:")
    for q in (0, 42, 1000):
        shown = exact[q][:5]
        print(f"\n  query #{q}, label {labels[q]}")
        pictures = [show(images[q])] + [show(images[j]) for j, _ in shown]
        for row in zip(*pictures):
            print("    " + "   ".join(row))
        print("    " + "   ".join(f"{('query' if c == 0 else f'#{j}'):<8}" for c, j in enumerate([q] + [j for j, _ in shown])))
        print("    " + "   ".join(f"{'label ' + str(labels[j]):<8}" for j in [q] + [j for j, _ in shown]))
        print("    " + " " * 11 + "   ".join(f"{'d ' + format(d, '.1f'):<8}" for _, d in shown))

    same_exact = np.mean([[labels[j] == labels[i] for j, _ in hits] for i, hits in enumerate(exact)])
    same_graph = np.mean([np.mean([labels[j] == labels[i] for j in hits]) for i, hits in enumerate(approx)])
    recall = np.mean([len({j for j, _ in e} & set(a)) / k for e, a in zip(exact, approx)])
    print(f"\nNeighbours showing the query's digit (leave-one-out, {k} per image, all {n} images):")
    print(f"  PyFlat  (exact)  {same_exact:.1%}")
    print(f"  PyHNSW  (graph)  {same_graph:.1%}   recall@{k} against the exact answers: {recall:.1%}")

    # A search restricted to one digit: the label is stored as metadata.
    q = int(np.flatnonzero(labels == 8)[0])
    with timed("PyHNSW: one filtered query", timings):
        threes = graph.search(images[q], k=5, filter=("label", 3))
    found = [ids_of[np.asarray(v).tobytes()][0] for _, v in threes]
    print(f"\nFiltered search: the 5 images labelled 3 nearest to query #{q} (an 8):")
    for (distance, _), j in zip(threes, found):
        print(f"  #{j:<5} label {labels[j]}   distance {distance:.2f}")
    assert all(labels[j] == 3 for j in found)

    print("\nTimings:")
    for label, seconds in timings.items():
        per = f"   ({seconds / n * 1e3:.3f} ms per query)" if "queries" in label else ""
        print(f"  {label:<28} {seconds * 1e3:9.1f} ms{per}")


if __name__ == "__main__":
    main()
