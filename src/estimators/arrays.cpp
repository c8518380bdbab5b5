#include "estimators/arrays.hpp"

namespace lindorf::estimators {

MatrixView rows_of(const FeatureArray& x) {
    return {x.data(), x.shape(0), x.shape(1)};
}

}  // namespace lindorf::estimators
