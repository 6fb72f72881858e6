// Compiled with the sketch layer's include path only: the graph index sits
// above the sketch, so this include must not be found.
#include "hnsw/hnsw.hpp"
