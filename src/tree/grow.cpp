// Placeholder so that the module links while growth is being written; replaced by the real
// implementation before anything depends on it.
#include "tree/grow.hpp"

#include "support/error.hpp"

namespace lindorf {

Tree grow_tree_(MatrixView, std::span<const Label>, std::uint32_t, std::uint32_t, WorkerPool*) {
    fail("tree growth is not built yet");
}

FeatureOrder sort_features(MatrixView, WorkerPool*) { fail("tree growth is not built yet"); }

Tree grow_tree_on_sample(MatrixView, std::span<const Label>, const FeatureOrder&,
                         std::span<const std::uint32_t>, std::uint32_t, WorkerPool*) {
    fail("tree growth is not built yet");
}

}  // namespace lindorf
