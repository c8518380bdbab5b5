// Placeholder so that the module links while the forest is being written; replaced by the real
// implementation before anything depends on it.
#include "forest/forest.hpp"

#include "support/error.hpp"

namespace lindorf {

Labels Forest::predict(MatrixView) const { fail("forests are not built yet"); }

Forest grow_forest(MatrixView, std::span<const Label>, std::uint32_t, std::uint32_t, WorkerPool*) {
    fail("forests are not built yet");
}

Label mode(std::span<const Label>) { fail("forests are not built yet"); }

}  // namespace lindorf
