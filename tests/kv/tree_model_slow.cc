// A million random operations per merge setting.
#include "tree_model.h"

namespace kelm {
namespace {

TEST(TreeModelSlow, MillionOpsMergesOn) { testing::run_model(11, 1000000, true, 250000, 64 << 20); }
TEST(TreeModelSlow, MillionOpsMergesOff) { testing::run_model(12, 1000000, false, 250000, 64 << 20); }

}  // namespace
}  // namespace kelm
