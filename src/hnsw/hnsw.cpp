#include "hnsw/hnsw.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>


namespace tarsim::hnsw {

const char* error_name(HNSWError error) {
  switch (error) {
    case HNSWError::InvalidEF: return "InvalidEF";
    case HNSWError::InvalidLayer: return "InvalidLayer";
    case HNSWError::NoSchema: return "NoSchema";
    case HNSWError::EmptySchema: return "EmptySchema";
    case HNSWError::AttributeNotFound: return "AttributeNotFound";
    case HNSWError::EmptyVectors: return "EmptyVectors";
    case HNSWError::InvalidNodeID: return "InvalidNodeID";
    case HNSWError::Interrupted: return "Interrupted";
  }
  return "Unknown";
}

std::uint64_t order_key(double distance) {
  // A double's bits order the positive numbers; the negative ones order the
  // other way round, so they are inverted, and the sign bit is set on the
  // rest to put them above. -0 is taken as +0, and every NaN gets the top.
  if (std::isnan(distance)) return ~std::uint64_t{0};
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(distance == 0.0 ? 0.0 : distance);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

std::size_t result_position(std::span<const Scored> results, double distance) {
  if (results.empty()) return 0;
  std::size_t base = 0;
  std::size_t size = results.size();
  if (!std::isnan(distance)) {
    // The same steps for a number d without the NaN tests, so that they
    // compile to conditional moves: ranks_before(d, x) is !(x <= d), a NaN x
    // included, and ranks_before(x, d) is x < d.
    while (size > 1) {
      const std::size_t half = size / 2;
      const std::size_t mid = base + half;
      base = results[mid].distance <= distance ? mid : base;
      size -= half;
    }
    return results[base].distance < distance ? base + 1 : base;
  }
  while (size > 1) {
    std::size_t half = size / 2;
    std::size_t mid = base + half;
    if (!metrics::ranks_before(distance, results[mid].distance)) base = mid;
    size -= half;
  }
  return metrics::ranks_before(results[base].distance, distance) ? base + 1 : base;
}

namespace {

// Candidates come out of the walk's heap by distance (NaN last), then by
// id: a candidate's key, order_key(d) * 2^32 + id, orders candidates as they
// come out, and the heap compares one pair of 128-bit numbers where the
// distance test took branches on NaN and on ties.
CandidateKey candidate_key(double d, std::uint32_t id) {
  return (CandidateKey{order_key(d)} << 32) | id;
}

std::uint32_t candidate_id(CandidateKey key) { return static_cast<std::uint32_t>(key); }

std::uint64_t candidate_order(CandidateKey key) {
  return static_cast<std::uint64_t>(key >> 32);
}

// With std::greater the heap's front is its smallest key: the next out.
using ComesAfter = std::greater<CandidateKey>;

// Neighbours scored against one worst distance before it is looked at again.
// A longer chunk bounds its later neighbours against a staler, larger worst,
// so a few more of them are scored; but every stage (records, codes, exact
// kernel) gets more rows per call, and the exact kernel's lanes are filled:
// with 32, a chunk left 4 to 6 rows for a kernel that scores 16 at once.
// Builds and queries were 8-12 % faster with 256 than with 32 (patches,
// clustered and Gaussian data, 20,000 nodes), level with 128 and 512, and
// slower from 1,024 on.
constexpr std::size_t kBoundedChunk = 256;

// Lists grow to a thousand ids and more, each in its own allocation, and a
// walk reads most of them whole only to find a few new ids. The hardware
// starts streaming a list only after some of its lines have missed, and
// stops at every page. So a walk asks for the head of the list it will most
// likely read next (the best candidate left), and while it reads a list, for
// the line this many ids ahead. A prefetch changes no result.
constexpr std::size_t kListAhead = 256;
constexpr std::size_t kIdsPerLine = 64 / sizeof(std::uint32_t);

void prefetch_head(const std::vector<std::uint32_t>& list) {
  const std::uint32_t* at = list.data();
  for (std::size_t z = 0; z < list.size() && z < kListAhead; z += kIdsPerLine) {
    __builtin_prefetch(at + z);
  }
}

// Calls take(id) for the ids of the list in order, prefetching ahead.
template <class Take>
void read_list(const std::vector<std::uint32_t>& list, Take take) {
  const std::uint32_t* at = list.data();
  const std::size_t size = list.size();
  std::size_t z = 0;
  for (; z + kIdsPerLine <= size; z += kIdsPerLine) {
    if (z + kListAhead < size) __builtin_prefetch(at + z + kListAhead);
    for (std::size_t w = z; w < z + kIdsPerLine; ++w) take(at[w]);
  }
  for (; z < size; ++z) take(at[z]);
}

// Nodes stored before the first basis is fitted.
constexpr std::size_t kSketchRows = 1024;
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
constexpr std::size_t kHistory = std::size_t{1} << 16;
bool bounds_pay(std::size_t ruled_out, std::size_t bounded) {
  return ruled_out * 3 >= bounded * 2;
}
// The code bound reads a byte per coordinate instead of the early-abandoning
// kernel's eight for the coordinates it needs: it pays while it rules out
// more than one in four of the neighbours it is asked about.
bool codes_pay(std::size_t ruled_out, std::size_t bounded) {
  return ruled_out * 4 >= bounded;
}

std::optional<HNSWError> as_error(filter::FilterCheck check) {
  switch (check) {
    case filter::FilterCheck::Ok: return std::nullopt;
    case filter::FilterCheck::NoSchema: return HNSWError::NoSchema;
    case filter::FilterCheck::EmptySchema: return HNSWError::EmptySchema;
    case filter::FilterCheck::AttributeNotFound: return HNSWError::AttributeNotFound;
  }
  return HNSWError::AttributeNotFound;
}

}  // namespace

HNSW::HNSW(Params params)
    : dim_(params.dim),
      layers_(params.layers),
      m_(params.m),
      ef_construction_(params.ef_construction),
      ef_search_(params.ef_search),
      metric_(params.metric),
      schema_(std::move(params.schema)),
      sketch_(params.dim, params.metric, default_sketch_config()),
      bounds_(sketch::enabled_by_environment()),
      bounded_chunk_(kBoundedChunk) {
  row_width_ = schema_ ? schema_->size() : 0;
  layer_lists_ = layers_ == 0 ? 0 : std::min(layers_ - 1, kMaxLayerLists);
  upper_.resize(layer_lists_);
  layer_size_.assign(std::min(layers_, kCountedLayers), 0);
  // Weights fall as e^-i; once one underflows to 0 every later one is 0 too
  // and is not stored. Adding those zeros to the positive total would not
  // change it, nor any running sum of the level draw.
  double counter = 0.0;
  for (std::uint32_t i = 0; i < layers_; ++i) {
    const double weight = std::exp(-counter);
    if (weight == 0.0) break;
    level_weights_.push_back(weight);
    weight_total_ += weight;
    counter += 1.0;
  }
}

sketch::Config HNSW::default_sketch_config() {
  sketch::Config config;
  config.enabled = sketch::enabled_by_environment();
  // A graph walk scores a few thousand nodes per insertion, whatever the
  // size of the index, so the bounds pay from a small index on; the basis
  // fitted then is refitted at 8x, 64x, ... that size.
  config.min_rows = kSketchRows;
  config.codes = true;
  return config;
}

void HNSW::set_sketch_config(const sketch::Config& config) {
  sketch_ = sketch::Sketch(dim_, metric_, config);
  update_sketch();
}

void HNSW::update_sketch() {
  // Amortised O(dim m) per node: one record, and now and then a refit that
  // recomputes all of them. Memory running out here only costs the bounds
  // until the next fit: the node itself is stored already.
  try {
    sketch_.update(vectors_.data(), count_);
  } catch (const std::bad_alloc&) {
    sketch_ = sketch::Sketch(dim_, metric_, sketch_.config());
  }
}

std::uint32_t HNSW::draw_level(RandomSource& rng) const {
  double threshold = weight_total_ * rng.next_uniform();
  // The zero weights past the stored ones leave the running sum unchanged,
  // so none of their levels can qualify.
  double running = 0.0;
  for (std::uint32_t i = 0; i < level_weights_.size(); ++i) {
    running += level_weights_[i];
    if (running > threshold) return i;
  }
  return layers_ - 1;  // wraps to 4294967295 when there are no layers
}

namespace {

// Grows capacity geometrically so that `extra` more elements fit; after it
// the appends of one node cannot fail half-way.
template <class T, class A>
void make_room(std::vector<T, A>& v, std::size_t extra) {
  if (v.capacity() - v.size() < extra) v.reserve(std::max(v.size() + extra, v.capacity() * 2));
}

}  // namespace

void HNSW::store_node(std::span<const double> vector, std::uint32_t level,
                      const metadata::Row* row) {
  // Everything that can fail (copying the row's text, growing storage)
  // happens before the first append, so a node is stored whole or not at all.
  const bool keep_row = row_width_ > 0;
  const bool full_row = keep_row && row != nullptr && row->size() == row_width_;
  metadata::Row copy;
  if (full_row) copy = *row;
  make_room(vectors_, vector.size());
  make_room(levels_, 1);
  make_room(links_, 1);
  for (auto& lists : upper_) make_room(lists, 1);
  if (keep_row) {
    make_room(metadata_, row_width_);
    make_room(has_row_, 1);
  }
  vectors_.insert(vectors_.end(), vector.begin(), vector.end());
  levels_.push_back(level);
  for (std::uint32_t l = 0; l < layer_size_.size() && l <= level; ++l) ++layer_size_[l];
  links_.emplace_back();
  for (auto& lists : upper_) lists.emplace_back();
  if (keep_row) {
    if (full_row) {
      for (metadata::Metadata& value : copy) metadata_.push_back(std::move(value));
    } else {
      metadata_.resize(metadata_.size() + row_width_);
    }
    has_row_.push_back(full_row ? 1 : 0);
  }
  ++count_;
}

namespace {

// Lists only grow, most of them for the whole life of the index: a growth
// factor of 1.25 instead of the usual 2 keeps the unused tail small.
void append(std::vector<std::uint32_t>& list, std::uint32_t id) {
  if (list.size() == list.capacity()) list.reserve(list.size() + list.size() / 4 + 4);
  list.push_back(id);
}

}  // namespace

void HNSW::add_link(std::uint32_t node, std::uint32_t neighbor) {
  append(links_[node], neighbor);
  const std::uint32_t top = std::min(levels_[neighbor], layer_lists_);
  for (std::uint32_t layer = 1; layer <= top; ++layer) append(upper_[layer - 1][node], neighbor);
}

std::optional<HNSWError> HNSW::insert(std::span<const double> vector, const metadata::Row* row,
                                      RandomSource& rng, Interrupt* interrupt) {
  if (vector.size() != dim_ || !room_for(count_, 1)) return HNSWError::InvalidNodeID;
  if (interrupt != nullptr && interrupt->after(std::size_t{dim_} + 1)) {
    return HNSWError::Interrupted;
  }
  // A vector read from this index's own storage would move when it grows.
  // The caller's vector is usually another object, and only std::less and
  // its kin order pointers into different objects.
  const std::less<const double*> before;
  if (!vector.empty() && !before(vector.data(), vectors_.data()) &&
      before(vector.data(), vectors_.data() + vectors_.size())) {
    const std::vector<double> own(vector.begin(), vector.end());
    return insert(own, row, rng, interrupt);
  }
  std::uint32_t level = count_ == 0 ? layers_ - 1 : draw_level(rng);
  const std::uint32_t n = count_;
  store_node(vector, level, row);
  update_sketch();
  if (n == 0 || layers_ == 0) return std::nullopt;

  const ScratchLease scratch(*this);
  prepare_bounds(vector, true, *scratch);
  std::vector<Scored> found;
  std::uint32_t entry = 0;
  for (std::uint32_t layer = 0; layer < layers_; ++layer) {
    if (layer < level) {
      // Descent: only move the entry closer.
      if (auto error =
              search_layer(entry, vector, 1, layer, nullptr, 1, *scratch, found, interrupt)) {
        return error;
      }
      entry = found.front().id;
      continue;
    }
    // Node n is in this layer up to its own level but in no list yet.
    const std::size_t unlisted = layer <= level ? 1 : 0;
    if (auto error = search_layer(entry, vector, ef_construction_, layer, nullptr, unlisted,
                                  *scratch, found, interrupt)) {
      return error;
    }
    // Links are made both ways, but a list never names its own node or an id
    // it already holds: a repeated id is always skipped by a search (visited,
    // or failing the same level and filter tests), and an expanded node is
    // always visited already. A pass links n and r both ways for every r it
    // found, so n is already in r's list exactly when an earlier pass of this
    // insertion found r, that is when r is marked as in n's list (below).
    // The mark is read instead of r's last entry, the tail of a list
    // somewhere in memory.
    if (own_marks_.size() < count_) own_marks_.resize(count_, 0);
    for (const Scored& r : found) {
      if (r.id >= count_) return HNSWError::InvalidNodeID;
      if (r.id == n || own_marks_[r.id] == n + 1) continue;
      add_link(r.id, n);
    }
    if (count_ != n + 1) return HNSWError::InvalidNodeID;
    for (const Scored& r : found) {
      if (r.id == n || own_marks_[r.id] == n + 1) continue;
      own_marks_[r.id] = n + 1;
      add_link(n, r.id);
    }
    entry = n;
  }
  return std::nullopt;
}

std::optional<HNSWError> HNSW::create(const FloatRows& vectors,
                                      const std::vector<metadata::Row>& rows, RandomSource& rng,
                                      Interrupt* interrupt) {
  if (vectors.empty()) return HNSWError::EmptyVectors;
  if (!schema_) return insert_each(vectors, nullptr, rng, interrupt);
  if (rows.size() != vectors.size()) return HNSWError::AttributeNotFound;
  return insert_each(vectors, &rows, rng, interrupt);
}

std::optional<HNSWError> HNSW::create(const FloatRows& vectors, RandomSource& rng,
                                      Interrupt* interrupt) {
  if (vectors.empty()) return HNSWError::EmptyVectors;
  return insert_each(vectors, nullptr, rng, interrupt);
}

std::optional<HNSWError> HNSW::insert_each(const FloatRows& vectors,
                                           const std::vector<metadata::Row>* rows,
                                           RandomSource& rng, Interrupt* interrupt) {
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    const metadata::Row* row = rows != nullptr ? &(*rows)[i] : nullptr;
    if (auto error = insert(vectors.row(i), row, rng, interrupt)) return error;
  }
  return std::nullopt;
}

bool HNSW::passes(std::uint32_t node, const filter::Filter& filter, std::size_t position) const {
  return has_row_[node] != 0 && filter.test(metadata_[node * row_width_ + position]);
}

HNSW::ScratchLease::ScratchLease(const HNSW& index) : index_(index) {
  if (!index_.idle_scratch_.empty()) {
    scratch_ = std::move(index_.idle_scratch_.back());
    index_.idle_scratch_.pop_back();
    return;
  }
  index_.idle_scratch_.reserve(index_.scratch_made_ + 1);
  scratch_ = std::make_unique<SearchScratch>();
  ++index_.scratch_made_;
}

HNSW::ScratchLease::~ScratchLease() {
  // Within the capacity reserved when the set was made.
  index_.idle_scratch_.push_back(std::move(scratch_));
}

std::uint8_t HNSW::next_visit_stamp(SearchScratch& scratch) const {
  // Stamps of nodes added since the set was last used start at 0, which no
  // walk uses.
  if (scratch.visit_stamps.size() < count_) scratch.visit_stamps.resize(count_, 0);
  if (++scratch.visit_stamp == 0) {
    std::fill(scratch.visit_stamps.begin(), scratch.visit_stamps.end(), 0);
    std::fill(scratch.filter_stamps.begin(), scratch.filter_stamps.end(), 0);
    scratch.visit_stamp = 1;
  }
  return scratch.visit_stamp;
}

void HNSW::prepare_bounds(std::span<const double> query, bool memo,
                          SearchScratch& scratch) const {
  scratch.bounding = false;
  scratch.coding = false;
  // An insertion searches every layer from 0 up with the full width, and the
  // upper layers hold nodes the walks below have mostly scored already. A
  // query's walks above layer 0 have width 1 and score few, so the memo
  // would only cost it time.
  scratch.memo_on = bounds_ && memo;
  scratch.memo_any = false;
  if (scratch.memo_on) {
    // Entries of an earlier operation, and of nodes added since the memo was
    // last used (0), never match the new stamp.
    if (scratch.memo_at.size() < count_) {
      scratch.memo_at.resize(count_, 0);
      scratch.memo_distance.resize(count_);
    }
    if (++scratch.memo_stamp == 0) {
      std::fill(scratch.memo_at.begin(), scratch.memo_at.end(), 0);
      scratch.memo_stamp = 1;
    }
  }
  if (!bounds_ || !sketch_.ready() || sketch_.rows() != count_) return;
  // Not usable for a query of another length or one the bounds cannot be
  // proven for: every neighbour is then scored.
  ++operations_;
  const bool retrial = operations_ % kRetrial == 0;
  const bool records = seen_bounded_ < kTrialNeighbours ||
                       bounds_pay(seen_ruled_out_, seen_bounded_) || retrial;
  const bool codes = sketch_.coding() && (seen_coded_ < kTrialNeighbours ||
                                          codes_pay(seen_code_ruled_out_, seen_coded_) || retrial);
  if (!records && !codes) return;
  sketch_.prepare(query, scratch.sketched);
  scratch.bounding = records && scratch.sketched.usable;
  scratch.coding = codes && scratch.sketched.coded;
}

std::optional<HNSWError> HNSW::knn(std::uint32_t entry, std::span<const double> query,
                                   std::uint32_t ef, std::uint32_t layer,
                                   const filter::Filter* filter, std::vector<Scored>& out) const {
  const ScratchLease scratch(*this);
  prepare_bounds(query, false, *scratch);
  return search_layer(entry, query, ef, layer, filter, 0, *scratch, out);
}

std::optional<HNSWError> HNSW::search_layer(std::uint32_t entry, std::span<const double> query,
                                            std::uint32_t ef, std::uint32_t layer,
                                            const filter::Filter* filter, std::size_t unlisted,
                                            SearchScratch& scratch, std::vector<Scored>& out,
                                            Interrupt* interrupt) const {
  if (ef == 0) return HNSWError::InvalidEF;
  if (layer >= layers_) return HNSWError::InvalidLayer;
  std::size_t position = 0;
  if (filter != nullptr) {
    if (auto error = as_error(filter::validate(schema_, *filter))) return error;
    position = filter::attribute_position(*schema_, *filter);
  }
  if (entry >= count_) return HNSWError::InvalidNodeID;

  const double* base = vectors_.data();
  const std::uint8_t stamp = next_visit_stamp(scratch);
  std::uint8_t* visited = scratch.visit_stamps.data();
  if (filter != nullptr && scratch.filter_stamps.size() < count_) {
    scratch.filter_stamps.resize(count_, 0);
  }
  std::uint8_t* failed = scratch.filter_stamps.data();
  std::vector<CandidateKey>& candidates = scratch.candidates;
  const std::uint32_t* levels = levels_.data();
  // Layer 0 reads the full lists; layer L >= 1 the lists of neighbours with
  // level >= L, so no level test is needed there. Above the highest layer
  // with lists of its own, the top lists are read with the level test.
  const std::uint32_t list_layer = std::min(layer, layer_lists_);
  const std::vector<std::vector<std::uint32_t>>& lists =
      list_layer == 0 ? links_ : upper_[list_layer - 1];
  const bool test_levels = layer > list_layer;
  // Nodes of this layer that some list may name and that are still
  // unvisited. Once it is 0 no list can offer a new neighbour, and reading
  // the lists is skipped. `unlisted` nodes of the layer are named by no list
  // (the node being inserted, before its first linking pass ends). Very high
  // layers are not counted.
  std::size_t unvisited = layer < layer_size_.size() ? layer_size_[layer] - unlisted
                                                     : std::numeric_limits<std::size_t>::max();

  // The distance memo. A node's distance to the query is a function of the
  // query, the node's stored vector, the dimension and the metric alone: no
  // list, no sketch, no result takes part. Every kernel that completes a
  // distance computes it with the same operations in the same order (the
  // scoring kernels and the early-abandoning one, see kernel_body.hpp), so
  // it has the same bits whichever computed it and whenever. None of those
  // inputs changes during one operation: the query is the same span for all
  // its walks, and the vectors are stored before the first walk and never
  // written during one. So a distance recorded by an earlier walk of the
  // operation is exactly what scoring the node again would give, and using
  // it changes nothing but the work. Only completed distances are recorded:
  // a row the early-abandoning kernel gives up reads +inf, which is not its
  // distance, and is left out (as is a true +inf from that kernel, which is
  // then merely computed again). A walk never scores a node twice (it is
  // marked visited first), so the memo is only looked up when an earlier
  // walk recorded something.
  const bool record = scratch.memo_on;
  const bool recall = record && scratch.memo_any;
  const std::uint32_t memo_stamp = scratch.memo_stamp;
  std::uint32_t* memo_at = scratch.memo_at.data();
  double* memo_distance = scratch.memo_distance.data();
  auto known = [&](std::uint32_t id) { return memo_at[id] == memo_stamp; };
  auto remember = [&](std::uint32_t id, double d) {
    memo_at[id] = memo_stamp;
    memo_distance[id] = d;
  };
  // Copies the ids among at[0 .. n) that the memo does not know, in order,
  // to the pending rows; returns how many there are.
  auto set_aside = [&](const std::uint32_t* at, std::size_t n) {
    if (scratch.pending_ids.size() < n) {
      scratch.pending_ids.resize(n);
      scratch.pending_distances.resize(n);
    }
    std::uint32_t* pending = scratch.pending_ids.data();
    std::size_t missing = 0;
    for (std::size_t z = 0; z < n; ++z) {
      if (!known(at[z])) pending[missing++] = at[z];
    }
    recalled_ += n - missing;
    return missing;
  };
  // Scores ids[0 .. n) into d, exactly, through the memo.
  auto score_exactly = [&](const std::uint32_t* at, std::size_t n, double* d) {
    std::size_t missing = n;
    if (recall) {
      missing = set_aside(at, n);
      if (missing < n) {
        const std::uint32_t* pending = scratch.pending_ids.data();
        double* pd = scratch.pending_distances.data();
        if (missing > 0) metrics::score_rows(metric_, query, base, dim_, pending, missing, pd);
        for (std::size_t z = 0, p = 0; z < n; ++z) {
          d[z] = known(at[z]) ? memo_distance[at[z]] : pd[p++];
        }
      }
    }
    if (missing == n) metrics::score_rows(metric_, query, base, dim_, at, n, d);
    if (record) {
      for (std::size_t z = 0; z < n; ++z) remember(at[z], d[z]);
      scratch.memo_any = true;
    }
  };

  double first;
  score_exactly(&entry, 1, &first);
  out.clear();
  out.push_back({first, entry});
  candidates.clear();
  candidates.push_back(candidate_key(first, entry));
  visited[entry] = stamp;
  if (levels[entry] >= layer) --unvisited;

  ComesAfter after;
  double bound = 0.0;  // euclidean_bound(bound_of)
  double bound_of = std::numeric_limits<double>::quiet_NaN();
  std::int32_t code_threshold = 0;  // sketch_.code_threshold(code_threshold_of)
  double code_threshold_of = std::numeric_limits<double>::quiet_NaN();
  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), after);
    const CandidateKey current = candidates.back();
    candidates.pop_back();
    // Stop at the first candidate ranking after the current worst result;
    // a NaN worst never stops the walk (nothing ranks after NaN).
    if (order_key(out.back().distance) < candidate_order(current)) break;

    // Gather the neighbours this layer can use and that are new to the walk,
    // score them together, then admit them one by one in list order.
    if (unvisited == 0) continue;
    const std::vector<std::uint32_t>& list = lists[candidate_id(current)];
    if (!candidates.empty()) prefetch_head(lists[candidate_id(candidates.front())]);
    if (scratch.batch_ids.size() < list.size()) scratch.batch_ids.resize(list.size());
    std::uint32_t* ids = scratch.batch_ids.data();
    std::size_t count = 0;
    if (filter == nullptr && !test_levels) {
      // A list never repeats an id, so the new ones can be marked after the
      // whole list is read.
      read_list(list, [&](std::uint32_t neighbor) {
        ids[count] = neighbor;
        count += visited[neighbor] != stamp;
      });
      for (std::size_t k = 0; k < count; ++k) visited[ids[k]] = stamp;
      unvisited -= count;
    } else if (filter == nullptr) {
      // Branch-free: a node below the layer fails for the whole call, so
      // marking it visited changes nothing.
      read_list(list, [&](std::uint32_t neighbor) {
        const bool fresh = (levels[neighbor] >= layer) & (visited[neighbor] != stamp);
        visited[neighbor] = stamp;
        ids[count] = neighbor;
        count += fresh;
      });
      unvisited -= count;
    } else {
      // A neighbour failing the filter is not marked visited, but its
      // verdict is kept for the rest of the walk: the node's row and the
      // filter do not change during it, so testing it again would fail again.
      read_list(list, [&](std::uint32_t neighbor) {
        if (levels[neighbor] < layer || visited[neighbor] == stamp) return;
        if (failed[neighbor] == stamp) return;
        if (!passes(neighbor, *filter, position)) {
          failed[neighbor] = stamp;
          return;
        }
        visited[neighbor] = stamp;
        ids[count++] = neighbor;
      });
      unvisited -= count;
    }
    if (count == 0) continue;
    // Nothing is linked yet: stopping here leaves the walk's state behind
    // for the next walk to reset.
    if (interrupt != nullptr && interrupt->after(count * (std::size_t{dim_} + 1))) {
      return HNSWError::Interrupted;
    }
    if (scratch.batch_distances.size() < count) scratch.batch_distances.resize(count);
    double* dist = scratch.batch_distances.data();
    for (std::size_t i = 0; i < count;) {
      std::size_t chunk = count - i;
      std::size_t live = chunk;  // ids[i .. i + live) are scored and may be admitted
      if (out.size() < ef) {
        // Until results is full every neighbour is admitted: score exactly
        // those first.
        chunk = std::min<std::size_t>(ef - out.size(), chunk);
        live = chunk;
        score_exactly(ids + i, chunk, dist + i);
      } else {
        // Full: only d < worst is admitted, and worst never grows while
        // results stays full. A NaN worst admits nothing more.
        const double worst = out.back().distance;
        if (std::isnan(worst)) break;
        // The rows the bounds and the kernel work on, in list order.
        std::uint32_t* rows = ids + i;
        double* scored = dist + i;
        std::size_t listed = count - i;
        bool split = false;
        if (recall) {
          // Rows the memo knows skip the bounds and the kernel; the others
          // go on alone and are merged back in list order below.
          chunk = std::min(bounded_chunk_, chunk);
          live = chunk;
          const std::size_t missing = set_aside(ids + i, chunk);
          if (missing < chunk) {
            split = true;
            rows = scratch.pending_ids.data();
            scored = scratch.pending_distances.data();
            live = missing;
            listed = missing;
          }
        }
        if (scratch.bounding && live > 0) {
          // Skipping a neighbour whose sketch bound reaches the threshold of
          // the worst at the start of the chunk changes nothing. Its computed
          // distance d is proven not below that worst (the proof is beside
          // the bounds, in sketch.cpp), so not below any later, smaller
          // worst either, and the admission test below, strictly d < worst
          // whatever the ids of a tie, would reject it. A rejected neighbour
          // leaves no trace: it was marked visited and counted out of
          // `unvisited` when the batch was gathered, and it enters neither
          // the candidates nor the results. The survivors keep their order,
          // so they are admitted exactly as before. The threshold is NaN
          // for an infinite worst, and a NaN rules nothing out.
          chunk = std::min(bounded_chunk_, chunk);
          live = std::min(live, chunk);
          const std::size_t asked = live;
          live = sketch_.survivors_of(scratch.sketched, sketch_.threshold(worst), rows, asked,
                                      rows);
          listed = live;
          skipped_ += asked - live;
          seen_bounded_ += asked;
          seen_ruled_out_ += asked - live;
          if (seen_bounded_ >= kHistory) {
            seen_bounded_ /= 2;
            seen_ruled_out_ /= 2;
          }
        }
        if (scratch.coding && live > 0) {
          // The code bound of the survivors, against the same worst and
          // with the same argument (its proof is in sketch.cpp).
          chunk = std::min(bounded_chunk_, chunk);
          live = std::min(live, chunk);
          if (worst != code_threshold_of) {
            code_threshold = sketch_.code_threshold(worst);
            code_threshold_of = worst;
          }
          const std::size_t asked = live;
          live = sketch_.code_survivors_of(scratch.sketched, code_threshold, rows, asked, rows);
          listed = live;
          skipped_ += asked - live;
          seen_coded_ += asked;
          seen_code_ruled_out_ += asked - live;
          if (seen_coded_ >= kHistory) {
            seen_coded_ /= 2;
            seen_code_ruled_out_ /= 2;
          }
        }
        constexpr double inf = std::numeric_limits<double>::infinity();
        const bool euclidean = metric_ == metrics::Metric::Euclidean;
        if (euclidean) {
          // A distance is given up (scored +inf) only once its partial sum
          // of squares proves it cannot end below the worst at the start of
          // the chunk, and so not below any later, smaller worst either.
          chunk = std::min(bounded_chunk_, chunk);
          live = std::min(live, chunk);
          if (worst != bound_of) {
            bound = metrics::euclidean_bound(worst);
            bound_of = worst;
          }
          if (live > 0) {
            metrics::euclidean_rows_bounded(query, base, dim_, rows, live, listed, bound, scored);
          }
        } else if (live > 0) {
          metrics::score_rows(metric_, query, base, dim_, rows, live, scored);
        }
        if (record && live > 0) {
          for (std::size_t z = 0; z < live; ++z) {
            if (!euclidean || scored[z] != inf) remember(rows[z], scored[z]);
          }
          scratch.memo_any = true;
        }
        if (split) {
          // The chunk in list order: a row that went on is the next of the
          // rows in order (a batch never repeats an id), a row the memo knew
          // takes its recorded distance, and a row the bounds ruled out is
          // dropped, as without the memo.
          std::size_t kept = 0;
          for (std::size_t z = 0, p = 0; z < chunk; ++z) {
            const std::uint32_t id = ids[i + z];
            double d;
            if (p < live && rows[p] == id) {
              d = scored[p++];
            } else if (known(id)) {
              d = memo_distance[id];
            } else {
              continue;
            }
            ids[i + kept] = id;
            dist[i + kept] = d;
            ++kept;
          }
          live = kept;
        }
      }
      for (std::size_t j = i; j < i + live; ++j) {
        const double d = dist[j];
        if (out.size() >= ef && !(d < out.back().distance)) continue;
        const Scored scored{d, ids[j]};
        // The list of a candidate is read when it is expanded, and where it
        // lies is asked for one expansion earlier (prefetch_head): its
        // header, a random one of thousands, is fetched now.
        __builtin_prefetch(&lists[ids[j]]);
        candidates.push_back(candidate_key(d, ids[j]));
        std::push_heap(candidates.begin(), candidates.end(), after);
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(result_position(out, d)), scored);
        if (out.size() > ef) out.pop_back();
      }
      i += chunk;
    }
  }
  return std::nullopt;
}

std::optional<HNSWError> HNSW::search(std::span<const double> query, std::uint32_t k,
                                      const filter::Filter* filter,
                                      std::vector<Scored>& out) const {
  out.clear();
  if (count_ == 0) return std::nullopt;
  if (layers_ == 0) return HNSWError::InvalidLayer;
  const ScratchLease scratch(*this);
  prepare_bounds(query, false, *scratch);
  std::uint32_t entry = 0;
  for (std::uint32_t layer = layers_ - 1; layer >= 1; --layer) {
    if (auto error = search_layer(entry, query, 1, layer, filter, 0, *scratch, out)) return error;
    entry = out.front().id;
  }
  if (auto error = search_layer(entry, query, ef_search_, 0, filter, 0, *scratch, out)) {
    return error;
  }
  if (filter != nullptr && !passes(entry, *filter, filter::attribute_position(*schema_, *filter))) {
    auto it = std::find_if(out.begin(), out.end(), [&](const Scored& s) { return s.id == entry; });
    if (it != out.end()) out.erase(it);
  }
  const std::size_t keep = std::max<std::uint32_t>(k, 1);
  if (out.size() > keep) out.resize(keep);
  return std::nullopt;
}

std::span<const metadata::Metadata> HNSW::row(std::uint32_t id) const {
  if (row_width_ == 0 || id >= count_ || has_row_[id] == 0) return {};
  return {metadata_.data() + static_cast<std::size_t>(id) * row_width_, row_width_};
}

namespace {

template <class T, class A>
std::size_t held(const std::vector<T, A>& v) {
  return v.capacity() * sizeof(T);
}

std::size_t held(const std::vector<std::vector<std::uint32_t>>& lists) {
  std::size_t bytes = held<std::vector<std::uint32_t>>(lists);
  for (const auto& list : lists) bytes += held(list);
  return bytes;
}

}  // namespace

std::size_t HNSW::memory_bytes() const {
  std::size_t bytes = held(vectors_) + held(levels_) + held(links_) + held(metadata_) +
                      held(has_row_) + held(own_marks_) + held(layer_size_) +
                      held(level_weights_) + held(idle_scratch_) + sketch_.memory_bytes();
  for (const auto& lists : upper_) bytes += held(lists);
  for (const auto& scratch : idle_scratch_) {
    bytes += sizeof(SearchScratch) + held(scratch->visit_stamps) + held(scratch->filter_stamps) +
             held(scratch->candidates) +
             held(scratch->batch_ids) + held(scratch->batch_distances) +
             held(scratch->sketched.record) + held(scratch->sketched.codes) +
             held(scratch->memo_at) + held(scratch->memo_distance) +
             held(scratch->pending_ids) + held(scratch->pending_distances);
  }
  return bytes;
}

std::vector<std::uint32_t> HNSW::neighbors_of(std::uint32_t node) const {
  if (node >= count_) return {};
  return links_[node];
}

std::vector<std::uint32_t> HNSW::neighbors_of(std::uint32_t node, std::uint32_t layer) const {
  if (node >= count_ || layer >= layers_) return {};
  if (layer == 0) return links_[node];
  std::vector<std::uint32_t> out;
  for (std::uint32_t neighbor : upper_[std::min(layer, layer_lists_) - 1][node]) {
    if (levels_[neighbor] >= layer) out.push_back(neighbor);
  }
  return out;
}

void HNSW::flat_view(std::vector<std::uint32_t>& neighbors,
                     std::vector<std::uint32_t>& offsets) const {
  neighbors.clear();
  offsets.clear();
  offsets.reserve(count_);
  for (const auto& list : links_) {
    offsets.push_back(static_cast<std::uint32_t>(neighbors.size()));
    neighbors.insert(neighbors.end(), list.begin(), list.end());
  }
}

}  // namespace tarsim::hnsw
