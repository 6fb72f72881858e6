"""Sharded tarsim indexes on a Dask cluster.

`ShardedFlat` and `ShardedHNSW` spread their vectors over several shards.
Each shard is a Dask actor in a worker process holding one `tarsim.PyFlat`
or `tarsim.PyHNSW`; a search goes to every shard and the answers are merged
on the client in the order a single index uses.

A shard holds one or more contiguous ranges of global ids (a `create` gives
every shard one new range, an `insert` extends or starts a range on the
shard with the fewest vectors). Within a shard, local ids follow global ids
in the same order, so a shard's own ranking of (distance, local id) is its
ranking by (distance, global id), and the merge of the shards' first k is
exactly the first k of one index over all vectors.

Arguments are checked on the client by a throwaway empty index of the same
kind before anything is sent, so errors and their messages are those of one
index. A shard that cannot be reached makes the call raise `ShardError`
(naming the shard and the ids it held) instead of answering without it;
`rebuild()` recreates such shards from the source data when it is still
reachable.
"""

from .dependencies import require as _require

_require()

from .errors import RebuildError, ShardError  # noqa: E402
from .flat import ShardedFlat  # noqa: E402
from .hnsw import ShardedHNSW  # noqa: E402

__all__ = ["RebuildError", "ShardError", "ShardedFlat", "ShardedHNSW"]
