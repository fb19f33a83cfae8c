#include "kv/pagecache/snapshot.h"

#include <fcntl.h>

#include <algorithm>

#include <fmt/format.h>

#include "common/crc32.h"
#include "common/durable_file.h"
#include "common/log.h"
#include "kv/file_io.h"
#include "kv/pagecache/iterator.h"
#include "kv/serialization/varint.h"

namespace kelm::pagecache {

namespace fs = std::filesystem;
using serialization::append_varint;
using serialization::varint_size;

namespace {
constexpr const char* kTarget = "kelm::pagecache::snapshot";

std::string opt_debug(const std::optional<int64_t>& v) { return v ? fmt::format("Some({})", *v) : "None"; }
std::string opt_debug(const std::optional<uint64_t>& v) { return v ? fmt::format("Some({})", *v) : "None"; }

void put_i64(std::vector<uint8_t>& out, int64_t v) {
  uint8_t b[8];
  store_u64_le(b, static_cast<uint64_t>(v));
  out.insert(out.end(), b, b + 8);
}

void put_ptr(std::vector<uint8_t>& out, const DiskPtr& p) {
  out.push_back(p.is_blob() ? 1 : 0);
  append_varint(p.offset, out);
  if (p.is_blob()) put_i64(out, p.blob);
}

void put_frag(std::vector<uint8_t>& out, const Fragment& f) {
  put_i64(out, f.lsn);
  put_ptr(out, f.ptr);
  append_varint(f.size, out);
}

struct Reader {
  std::span<const uint8_t> in;
  size_t at = 0;
  bool done() const { return at >= in.size(); }
  Result<uint8_t> byte() {
    if (at >= in.size()) return std::unexpected(Error::corruption());
    return in[at++];
  }
  Result<int64_t> i64() {
    if (in.size() - at < 8) return std::unexpected(Error::corruption());
    int64_t v = static_cast<int64_t>(load_u64_le(in.data() + at));
    at += 8;
    return v;
  }
  Result<uint64_t> varint() {
    auto v = serialization::read_varint(in.subspan(at));
    if (!v) return std::unexpected(Error::corruption());
    at += v->size;
    return v->value;
  }
  Result<DiskPtr> ptr() {
    auto tag = byte();
    if (!tag) return std::unexpected(tag.error());
    auto lid = varint();
    if (!lid) return std::unexpected(lid.error());
    if (*tag == 0) return DiskPtr::inline_at(*lid);
    if (*tag != 1) return std::unexpected(Error::corruption());
    auto id = i64();
    if (!id) return std::unexpected(id.error());
    return DiskPtr::blob_at(*lid, *id);
  }
  Result<Fragment> frag() {
    auto lsn = i64();
    if (!lsn) return std::unexpected(lsn.error());
    auto p = ptr();
    if (!p) return std::unexpected(p.error());
    auto sz = varint();
    if (!sz) return std::unexpected(sz.error());
    return Fragment{*lsn, *p, *sz};
  }
};

Lsn normalize(Lsn lsn, uint64_t segment_size) { return lsn - lsn % static_cast<Lsn>(segment_size); }

}  // namespace

std::string fragment_debug(const Fragment& f) { return fmt::format("({}, {}, {})", f.lsn, f.ptr.debug(), f.size); }

std::string snapshot_debug(const Snapshot& s) {
  std::string states;
  for (const auto& p : s.pt) states += (states.empty() ? "" : ", ") + p.debug();
  return fmt::format("Snapshot {{ stable_lsn: {}, active_segment: {}, pt: [{}] }}", opt_debug(s.stable_lsn),
                     opt_debug(s.active_segment), states);
}

bool same_snapshot(const Snapshot& a, const Snapshot& b) {
  if (a.stable_lsn != b.stable_lsn || a.active_segment != b.active_segment || a.pt.size() != b.pt.size()) return false;
  for (size_t i = 0; i < a.pt.size(); ++i) {
    const PageState& x = a.pt[i];
    const PageState& y = b.pt[i];
    if (x.kind != y.kind) return false;
    if (x.kind == PageState::Kind::Present && (x.base != y.base || x.frags != y.frags)) return false;
    if (x.kind == PageState::Kind::Free && (x.base.lsn != y.base.lsn || x.base.ptr != y.base.ptr)) return false;
  }
  return true;
}

Result<void> apply_to_snapshot(Snapshot& snap, LogKind kind, PageId pid, Lsn lsn, DiskPtr pointer, uint64_t size) {
  auto& pt = snap.pt;
  ZLOG(Trace, kTarget, "trying to deserialize buf for pid {} ptr {} lsn {}", pid, pointer.debug(), lsn);
  bool extended = false;
  if (pid >= pt.size()) {
    // Page ids come from checksummed messages, but a huge one would still
    // size an allocation: no page table reaches beyond 2^37 ids.
    if (pid > (uint64_t{1} << 37)) return std::unexpected(Error::corruption());
    pt.resize(pid + 1);
    extended = true;
  }
  PageState& state = pt[pid];
  switch (kind) {
    case LogKind::Replace:
      ZLOG(Trace, kTarget, "compact of pid {} at ptr {} lsn {}", pid, pointer.debug(), lsn);
      state = present_page(Fragment{lsn, pointer, size});
      return {};
    case LogKind::Link: {
      if (state.kind == PageState::Kind::Present) {
        ZLOG(Trace, kTarget, "append of pid {} at lid {} lsn {}", pid, pointer.offset, lsn);
        Lsn last = state.frags.empty() ? state.base.lsn : state.frags.back().lsn;
        Fragment f{lsn, pointer, size};
        if (last < lsn) {
          state.frags.push_back(f);
        } else {
          std::string frags;
          for (const auto& x : state.frags) frags += (frags.empty() ? "" : ", ") + fragment_debug(x);
          ZLOG(Debug, kTarget, "skipping merging item {} into existing PageState::Present([{}])", fragment_debug(f),
               frags);
        }
        return {};
      }
      ZLOG(Trace, kTarget, "skipping dangling append of pid {} at lid {} lsn {}", pid, pointer.offset, lsn);
      if (extended) {
        bool placeholder = pt.back().kind == PageState::Kind::Uninitialized;
        pt.pop_back();
        if (!placeholder) {
          ZLOG(Error, kTarget, "expected previous page state to be uninitialized");
          return std::unexpected(Error::corruption());
        }
      }
      return {};
    }
    case LogKind::Free:
      ZLOG(Trace, kTarget, "free of pid {} at ptr {} lsn {}", pid, pointer.debug(), lsn);
      state = free_page(lsn, pointer);
      return {};
    case LogKind::Skip: break;
  }
  ZLOG(Error, kTarget, "unexpected messagekind in snapshot application for pid {}: {}", pid, log_kind_name(kind));
  return std::unexpected(Error::corruption());
}

Result<std::vector<uint8_t>> serialize_snapshot_body(const Snapshot& s) {
  std::vector<uint8_t> out;
  int64_t stable = !s.stable_lsn ? 0 : (*s.stable_lsn >= 0 ? *s.stable_lsn + 1 : *s.stable_lsn);
  put_i64(out, stable);
  append_varint(s.active_segment ? *s.active_segment + 1 : 0, out);
  for (const auto& state : s.pt) {
    if (state.kind == PageState::Kind::Present) {
      if (state.frags.size() > kMaxSnapshotFrags)
        return std::unexpected(Error::reportable_bug(fmt::format("tried to serialize {}", state.debug())));
      out.push_back(static_cast<uint8_t>(state.frags.size() + 1));
      put_frag(out, state.base);
      for (const auto& f : state.frags) put_frag(out, f);
    } else if (state.kind == PageState::Kind::Free) {
      out.push_back(0);
      put_i64(out, state.base.lsn);
      put_ptr(out, state.base.ptr);
    } else {
      return std::unexpected(Error::reportable_bug(fmt::format("tried to serialize {}", state.debug())));
    }
  }
  return out;
}

Result<Snapshot> deserialize_snapshot_body(std::span<const uint8_t> body) {
  Reader r{body};
  Snapshot s;
  auto stable = r.i64();
  if (!stable) return std::unexpected(stable.error());
  if (*stable != 0) s.stable_lsn = *stable > 0 ? *stable - 1 : *stable;
  auto active = r.varint();
  if (!active) return std::unexpected(active.error());
  if (*active != 0) s.active_segment = *active - 1;
  while (!r.done()) {
    auto tag = r.byte();
    if (!tag) return std::unexpected(tag.error());
    PageState state;
    if (*tag == 0) {
      auto lsn = r.i64();
      if (!lsn) return std::unexpected(lsn.error());
      auto p = r.ptr();
      if (!p) return std::unexpected(p.error());
      state = free_page(*lsn, *p);
    } else {
      auto base = r.frag();
      if (!base) return std::unexpected(base.error());
      state = present_page(*base);
      for (int i = 1; i < *tag; ++i) {
        auto f = r.frag();
        if (!f) return std::unexpected(f.error());
        state.frags.push_back(*f);
      }
    }
    s.pt.push_back(std::move(state));
  }
  return s;
}

std::string snapshot_file_name(std::optional<Lsn> stable_lsn) {
  return fmt::format("snap.{:016X}", static_cast<uint64_t>(stable_lsn.value_or(0)));
}

Result<std::vector<fs::path>> list_snapshot_files(const fs::path& dir) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return std::unexpected(Error::io(zudizid::common::IoError::from_os(ec.value())));
  std::vector<fs::path> out;
  const std::string prefix = (dir / "snap.").string();
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return std::unexpected(Error::io(zudizid::common::IoError::from_os(ec.value())));
    std::string p = it->path().string();
    if (p.starts_with(prefix) && !p.ends_with(".in___motion")) out.push_back(it->path());
  }
  return out;
}

Result<std::optional<Snapshot>> read_snapshot(const LogConfig& config) {
  auto candidates = list_snapshot_files(config.path);
  if (!candidates) return std::unexpected(candidates.error());
  if (candidates->empty()) {
    ZLOG(Debug, kTarget, "no previous snapshot found");
    return std::optional<Snapshot>();
  }
  std::sort(candidates->begin(), candidates->end(),
            [](const fs::path& a, const fs::path& b) { return a.string() < b.string(); });
  const fs::path& newest = candidates->back();
  auto f = PosixFile::open(newest, O_RDONLY);
  if (!f) return std::unexpected(Error::io(f.error()));
  auto len = (*f)->len();
  if (!len) return std::unexpected(Error::io(len.error()));
  std::vector<uint8_t> bytes(*len);
  auto got = read_up_to_at(**f, bytes.data(), bytes.size(), 0);
  if (!got) return std::unexpected(Error::io(got.error()));
  bytes.resize(*got);
  if (bytes.size() < 13) {
    ZLOG(Warn, kTarget, "empty/corrupt snapshot file found");
    return std::optional<Snapshot>();
  }
  std::span<const uint8_t> body(bytes.data(), bytes.size() - 12);
  uint32_t stored = load_u32_le(bytes.data() + bytes.size() - 4);
  if (zudizid::common::crc32(body) != stored) {
    ZLOG(Warn, kTarget, "corrupt snapshot file found, crc does not match expected");
    return std::optional<Snapshot>();
  }
  auto snapshot = deserialize_snapshot_body(body);
  if (!snapshot) return std::unexpected(snapshot.error());
  return std::optional<Snapshot>(std::move(*snapshot));
}

Result<void> write_snapshot(const LogConfig& config, const Snapshot& snapshot) {
  ZLOG(Trace, kTarget, "writing snapshot {}", snapshot_debug(snapshot));
  auto body = serialize_snapshot_body(snapshot);
  if (!body) return std::unexpected(body.error());
  uint32_t crc = zudizid::common::crc32(*body);
  const fs::path final_path = config.path / snapshot_file_name(snapshot.stable_lsn);
  const fs::path tmp_path = config.path / (snapshot_file_name(snapshot.stable_lsn) + ".generating");
  std::error_code ec;
  fs::create_directories(tmp_path.parent_path(), ec);
  if (ec) return std::unexpected(Error::io(zudizid::common::IoError::from_os(ec.value())));

  // A leftover ".generating" file from a crash during an earlier write of the
  // same name is truncated, so no stale bytes sit behind the new checksum.
  uint8_t trailer[12];
  store_u64_le(trailer, body->size());
  store_u32_le(trailer + 8, crc);
  body->insert(body->end(), trailer, trailer + 12);
  zudizid::common::DurableWriteOptions temp;
  temp.temp_suffix = ".generating";
  if (auto r = zudizid::common::write_file_durably(final_path, *body, temp); !r)
    return std::unexpected(Error::io(std::move(r.error().error)));
  ZLOG(Trace, kTarget, "wrote snapshot to {}", tmp_path.string());
  ZLOG(Trace, kTarget, "renamed snapshot to {}", final_path.string());

  auto candidates = list_snapshot_files(config.path);
  if (!candidates) return std::unexpected(candidates.error());
  const std::string final_text = final_path.string();
  for (const auto& c : *candidates) {
    if (final_text.ends_with(c.filename().string())) continue;
    ZLOG(Debug, kTarget, "removing old snapshot file {}", c.string());
    if (!fs::remove(c, ec) && ec)
      ZLOG(Warn, kTarget, "failed to remove old snapshot file, maybe snapshot race? {}",
           zudizid::common::IoError::from_os(ec.value()).display());
  }
  return {};
}

Result<Snapshot> advance_snapshot(LogIter& iter, Snapshot snapshot, const LogConfig& config) {
  const uint64_t S = config.segment_size;
  ZLOG(Trace, kTarget, "building on top of old snapshot: {}", snapshot_debug(snapshot));
  const std::optional<Lsn> old = snapshot.stable_lsn;
  while (auto item = iter.next()) {
    ZLOG(Trace, kTarget, "in advance_snapshot looking at item with pid {} lsn {} ptr {}", item->pid, item->lsn,
         item->pointer.debug());
    if (item->lsn < snapshot.stable_lsn.value_or(-1)) {
      ZLOG(Trace, kTarget, "continuing in advance_snapshot, lsn {} ptr {} stable_lsn {}", item->lsn,
           item->pointer.debug(), snapshot.stable_lsn.value_or(-1));
      continue;
    }
    if (!iter.max_lsn) return std::unexpected(Error::reportable_bug("advance_snapshot needs an iterator with max_lsn"));
    if (item->lsn >= *iter.max_lsn) {
      ZLOG(Error, kTarget, "lsn {} >= iter max_lsn {}", item->lsn, *iter.max_lsn);
      return std::unexpected(Error::corruption());
    }
    if (auto r = apply_to_snapshot(snapshot, item->kind, item->pid, item->lsn, item->pointer, item->size); !r)
      return std::unexpected(r.error());
  }
  if (iter.io_error) return std::unexpected(*iter.io_error);

  const std::optional<Lsn> cur = iter.cur_lsn;
  const bool no_progress = !cur || *cur <= snapshot.stable_lsn.value_or(0);
  if (no_progress && !snapshot.stable_lsn) {
    ZLOG(Trace, kTarget, "db is empty, returning default snapshot");
    if (snapshot.active_segment || !snapshot.pt.empty()) {
      ZLOG(Error, kTarget, "expected snapshot to be Snapshot::default");
      return std::unexpected(Error::corruption());
    }
  } else if (!cur) {
    ZLOG(Trace, kTarget,
         "no recovery progress happened since the last snapshot was generated, returning the previous one");
  } else {
    const Lsn c = *cur;
    const uint64_t progress = static_cast<uint64_t>(c % static_cast<Lsn>(S));
    if (!(progress >= kSegHeaderLen || (progress == 0 && !iter.segment_base))) {
      ZLOG(Error, kTarget, "expected segment progress {} to be above SEG_HEADER_LEN or == 0, cur_lsn: {}", progress, c);
      return std::unexpected(Error::corruption());
    }
    Lsn new_stable;
    std::optional<LogOffset> new_active;
    if (progress + kMaxMsgHeaderLen >= S) {
      new_stable = normalize(c, S) + static_cast<Lsn>(S);
      ZLOG(Trace, kTarget, "bumping snapshot.stable_lsn to {}", new_stable);
    } else if (iter.segment_base) {
      const LogOffset base = iter.segment_base->lid;
      const LogOffset start = base + progress;
      const uint64_t length = S - progress - 1;  // the segment's last byte is left alone
      ZLOG(Debug, kTarget, "zeroing the end of the recovered segment at lsn {} between lids {} and {}",
           normalize(c, S), start, start + length);
      if (auto r = write_zeros_at(*config.file, length, start); !r) return std::unexpected(Error::io(r.error()));
      if (auto r = config.file->sync_all(); !r) return std::unexpected(Error::io(r.error()));
      new_stable = c;
      new_active = base;
    } else {
      new_stable = c;
    }
    if (new_stable < snapshot.stable_lsn.value_or(0)) {
      ZLOG(Error, kTarget,
           "unexpected corruption encountered in storage snapshot file. stable lsn {} should be >= "
           "snapshot.stable_lsn {}",
           new_stable, snapshot.stable_lsn.value_or(0));
      return std::unexpected(Error::corruption());
    }
    snapshot.stable_lsn = new_stable;
    snapshot.active_segment = new_active;
  }
  ZLOG(Trace, kTarget, "generated snapshot: {}", snapshot_debug(snapshot));
  if (snapshot.stable_lsn < old) {  // nullopt orders below every value
    ZLOG(Error, kTarget, "unexpected corruption encountered in storage snapshot file");
    return std::unexpected(Error::corruption());
  }
  if (snapshot.stable_lsn > old) {
    if (auto r = write_snapshot(config, snapshot); !r) return std::unexpected(r.error());
  }
  return snapshot;
}

RecoveredTip recovered_tip(const Snapshot& snapshot, uint64_t segment_size) {
  if (!snapshot.stable_lsn) return {};
  const Lsn s = *snapshot.stable_lsn;
  const Lsn S = static_cast<Lsn>(segment_size);
  if (snapshot.active_segment) return {*snapshot.active_segment + static_cast<LogOffset>(s % S), s};
  Lsn next = s % S == 0 ? s : normalize(s, segment_size) + S;
  return {std::nullopt, next};
}

}  // namespace kelm::pagecache
