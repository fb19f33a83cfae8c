#include "kv/error.h"

namespace kelm {

using zudizid::common::debug_quote;

Error Error::clone() const {
  if (auto* io = get_if<Io>()) return Error(Io{zudizid::common::IoError(io->error.kind(), io->error.debug())});
  return *this;
}

namespace {

std::string at_debug(const std::optional<DiskPtr>& at) { return at ? "Some(" + at->debug() + ")" : "None"; }

}  // namespace

std::string Error::display() const {
  struct V {
    std::string operator()(const CollectionNotFound& e) const { return "Collection " + e.name.debug() + " does not exist"; }
    std::string operator()(const Unsupported& e) const { return "Unsupported: " + e.text; }
    std::string operator()(const ReportableBug& e) const {
      return "Unexpected bug has happened: " + e.text + ". PLEASE REPORT THIS BUG!";
    }
    std::string operator()(const Io& e) const { return "IO error: " + e.error.display(); }
    std::string operator()(const Corruption& e) const {
      return "Read corrupted data at file offset " + at_debug(e.at) + " backtrace ()";
    }
  };
  return std::visit(V{}, v_);
}

std::string Error::debug(bool alternate) const {
  auto tuple = [alternate](std::string_view name, const std::string& payload) {
    if (alternate) return std::string(name) + "(\n    " + payload + ",\n)";
    return std::string(name) + "(" + payload + ")";
  };
  if (auto* e = get_if<CollectionNotFound>()) return tuple("CollectionNotFound", e->name.debug());
  if (auto* e = get_if<Unsupported>()) return tuple("Unsupported", debug_quote(e->text));
  if (auto* e = get_if<ReportableBug>()) return tuple("ReportableBug", debug_quote(e->text));
  if (auto* e = get_if<Io>()) return tuple("Io", e->error.debug());
  const auto& c = std::get<Corruption>(v_);
  if (alternate) return "Corruption {\n    at: " + at_debug(c.at) + ",\n    bt: (),\n}";
  return "Corruption { at: " + at_debug(c.at) + ", bt: () }";
}

}  // namespace kelm
