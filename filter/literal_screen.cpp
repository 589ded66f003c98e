#include "filter/literal_screen.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace quarn {
namespace {

// Most literals a clause keeps, and most clauses a pattern keeps: enough
// for the patterns rules use, and a bound on the work of one screening.
constexpr std::size_t kMaxClauseLiterals = 16;
constexpr std::size_t kMaxClauses = 8;
constexpr std::size_t kMinLiteral = 3;
// Longest literal made of one repeated character.
constexpr std::size_t kMaxRepeats = 8;

using Clause = std::vector<std::string>;

// What one branch of an alternation requires, and the literal it starts
// with (`starts_known` false when it does not start with one).
struct Branch {
  std::vector<Clause> clauses;
  std::vector<std::string> starts;
  bool starts_known = false;
};

constexpr char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; }

bool is_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Characters that stand for themselves outside a class, whatever follows.
bool is_plain_literal(char c) {
  return is_alnum(c) || (c != 0 && std::strchr("!\"%&',-/:;<=>@_`~", c) != nullptr);
}

// A recursive-descent reader of the pattern forms the screen understands.
// Anything else (whitespace and comments of the extended syntax, \Q..\E,
// escapes with arguments, references, named groups, option settings,
// verbs) makes the whole pattern unknown.
class Reader {
 public:
  Reader(std::string_view pattern, bool caseless)
      : p_(pattern),
        caseless_(caseless),
        // Matches start with one of two literals or more only in an
        // alternation: without one, leading literals are not looked for.
        want_starts_(pattern.find('|') != std::string_view::npos) {}

  PatternLiterals read() {
    std::vector<Branch> alternatives = read_alternatives();
    PatternLiterals out;
    if (!ok_ || pos_ != p_.size()) return out;
    if (want_starts_ && !anchored_at_offset_) {
      std::vector<std::string> starts = starts_of(alternatives);
      if (starts.size() >= 2) out.starts = std::move(starts);
    }
    out.clauses = combine(alternatives);
    if (out.clauses.size() > kMaxClauses) out.clauses.resize(kMaxClauses);
    out.context_free = context_free_;
    return out;
  }

 private:
  bool more() const { return ok_ && pos_ < p_.size(); }
  char peek(std::size_t ahead = 0) const {
    return pos_ + ahead < p_.size() ? p_[pos_ + ahead] : '\0';
  }

  std::vector<Branch> read_alternatives() {
    std::vector<Branch> alternatives;
    alternatives.push_back(read_branch());
    while (more() && peek() == '|') {
      ++pos_;
      alternatives.push_back(read_branch());
    }
    return alternatives;
  }

  // The literals the alternatives start with, each once; empty when one of
  // them starts with something else, or when there are too many.
  static std::vector<std::string> starts_of(const std::vector<Branch>& alternatives) {
    std::vector<std::string> starts;
    for (const Branch& branch : alternatives) {
      if (!branch.starts_known) return {};
      for (const std::string& literal : branch.starts) {
        if (std::find(starts.begin(), starts.end(), literal) == starts.end()) {
          starts.push_back(literal);
        }
      }
    }
    if (starts.size() > kMaxStartLiterals) return {};
    return starts;
  }

  // The clauses of a group's alternatives: all of one alternative's, or
  // one clause joining a clause of each alternative.
  static std::vector<Clause> combine(std::vector<Branch>& alternatives) {
    if (alternatives.size() == 1) return std::move(alternatives[0].clauses);
    Clause any;
    for (Branch& branch : alternatives) {
      std::vector<Clause>& clauses = branch.clauses;
      if (clauses.empty()) return {};
      auto best = std::min_element(clauses.begin(), clauses.end(),
                                   [](const Clause& a, const Clause& b) { return a.size() < b.size(); });
      any.insert(any.end(), best->begin(), best->end());
      if (any.size() > kMaxClauseLiterals) return {};
    }
    return {any};
  }

  // Where a branch stands in finding the literal it starts with.
  enum class Lead { kOpen, kRun, kDone };

  Branch read_branch() {
    Branch branch;
    std::vector<Clause>& clauses = branch.clauses;
    std::string run;
    Lead lead = Lead::kOpen;  // only assertions so far
    auto flush = [&] {
      if (run.size() >= kMinLiteral) clauses.push_back({run});
      run.clear();
    };
    // Something other than a plain character comes: the run read so far is
    // the branch's leading literal, or the branch starts with no literal.
    auto end_lead = [&] {
      if (lead == Lead::kRun) set_lead(branch, run);
      lead = Lead::kDone;
    };
    while (more() && peek() != '|' && peek() != ')') {
      const char c = peek();
      if (c == '(') {
        const bool open = lead == Lead::kOpen;
        end_lead();
        flush();
        std::optional<std::vector<std::string>> starts = read_group(clauses);
        if (open && starts) {
          branch.starts = std::move(*starts);
          branch.starts_known = true;
        }
      } else if (c == '[') {
        end_lead();
        flush();
        skip_class();
        read_quantifier();
      } else if (c == '\\') {
        const char e = peek(1);
        if (e != '\0' && !is_alnum(e) && e >= 0x20 && e < 0x7f) {
          pos_ += 2;
          lead_char(e, run, lead, branch);
          literal(e, run, clauses);
          continue;
        }
        const bool assertion = e != '\0' && std::strchr("bBAzZG", e) != nullptr;
        if (!assertion || lead != Lead::kOpen) end_lead();
        flush();
        pos_ += 2;
        if (e != '\0' && std::strchr("sSdDwWhHvVRtnrfea", e) != nullptr) {
          read_quantifier();
        } else if (assertion) {
          context_free_ = false;
          if (e == 'G') anchored_at_offset_ = true;
        } else {
          ok_ = false;
        }
      } else if (c == '.') {
        end_lead();
        flush();
        ++pos_;
        read_quantifier();
      } else if (c == '^' || c == '$') {
        if (lead != Lead::kOpen) end_lead();
        flush();
        ++pos_;
        context_free_ = false;
      } else if (is_plain_literal(c)) {
        ++pos_;
        lead_char(c, run, lead, branch);
        literal(c, run, clauses);
      } else {
        ok_ = false;
      }
    }
    end_lead();
    flush();
    return branch;
  }

  void set_lead(Branch& branch, std::string literal) const {
    branch.starts_known = literal.size() >= kMinLiteral;
    if (branch.starts_known) branch.starts = {std::move(literal)};
  }

  // A literal character `c` (just read) in a branch whose leading literal
  // is still open: one that may be absent or repeated ends it.
  void lead_char(char c, const std::string& run, Lead& lead, Branch& branch) const {
    if (lead == Lead::kDone || !want_starts_) return;
    const char next = peek();
    if (next == '?' || next == '*' || next == '{') {
      if (lead == Lead::kRun) set_lead(branch, run);
      lead = Lead::kDone;
      return;
    }
    if (next == '+') {
      set_lead(branch, (lead == Lead::kRun ? run : std::string()) + (caseless_ ? fold(c) : c));
      lead = Lead::kDone;
      return;
    }
    lead = Lead::kRun;
  }

  // A literal character: part of the run unless a quantifier lets it be
  // absent.
  void literal(char c, std::string& run, std::vector<Clause>& clauses) {
    const char shown = caseless_ ? fold(c) : c;
    const char next = peek();
    if (next == '?' || next == '*' || next == '{') {
      if (run.size() >= kMinLiteral) clauses.push_back({run});
      run.clear();
      read_quantifier();
      // "_{20,}" holds at least as many of the character in a row.
      const std::string repeated(std::min(repeats_, kMaxRepeats), shown);
      if (ok_ && repeated.size() >= kMinLiteral) clauses.push_back({repeated});
      return;
    }
    run.push_back(shown);
    if (next == '+') {
      if (run.size() >= kMinLiteral) clauses.push_back({run});
      run.clear();
      read_quantifier();
    }
  }

  // Reads a group, adds the clauses it requires, and returns the literals
  // its matches start with (none for a group that may be absent, or that is
  // an assertion).
  std::optional<std::vector<std::string>> read_group(std::vector<Clause>& clauses) {
    ++pos_;  // '('
    bool transparent = true;
    if (peek() == '?') {
      const char kind = peek(1);
      if (kind == ':') {
        pos_ += 2;
      } else if (kind == '=' || kind == '!' || kind == '>') {
        pos_ += 2;
        transparent = false;
      } else if (kind == '<' && (peek(2) == '=' || peek(2) == '!')) {
        pos_ += 3;
        transparent = false;
      } else {
        ok_ = false;
        return std::nullopt;
      }
      if (!transparent) context_free_ = false;
    } else if (peek() == '*') {
      ok_ = false;
      return std::nullopt;
    }
    std::vector<Branch> alternatives = read_alternatives();
    if (!ok_ || peek() != ')') {
      ok_ = false;
      return std::nullopt;
    }
    ++pos_;
    const bool optional = read_quantifier();
    if (!ok_ || !transparent || optional) return std::nullopt;
    std::vector<std::string> starts;
    if (want_starts_) starts = starts_of(alternatives);
    for (Clause& clause : combine(alternatives)) clauses.push_back(std::move(clause));
    if (starts.empty()) return std::nullopt;
    return starts;
  }

  void skip_class() {
    ++pos_;  // '['
    if (peek() == '^') ++pos_;
    if (peek() == ']') ++pos_;
    while (more()) {
      const char c = peek();
      if (c == '\\') {
        if (peek(1) == 'Q' || peek(1) == 'E' || peek(1) == '\0') break;
        pos_ += 2;
      } else if (c == '[' && (peek(1) == ':' || peek(1) == '.' || peek(1) == '=')) {
        break;
      } else if (c == ']') {
        ++pos_;
        return;
      } else {
        ++pos_;
      }
    }
    ok_ = false;
  }

  // Reads a quantifier if one follows; true when it allows zero repeats.
  // Sets repeats_ to the least number of repeats it allows.
  bool read_quantifier() {
    repeats_ = 1;
    if (!more()) return false;
    bool optional = false;
    const char q = peek();
    if (q == '?' || q == '*') {
      optional = true;
      repeats_ = 0;
      ++pos_;
    } else if (q == '+') {
      ++pos_;
    } else if (q == '{') {
      ++pos_;
      std::size_t digits = 0;
      std::size_t least = 0;
      while (peek() >= '0' && peek() <= '9') {
        least = std::min<std::size_t>(least * 10 + static_cast<std::size_t>(peek() - '0'), 1000);
        ++pos_;
        ++digits;
      }
      if (digits == 0) {
        ok_ = false;
        return false;
      }
      if (peek() == ',') {
        ++pos_;
        while (peek() >= '0' && peek() <= '9') ++pos_;
      }
      if (peek() != '}') {
        ok_ = false;
        return false;
      }
      ++pos_;
      optional = least == 0;
      repeats_ = least;
    } else {
      return false;
    }
    if (peek() == '?') {
      ++pos_;
    } else if (peek() == '+') {
      ++pos_;
      context_free_ = false;
    }
    return optional;
  }

  std::string_view p_;
  bool caseless_;
  bool want_starts_;
  std::size_t pos_ = 0;
  bool ok_ = true;
  bool context_free_ = true;
  bool anchored_at_offset_ = false;  // a \G: matches depend on where a search starts
  std::size_t repeats_ = 1;  // of the last quantifier read
};

// A three-character sequence with bit 5 of each character cleared, and its
// 32-bit hash; a sequence's bit in a screen is the hash's top bits.
constexpr std::uint32_t kCaseBits = 0xDFDFDF;
constexpr std::uint32_t trigram_hash(std::uint32_t sequence) {
  return (sequence & kCaseBits) * 0x9E3779B1u;
}
constexpr std::uint32_t next_sequence(std::uint32_t sequence, char c) {
  return sequence << 8 | static_cast<std::uint8_t>(c);
}

// The clauses as hashes: for each clause its number of literals, then for
// each literal its number of sequences and their hashes.
std::vector<std::uint32_t> screen_program(const std::vector<Clause>& clauses) {
  std::vector<std::uint32_t> program;
  for (const Clause& clause : clauses) {
    program.push_back(static_cast<std::uint32_t>(clause.size()));
    for (const std::string& literal : clause) {
      program.push_back(static_cast<std::uint32_t>(literal.size() - 2));
      std::uint32_t sequence = 0;
      for (std::size_t i = 0; i < literal.size(); ++i) {
        sequence = next_sequence(sequence, literal[i]);
        if (i >= 2) program.push_back(trigram_hash(sequence));
      }
    }
  }
  return program;
}

}  // namespace

PatternLiterals analyse_pattern(std::string_view pattern, bool caseless) {
  PatternLiterals literals = Reader(pattern, caseless).read();
  literals.screen_program = screen_program(literals.clauses);
  return literals;
}

void SubjectScreen::build(std::string_view subject) {
  int bits_log = kMinBitsLog;
  while (bits_log < kMaxBitsLog && (std::size_t{1} << bits_log) < subject.size() * 16) ++bits_log;
  shift_ = 32 - bits_log;
  bits_.assign((std::size_t{1} << bits_log) / 64, 0);
  if (subject.size() < 3) return;
  const int shift = shift_;
  std::uint64_t* bits = bits_.data();
  std::uint32_t sequence = next_sequence(static_cast<std::uint8_t>(subject[0]), subject[1]);
  for (std::size_t i = 2; i < subject.size(); ++i) {
    sequence = next_sequence(sequence, subject[i]);
    const std::uint32_t bit = trigram_hash(sequence) >> shift;
    bits[bit >> 6] |= std::uint64_t{1} << (bit & 63);
  }
}

// Walks the program: each clause needs a literal all of whose sequences
// are in the screen.
bool SubjectScreen::may_match(const PatternLiterals& literals) const {
  if (bits_.empty()) return true;
  const std::uint32_t* op = literals.screen_program.data();
  const std::uint32_t* const end = op + literals.screen_program.size();
  const int shift = shift_;
  auto present = [&](std::uint32_t hash) {
    const std::uint32_t bit = hash >> shift;
    return (bits_[bit >> 6] >> (bit & 63) & 1) != 0;
  };
  while (op != end) {
    std::uint32_t literals_left = *op++;
    bool any = false;
    for (; literals_left > 0; --literals_left) {
      const std::uint32_t count = *op++;
      if (!any) any = std::all_of(op, op + count, present);
      op += count;
    }
    if (!any) return false;
  }
  return true;
}

const SubjectScreen* ScreenCache::find(std::string_view subject, std::uint64_t stamp) {
  if (subject.size() < kMinSubject) return nullptr;
  ++clock_;
  for (Slot& slot : slots_) {
    if (slot.text.size() != subject.size()) continue;
    const bool vouched = stamp != 0 && slot.stamp == stamp && slot.seen_at == subject.data();
    if (!vouched && std::memcmp(slot.text.data(), subject.data(), subject.size()) != 0) continue;
    slot.stamp = stamp;
    slot.seen_at = subject.data();
    slot.used = clock_;
    if (!slot.built) {
      slot.screen.build(subject);
      slot.built = true;
    }
    return &slot.screen;
  }
  // A long subject seen for the first time is only remembered: one that is
  // matched once is not worth a screen.
  Slot& oldest = *std::min_element(slots_.begin(), slots_.end(),
                                   [](const Slot& a, const Slot& b) { return a.used < b.used; });
  oldest.text.assign(subject);
  oldest.stamp = stamp;
  oldest.seen_at = subject.data();
  oldest.used = clock_;
  oldest.built = false;
  if (subject.size() >= kScreenAtOnce) return nullptr;
  oldest.screen.build(subject);
  oldest.built = true;
  return &oldest.screen;
}

}  // namespace quarn
