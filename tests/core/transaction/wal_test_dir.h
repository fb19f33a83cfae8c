#pragma once

#include "../wal/wal_test_util.h"

namespace zudizid::transaction::testing {
using wal::testing::TempDir;
}
