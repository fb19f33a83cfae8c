#include "tree_model.h"

namespace kelm {
namespace {

TEST(TreeModel, SmallRunMergesOn) { testing::run_model(1, 30000, true, 7000, 256 * 1024); }
TEST(TreeModel, SmallRunMergesOff) { testing::run_model(2, 30000, false, 7000, 256 * 1024); }

}  // namespace
}  // namespace kelm
