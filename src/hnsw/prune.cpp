#include "hnsw/prune.hpp"

#include <new>

namespace tarsim::hnsw {

namespace {

// Neighbours scored against one worst distance before it is looked at again.
// A longer chunk bounds its later neighbours against a staler, larger worst,
// so a few more of them are scored; but every stage (records, codes, exact
// kernel) gets more rows per call, and the exact kernel's lanes are filled,
// where short chunks leave a kernel that scores 16 rows at once a few rows
// per call. Past a few hundred the staler worst costs more than the fuller
// calls save.
constexpr std::size_t kBoundedChunk = 256;

// The bounds cost a record read per neighbour, and a neighbour they rule
// out would mostly have been given up after a line or two of its vector by
// the early-abandoning kernel: they pay only while they rule out more than
// two in three of the neighbours they are asked about. Once they have been
// asked about kTrialNeighbours and have not paid lately, only every
// kRetrial-th operation uses them, to see whether they pay again. (A single
// operation is not judged on its own: its first chunks are bounded against
// the loose worst of a result that has just filled.)
constexpr std::size_t kTrialNeighbours = 256;
constexpr std::size_t kRetrial = 16;
bool records_pay(const PruneStats::Tally& tally) {
  return tally.ruled_out * 3 >= tally.asked * 2;
}
// The code bound reads a byte per coordinate instead of the early-abandoning
// kernel's eight for the coordinates it needs: it pays while it rules out
// more than one in four of the neighbours it is asked about.
bool codes_pay(const PruneStats::Tally& tally) { return tally.ruled_out * 4 >= tally.asked; }
// The axis codes (inner product and cosine). In a query they pay while they
// rule out more than one in eight: a block of 64 bytes against a vector of
// at least 512. An insertion, whose walks decide the build time, weighs
// them by cost: it reads every block of a neighbour's codes (see
// ChunkPruner::prune), and on a walk's scattered rows a block costs about
// as much as scoring kBlockCost of a vector's values, so the codes pay
// while the values they save outweigh the blocks they read.
constexpr std::size_t kBlockCost = 44;
bool axis_pays(const PruneStats::Tally& tally) { return tally.ruled_out * 8 >= tally.asked; }
bool axis_pays_inserting(const PruneStats::Tally& tally, std::size_t dim, std::size_t blocks) {
  return tally.ruled_out * dim >= tally.asked * blocks * kBlockCost;
}

}  // namespace

Bounds::Bounds(std::uint32_t dim, metrics::Metric metric, const sketch::Config& config)
    : dim_(dim),
      metric_(metric),
      sketch_(dim, metric, config),
      on_(sketch::bounds_enabled()),
      chunk_(kBoundedChunk) {}

void Bounds::update(const double* data, std::size_t n) {
  // Amortised O(dim m) per node: one record, and now and then a refit that
  // recomputes all of them. Memory running out here only costs the bounds
  // until the next fit: the node itself is stored already.
  try {
    sketch_.update(data, n);
  } catch (const std::bad_alloc&) {
    sketch_ = sketch::Sketch(dim_, metric_, sketch_.config());
  }
}

void Bounds::reset(const sketch::Config& config, const double* data, std::size_t n) {
  sketch_ = sketch::Sketch(dim_, metric_, config);
  update(data, n);
}

void Bounds::prepare(std::span<const double> query, bool inserting, std::size_t count,
                     SearchScratch& scratch) const {
  scratch.bounding = false;
  scratch.coding = false;
  scratch.axis_coding = false;
  scratch.inserting = inserting;
  // An insertion searches every layer from 0 up with the full width, and the
  // upper layers hold nodes the walks below have mostly scored already. A
  // query's walks above layer 0 have width 1 and score few, so the memo
  // would only cost it time.
  scratch.memo_on = on_ && inserting;
  scratch.memo_any = false;
  if (scratch.memo_on) scratch.start_memo(count);
  if (!on_) return;
  const bool have_records = sketch_.ready() && sketch_.rows() == count;
  const bool have_axis = sketch_.axis_coding() && sketch_.axis_rows() == count;
  if (!have_records && !have_axis) return;
  // Not usable for a query of another length or one the bounds cannot be
  // proven for: every neighbour is then scored.
  ++stats_.operations;
  const bool retrial = stats_.operations % kRetrial == 0;
  const auto wanted = [&](const PruneStats::Tally& tally, bool pays) {
    return tally.asked < kTrialNeighbours || pays || retrial;
  };
  const bool records = have_records && wanted(stats_.records, records_pay(stats_.records));
  const bool codes = have_records && sketch_.coding() && wanted(stats_.codes, codes_pay(stats_.codes));
  const PruneStats::Tally& axis_tally = stats_.axis_of(inserting);
  const bool axis_paid =
      inserting ? axis_pays_inserting(axis_tally, dim_, sketch_.axis_blocks()) : axis_pays(axis_tally);
  const bool axis = have_axis && wanted(axis_tally, axis_paid);
  if (records || codes) {
    sketch_.prepare(query, scratch.sketched);
    scratch.bounding = records && scratch.sketched.usable;
    scratch.coding = codes && scratch.sketched.coded;
  }
  if (axis) {
    sketch_.prepare_axis(query, scratch.sketched);
    scratch.axis_coding = scratch.sketched.axis.usable;
    scratch.axis_thresholds.resize(sketch_.axis_blocks());
  }
}

}  // namespace tarsim::hnsw
