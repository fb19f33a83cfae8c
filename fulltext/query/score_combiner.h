// How a combinator folds the scores of its matching members: summed in
// single precision (scoring searches) or not at all, every document scoring
// 1.0 (counting, filtering, scoring disabled).
#pragma once

namespace fendral::query {

enum class ScoreCombiner { Summing, Unit };

}  // namespace fendral::query
