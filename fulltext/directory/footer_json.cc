#include "fulltext/directory/footer.h"

namespace fendral {

IoResult<Footer> Footer::from_json(std::string_view text) {
  return io_fail(IoErrorKind::InvalidData, "footer JSON reader not available");
}

}  // namespace fendral
