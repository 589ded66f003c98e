// Literal screening of regular expressions: the literals every match of a
// pattern must contain, and a screen of the three-character sequences of a
// subject, so that a pattern whose literals cannot occur in a subject is
// answered "no match" without being run.
//
// The screen only ever turns away subjects in which the pattern cannot
// match (a literal that is not in the subject cannot be in a match of it),
// so screened and unscreened matching give the same answers. A pattern
// outside the simple forms understood here gets no literals and is always
// run.
//
// `ScreenCache` keeps the screens of the last few long subjects together
// with a copy of their text: a subject is recognised by its content, so a
// buffer rewritten between matches is never screened with a stale screen.
// Only where the caller vouches with a stamp (MessageAccess::values_stamp)
// that nothing changed since the content was last compared is a subject
// recognised by its address. Owned by one `MatchScratch`; one thread at a
// time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarn {

inline constexpr std::size_t kMaxStartLiterals = 16;

// What the pattern analysis learned.
struct PatternLiterals {
  // Every match contains, for each clause, at least one of its literals
  // (each at least three characters, folded to lower case for a caseless
  // pattern). No clauses: nothing is known.
  std::vector<std::vector<std::string>> clauses;
  // Whether a match can be seen in any text: the pattern has no assertions
  // (anchors, word boundaries, lookaround), back references, atomic groups
  // or possessive quantifiers, so whether it matches a stretch of text
  // depends on that stretch alone, not on what lies around it.
  bool context_free = false;
  // Every match starts with one of these literals (two to
  // kMaxStartLiterals of them, each at least three characters, folded like
  // the clauses): the pattern is an alternation whose every branch begins,
  // after assertions that take no text, with a literal. Empty when that is
  // not known, and for a single literal, which the library itself finds as
  // fast.
  std::vector<std::string> starts;
  // The clauses as a screen reads them (see SubjectScreen::may_match).
  std::vector<std::uint32_t> screen_program;
};

// Analyses a pattern compiled with PCRE2_EXTENDED and PCRE2_MULTILINE (and
// PCRE2_CASELESS when `caseless`), 8-bit without UTF.
PatternLiterals analyse_pattern(std::string_view pattern, bool caseless);

// Which three-character sequences (hashed) occur in a subject. Sequences
// are hashed with bit 5 of each character cleared, so that letters of
// either case hash alike: one screen serves exact and caseless patterns.
class SubjectScreen {
 public:
  void build(std::string_view subject);
  // False when the pattern with these literals cannot match the subject.
  bool may_match(const PatternLiterals& literals) const;

 private:
  // About sixteen bits for each character of the subject, 2^10 to 2^17.
  static constexpr int kMinBitsLog = 10;
  static constexpr int kMaxBitsLog = 17;
  std::vector<std::uint64_t> bits_;
  int shift_ = 32 - kMaxBitsLog;  // of the 32-bit hash, to the bit number
};

class ScreenCache {
 public:
  // Subjects shorter than this are matched without a screen.
  static constexpr std::size_t kMinSubject = 16;
  // Longer subjects are screened from the second time they are seen.
  static constexpr std::size_t kScreenAtOnce = 4096;

  // The screen of `subject`, or null while screening it is not worth its
  // cost (a very short subject, or a long one seen for the first time).
  // `stamp`: nonzero while the caller's subjects keep their places and
  // bytes, 0 when nothing is promised.
  const SubjectScreen* find(std::string_view subject, std::uint64_t stamp = 0);

 private:
  struct Slot {
    std::string text;
    // Where the text was last seen under a nonzero stamp.
    const char* seen_at = nullptr;
    std::uint64_t stamp = 0;
    std::uint64_t used = 0;
    SubjectScreen screen;
    bool built = false;
  };
  std::array<Slot, 8> slots_;
  std::uint64_t clock_ = 0;
};

}  // namespace quarn
