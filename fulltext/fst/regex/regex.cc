#include "fulltext/fst/regex/regex.h"

#include <map>

#include "fulltext/fst/regex/utf8_sequences.h"

namespace fendral::fst::regex {

std::string Error::display() const {
  switch (kind) {
    case Kind::SyntaxError: return syntax;
    case Kind::ProgramTooLarge: return "Compiled regex exceeds size limit of " + std::to_string(limit) + " bytes";
    case Kind::StateLimitExceeded: return "Compiled regex exceeds size limit of " + std::to_string(limit) + " states";
    case Kind::LazyRepetition: return "Lazy reptition operators such as '+?' are not allowed.";
    case Kind::EmptyMatch: return "Empty match operators are not allowed (hopefully temporary).";
    case Kind::ByteLiteral: return "Byte literals are not allowed.";
    case Kind::WordBoundary: return "Word boundary operators are not allowed.";
  }
  return "";
}

namespace {

using Op = Instruction::Op;

class Compiler {
 public:
  std::expected<void, Error> node(const Hir& h) {
    switch (h.kind) {
      case Hir::Kind::Empty:
        break;
      case Hir::Kind::Literal: {
        uint8_t buf[4];
        size_t n = encode_utf8(h.ch, buf);
        for (size_t i = 0; i < n; ++i) push({Op::Range, buf[i], buf[i]});
        break;
      }
      case Hir::Kind::Class:
        if (h.ranges.empty()) {
          // A class without members matches nothing, and so does its branch.
          push({Op::Range, 1, 0});
          break;
        }
        alternatives(h.ranges.size(), [&](size_t i) { scalar_range(h.ranges[i].lo, h.ranges[i].hi); });
        break;
      case Hir::Kind::ByteClass:
        return std::unexpected(Error{Error::Kind::ByteLiteral, {}, 0});
      case Hir::Kind::Look:
        return std::unexpected(Error{Error::Kind::EmptyMatch, {}, 0});
      case Hir::Kind::Repetition:
        if (!h.greedy) return std::unexpected(Error{Error::Kind::LazyRepetition, {}, 0});
        return repetition(h);
      case Hir::Kind::Group:
        return node(h.subs[0]);
      case Hir::Kind::Concat:
        for (const Hir& s : h.subs) {
          if (auto r = node(s); !r) return r;
        }
        break;
      case Hir::Kind::Alternation: {
        std::expected<void, Error> status;
        alternatives(h.subs.size(), [&](size_t i) {
          if (status) status = node(h.subs[i]);
        });
        if (!status) return status;
        break;
      }
    }
    return check_size();
  }

  std::vector<Instruction> take() {
    push({Op::Match, 0, 0});
    return std::move(prog_);
  }

 private:
  std::expected<void, Error> check_size() const {
    if (kInstructionSize * prog_.size() > kProgramSizeLimit) {
      return std::unexpected(Error{Error::Kind::ProgramTooLarge, {}, kProgramSizeLimit});
    }
    return {};
  }

  uint32_t push(Instruction i) {
    prog_.push_back(i);
    return static_cast<uint32_t>(prog_.size() - 1);
  }
  uint32_t here() const { return static_cast<uint32_t>(prog_.size()); }

  // k branches: every one but the last behind a Split and followed by a Jump
  // to the end.
  template <class F>
  void alternatives(size_t k, F&& branch) {
    std::vector<uint32_t> jumps;
    for (size_t i = 0; i + 1 < k; ++i) {
      uint32_t split = push({Op::Split, 0, 0});
      branch(i);
      jumps.push_back(push({Op::Jump, 0, 0}));
      prog_[split].a = split + 1;
      prog_[split].b = here();
      if (!check_size()) return;  // the caller's size check reports it
    }
    if (k > 0) branch(k - 1);
    for (uint32_t j : jumps) prog_[j].a = here();
  }

  void scalar_range(uint32_t lo, uint32_t hi) {
    std::vector<Utf8Sequence> seqs = utf8_sequences(lo, hi);
    alternatives(seqs.size(), [&](size_t i) {
      for (ByteRange r : seqs[i]) push({Op::Range, r.lo, r.hi});
    });
  }

  std::expected<void, Error> repetition(const Hir& h) {
    const Hir& sub = h.subs[0];
    for (uint32_t i = 0; i < h.min; ++i) {
      if (auto r = node(sub); !r) return r;
    }
    if (h.bounded) {
      std::vector<uint32_t> splits;
      for (uint32_t i = h.min; i < h.max; ++i) {
        splits.push_back(push({Op::Split, 0, 0}));
        if (auto r = node(sub); !r) return r;
      }
      for (uint32_t s : splits) {
        prog_[s].a = s + 1;
        prog_[s].b = here();
      }
    } else {
      uint32_t split = push({Op::Split, 0, 0});
      if (auto r = node(sub); !r) return r;
      push({Op::Jump, split, 0});
      prog_[split].a = split + 1;
      prog_[split].b = here();
    }
    return check_size();
  }

  std::vector<Instruction> prog_;
};

void add_closure(const std::vector<Instruction>& prog, SparseSet& set, uint32_t ip) {
  // Explicit stack: closures of long programs would recurse deeply.
  std::vector<uint32_t> stack{ip};
  while (!stack.empty()) {
    uint32_t at = stack.back();
    stack.pop_back();
    while (!set.contains(at)) {
      set.insert(at);
      const Instruction& in = prog[at];
      if (in.op == Op::Jump) {
        at = in.a;
      } else if (in.op == Op::Split) {
        stack.push_back(in.b);
        at = in.a;
      } else {
        break;
      }
    }
  }
}

}  // namespace

std::expected<std::vector<Instruction>, Error> compile(const Hir& hir) {
  Compiler c;
  if (auto r = c.node(hir); !r) return std::unexpected(r.error());
  return c.take();
}

std::expected<Dfa, Error> Dfa::build(std::vector<Instruction> program) {
  Dfa dfa;
  dfa.program = std::move(program);
  const auto& prog = dfa.program;
  std::map<std::vector<uint32_t>, uint32_t> known;
  auto cached_state = [&](const SparseSet& set) -> int32_t {
    std::vector<uint32_t> insts;
    bool is_match = false;
    for (size_t i = 0; i < set.len(); ++i) {
      const Instruction& in = prog[set.at(i)];
      if (in.op == Op::Match) is_match = true;
      // A range that admits no byte (an empty class) leads nowhere.
      if (in.op == Op::Match || (in.op == Op::Range && in.a <= in.b)) insts.push_back(set.at(i));
    }
    if (insts.empty()) return -1;
    auto it = known.find(insts);
    if (it != known.end()) return static_cast<int32_t>(it->second);
    uint32_t id = static_cast<uint32_t>(dfa.states.size());
    dfa.states.push_back(DfaState{insts, std::vector<int32_t>(256, -1), is_match});
    known.emplace(std::move(insts), id);
    return static_cast<int32_t>(id);
  };
  SparseSet current(prog.size());
  SparseSet next(prog.size());
  add_closure(prog, current, 0);
  if (cached_state(current) < 0) {
    // The start admits nothing: a single dead-end state keeps state 0 valid.
    dfa.states.push_back(DfaState{{}, std::vector<int32_t>(256, -1), false});
    return dfa;
  }
  std::vector<uint32_t> work{0};
  std::vector<bool> queued{true};
  while (!work.empty()) {
    uint32_t s = work.back();
    work.pop_back();
    for (uint32_t b = 0; b < 256; ++b) {
      next.clear();
      for (uint32_t ip : dfa.states[s].insts) {
        const Instruction& in = prog[ip];
        if (in.op == Op::Range && in.a <= b && b <= in.b) add_closure(prog, next, ip + 1);
      }
      int32_t succ = cached_state(next);
      dfa.states[s].next[b] = succ;
      if (succ >= 0) {
        if (queued.size() <= static_cast<size_t>(succ)) queued.resize(succ + 1, false);
        if (!queued[succ]) {
          queued[succ] = true;
          work.push_back(static_cast<uint32_t>(succ));
        }
      }
      if (dfa.states.size() > kStateLimit) {
        return std::unexpected(Error{Error::Kind::StateLimitExceeded, {}, kStateLimit});
      }
    }
  }
  return dfa;
}

std::expected<Regex, Error> Regex::create(std::string_view pattern) {
  auto hir = parse(pattern);
  if (!hir) return std::unexpected(Error{Error::Kind::SyntaxError, hir.error(), 0});
  auto prog = compile(*hir);
  if (!prog) return std::unexpected(prog.error());
  auto dfa = Dfa::build(std::move(*prog));
  if (!dfa) return std::unexpected(dfa.error());
  Regex r;
  r.pattern_ = std::string(pattern);
  r.dfa_ = std::make_shared<const Dfa>(std::move(*dfa));
  return r;
}

bool Regex::matches(std::string_view key) const {
  State s = start();
  for (char c : key) {
    s = accept(s, static_cast<uint8_t>(c));
    if (!s) return false;
  }
  return is_match(s);
}

}  // namespace fendral::fst::regex
