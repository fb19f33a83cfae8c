#include "kv/pagecache/log_api.h"

namespace kelm::pagecache {

std::optional<MessageKind> message_kind_for(PageId pid, LogKind kind, bool blob) {
  switch (kind) {
    case LogKind::Replace:
      if (pid == kCounterPid) return blob ? std::nullopt : std::optional(MessageKind::Counter);
      if (pid == kMetaPid) return blob ? MessageKind::BlobMeta : MessageKind::InlineMeta;
      if (pid == kBatchManifestPid) return std::nullopt;
      return blob ? MessageKind::BlobNode : MessageKind::InlineNode;
    case LogKind::Link:
      return blob ? MessageKind::BlobLink : MessageKind::InlineLink;
    case LogKind::Free:
      return blob ? std::nullopt : std::optional(MessageKind::Free);
    case LogKind::Skip:
      return (pid == kBatchManifestPid && !blob) ? std::optional(MessageKind::BatchManifest) : std::nullopt;
  }
  return std::nullopt;
}

std::string PageState::debug() const {
  auto frag = [](const Fragment& f) {
    return "(" + std::to_string(f.lsn) + ", " + f.ptr.debug() + ", " + std::to_string(f.size) + ")";
  };
  switch (kind) {
    case Kind::Present: {
      std::string s = "Present { base: " + frag(base) + ", frags: [";
      for (size_t i = 0; i < frags.size(); ++i) s += (i ? ", " : "") + frag(frags[i]);
      return s + "] }";
    }
    case Kind::Free:
      return "Free(" + std::to_string(base.lsn) + ", " + base.ptr.debug() + ")";
    case Kind::Uninitialized:
      return "Uninitialized";
  }
  return "?";
}

}  // namespace kelm::pagecache
