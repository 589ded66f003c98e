// The rule interpreter: the walk, its blocks and actions, the recipients
// loop, bounces, forward copies and what an accepted run hands on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/interpreter.h"
#include "tests/filter/run_harness.h"

namespace quarn::testing {
namespace {

constexpr std::string_view kThreeRecipients = "To: <a@x.com>\nCc: <b@x.com>\nBcc: <c@x.com>\n\n";

struct WalkCase {
  const char* name;
  const char* rules;
  std::string message;
  int accepted;
  std::string result;
  std::vector<std::string> bounces;  // list order: b@x.com, a@x.com
};

TEST(Interpreter, WalksBlocksAndBouncesAsWritten) {
  const std::string big(20, 'x');
  const WalkCase cases[] = {
      {"no lines", "", "m", 1, "No Rule Applied", {"", ""}},
      {"then branch bounces the whole message",
       "if (size() > 10) then\nreject y\nelse\naccept z\nend\n", big, 0, "line 2: y",
       {"570 Bounced line 2: y", "570 Bounced line 2: y"}},
      {"else branch accepts", "if (size() > 10) then\nreject y\nelse\naccept z\nend\n", "short",
       1, "line 4: z", {"", ""}},
      {"one recipient of two matches",
       "recipients\nadd(n, 1)\nif (get(n) = 1) reject r\nend recipients\n", "m", 1, "line 3: r",
       {"570 b@x.com line 3: r", ""}},
      {"every recipient matches: bounced again as a whole",
       "recipients\nif (size() > 0) reject r\nend recipients\n", "m", 0, "line 2: r",
       {"570 Bounced line 2: r", "570 Bounced line 2: r"}},
      {"drop as the only line", "drop gone\n", "m", 0, "line 1: gone",
       {"999 Drop line 1: gone", "999 Drop line 1: gone"}},
      {"drop of one recipient in a block",
       "recipients\nadd(n, 1)\nif (get(n) = 1) drop d\nend recipients\n", "m", 1, "line 3: d",
       {"999 b@x.com line 3: d", ""}},
      {"drop of every recipient keeps the drop texts",
       "recipients\ndrop d\nend recipients\n", "m", 0, "line 2: d",
       {"999 Drop line 2: d", "999 Drop line 2: d"}},
      {"a whole-message reject after a block judges everyone",
       "recipients\nadd(n, 1)\nif (get(n) = 1) reject r\nend recipients\nreject all\n", "m", 0,
       "line 5: all", {"570 Bounced line 5: all", "570 Bounced line 5: all"}},
      {"nested blocks inside a skipped block stay skipped",
       "if (0) then\nif (1) then\nreject a\nelse\nreject b\nend\nreject c\nelse\naccept d\nend\n",
       "m", 1, "line 9: d", {"", ""}},
      {"then branch skips its else branch",
       "if (1) then\nsetflag(f)\nelse\nreject no\nend\nif (isflag(f)) accept yes\n", "m", 1,
       "line 6: yes", {"", ""}},
      {"a lone end recipients does nothing",
       "end recipients\nrecipients\nend recipients\nend recipients\nreject after\n", "m", 0,
       "line 5: after", {"570 Bounced line 5: after", "570 Bounced line 5: after"}},
      {"only the left operator of a comparison counts",
       "if (1 < 2 = 0) reject a\nif (1 < 2 = 5) reject b\n", "m", 0, "line 2: b",
       {"570 Bounced line 2: b", "570 Bounced line 2: b"}},
      {"negation applies before the comparison", "if (!size() = 0) reject n\n", "m", 0,
       "line 1: n", {"570 Bounced line 1: n", "570 Bounced line 1: n"}},
      {"and-groups must all hold", "if (size() > 0) and (0) reject a\nif (1) and (2) reject b\n",
       "m", 0, "line 2: b", {"570 Bounced line 2: b", "570 Bounced line 2: b"}},
      {"forward outside a block", "forward c@y.com\nreject never\n", "m", 1,
       "line 1: forward c@y.com", {"", "999 a@x.com line 1: forward c@y.com"}},
      {"forward of the second recipient in a block",
       "recipients\nadd(n, 1)\nif (get(n) = 2) forward \"<c@y.com>\"\nend recipients\nreject never\n",
       "m", 1, "line 3: forward <c@y.com>", {"", ""}},
      {"reject without an argument", "reject\n", "m", 0, "line 1: (NULL_TOKEN)",
       {"570 Bounced line 1: (NULL_TOKEN)", "570 Bounced line 1: (NULL_TOKEN)"}},
      {"an if without its action does nothing", "if (1) frobnicate\n", "m", 1,
       "No Rule Applied", {"", ""}},
  };
  for (const WalkCase& c : cases) {
    RunHarness h;
    h.compile(c.rules);
    const RunOutcome out = h.run(c.message);
    EXPECT_EQ(out.accepted, c.accepted) << c.name;
    EXPECT_EQ(out.result, c.result) << c.name;
    EXPECT_EQ(out.bounces(), c.bounces) << c.name;
  }
}

TEST(Interpreter, ForwardRedirectsTheRecipient) {
  RunHarness h;
  h.compile("forward c@y.com\n");
  RunOutcome out = h.run("m");
  EXPECT_EQ(out.recipients[0].address, "<c@y.com>");
  EXPECT_EQ(out.recipients[1].address, "<a@x.com>");
  EXPECT_EQ(out.recipients[1].bounced, 1);
  EXPECT_TRUE(h.log.has("Warning, undefined results, forward should be in a recipient block in \n"));

  h.compile("recipients\nadd(n, 1)\nif (get(n) = 2) forward c@y.com\nend recipients\n");
  out = h.run("m");
  EXPECT_EQ(out.recipients[0].address, "<b@x.com>");
  EXPECT_EQ(out.recipients[1].address, "<c@y.com>");
  EXPECT_EQ(out.recipients[1].bounced, 0);
}

TEST(Interpreter, AcceptInsideABlockKeepsEveryRecipient) {
  RunHarness h;
  h.compile("recipients\naccept early\nreject late\nend recipients\n");
  const RunOutcome out = h.run("m", kThreeRecipients);
  EXPECT_EQ(out.accepted, 1);
  EXPECT_EQ(out.result, "line 2: early");
  EXPECT_EQ(out.bounces(), (std::vector<std::string>{"", "", ""}));
  EXPECT_TRUE(h.log.has("recipient c@x.com\n"));
  EXPECT_FALSE(h.log.has("recipient b@x.com\n"));
}

TEST(Interpreter, RecipientsBlockRepeatsPerRecipient) {
  RunHarness h;
  h.compile(
      "recipients\n"
      "add(visits, 1)\n"
      "if (get(visits) = 2) reject second\n"
      "end recipients\n"
      "if (get(visits) = 3) accept all-visited\n");
  const RunOutcome out = h.run("m", kThreeRecipients);
  EXPECT_EQ(out.accepted, 1);
  EXPECT_EQ(out.result, "line 5: all-visited");
  EXPECT_EQ(out.bounces(), (std::vector<std::string>{"", "570 b@x.com line 3: second", ""}));
  for (const char* name : {"recipient c@x.com\n", "recipient b@x.com\n", "recipient a@x.com\n"}) {
    EXPECT_TRUE(h.log.has(name)) << name;
  }
  EXPECT_TRUE(h.log.has("Bounce mfilter b@x.com line 3: second\n"));
}

TEST(Interpreter, BounceTextsAreCut) {
  RunHarness h;
  const std::string local(150, 'l');
  const std::string reason(300, 'r');
  const std::string envelope = "To: <q@x.com>\nTo: <" + local + "@x.com>\n\n";
  h.compile("recipients\nadd(n, 1)\nif (get(n) = 1) reject " + reason + "\nend recipients\n");
  RunOutcome out = h.run("m", envelope);
  EXPECT_EQ(out.accepted, 1);
  EXPECT_EQ(out.result, "line 3: " + reason.substr(0, 200));
  const std::string shown = (local + "@x.com").substr(0, 100);
  EXPECT_EQ(out.bounces(),
            (std::vector<std::string>{
                ("570 " + shown + " " + ("line 3: " + reason).substr(0, 100)).substr(0, 200), ""}));

  h.compile("drop " + reason + "\n");
  out = h.run("m", envelope);
  EXPECT_EQ(out.bounces()[1], ("999 Drop line 1: " + reason).substr(0, 200));

  // All bounced inside a block: the last bounce, cut to 100, becomes the
  // result text of the whole-message bounce.
  h.compile("recipients\nreject " + reason + "\nend recipients\n");
  out = h.run("m", envelope);
  EXPECT_EQ(out.accepted, 0);
  EXPECT_EQ(out.result, ("line 2: " + reason).substr(0, 100));
  EXPECT_EQ(out.bounces()[0], "570 Bounced " + ("line 2: " + reason).substr(0, 100));
}

TEST(Interpreter, NoRecipientsRefusesTheRun) {
  RunHarness h;
  h.compile("reject x\n");
  const RunOutcome out = h.run("m", "From: <s@x.com>\n\n");
  EXPECT_EQ(out.accepted, 0);
  EXPECT_EQ(out.result, "untouched");
  int seen = 0;
  for (const auto& t : h.log.texts) {
    if (t.text == "rrun: No 'To:' addresses specified, cannot run filter\n") seen |= t.level == 'E' ? 1 : 2;
  }
  EXPECT_EQ(seen, 3);
}

TEST(Interpreter, EvaluationStopsAtTheFirstFalsePart) {
  RunHarness h;
  h.collect_added_headers();
  h.compile(
      "if (size() > 100) and (spamdetect(5, second)) setflag(x)\n"
      "if (0) and (spamdetect(7, never)) setflag(y)\n"
      "if (0 < 1) and (0 = 1) and (spamdetect(9, never)) setflag(z)\n");
  h.run(std::string(50, 'm'));
  EXPECT_TRUE(h.added.empty());
  h.run(std::string(200, 'm'));
  EXPECT_EQ(h.added, (std::vector<std::string>{"X-SpamDetect: *****: 5.000000 second"}));

  h.compile("if (size() > 100) and (lines() < 3) reject big\n");
  EXPECT_EQ(h.run(std::string(50, 'm')).accepted, 1);
  EXPECT_EQ(h.run(std::string(200, 'm')).accepted, 0);
}

TEST(Interpreter, CallRunsItsFunctionsForTheirEffects) {
  RunHarness h;
  h.collect_added_headers();
  h.compile(
      "call spamdetect(2, hit)\n"
      "call report(boss@x.com, \"Spam seen\")\n");
  EXPECT_EQ(h.run("m").accepted, 1);
  EXPECT_EQ(h.added, (std::vector<std::string>{"X-SpamDetect: **: 2.000000 hit"}));
  EXPECT_TRUE(h.dir.exists("rf_send.tmp"));

  RunHarness only_first;
  only_first.compile("call isin(subject, x) report(a@x.com, b)\n");
  ASSERT_EQ(only_first.filter->lines.size(), 1u);
  EXPECT_EQ(only_first.filter->lines[0].exprs.size(), 1u);
  only_first.run("m");
  EXPECT_FALSE(only_first.dir.exists("rf_send.tmp"));
}

TEST(Interpreter, FlagActions) {
  RunHarness h;
  h.compile(
      "set(level, 40)\n"
      "add(level, 5)\n"
      "sub(level, 3)\n"
      "setflag(seen)\n"
      "clearflag(seen)\n"
      "score_one(level)\n"
      "score_all(level)\n"
      "add(wrap, 2147483647)\n"
      "add(wrap, 1)\n"
      "print hello\n"
      "if (get(level) = 42) and (!isflag(seen)) and (get(wrap) < 0) accept ok\n"
      "setflag(seen)\n");
  EXPECT_EQ(h.run("m").result, "line 11: ok");
  EXPECT_TRUE(h.log.has("PRINT line 10:hello\n"));
  // Every run starts with every flag at 0.
  EXPECT_EQ(h.run("m").result, "line 11: ok");
}

TEST(Interpreter, ForwardCopiesOfAnAcceptedRun) {
  RunHarness h;
  h.collect_forwards();
  h.compile(
      "redirect_cc other@y.com\n"
      "call forward_cc(\"<A@X.COM>\")\n"
      "call forward_cc(third@y.com)\n");
  EXPECT_EQ(h.run("m").accepted, 1);
  // Newest first; an address that already receives the message is skipped.
  EXPECT_EQ(h.forwards, (std::vector<std::string>{"<third@y.com>", "<other@y.com>"}));
  EXPECT_TRUE(h.log.has("mfilter: Forwarding to (<other@y.com>)\n"));

  // Copies keep a run accepted whose recipients were all bounced.
  h.forwards.clear();
  h.compile("redirect_cc o@y.com\nrecipients\nreject r\nend recipients\n");
  const RunOutcome kept = h.run("m");
  EXPECT_EQ(kept.accepted, 1);
  EXPECT_EQ(kept.bounces(),
            (std::vector<std::string>{"570 b@x.com line 3: r", "570 a@x.com line 3: r"}));
  EXPECT_EQ(h.forwards, (std::vector<std::string>{"<o@y.com>"}));

  // A bounced run hands nothing on, and the next run starts with no copies.
  h.forwards.clear();
  h.compile("redirect_cc o@y.com\nreject r\n");
  EXPECT_EQ(h.run("m").accepted, 0);
  h.compile("accept a\n");
  EXPECT_EQ(h.run("m").accepted, 1);
  EXPECT_TRUE(h.forwards.empty());
}

TEST(Interpreter, SpamTotalOnlyAfterAnAcceptedRun) {
  RunHarness h;
  h.collect_added_headers();
  const SpamScoreList match{{2.0f, "crc"}};
  h.compile("call spamdetect(1.5, rule)\n");
  EXPECT_EQ(h.run("m", kTwoRecipients, &match).accepted, 1);
  EXPECT_EQ(h.added, (std::vector<std::string>{"X-SpamDetect: ***: 3.500000 crc,rule"}));
  EXPECT_EQ(h.engine.spamdetect_result(), "***: 3.500000 crc,rule");

  h.added.clear();
  h.compile("call spamdetect(5, rule)\nreject r\n");
  EXPECT_EQ(h.run("m", kTwoRecipients, &match).accepted, 0);
  EXPECT_TRUE(h.added.empty());
  // The run's scores do not carry over to the next message.
  h.compile("accept a\n");
  h.run("m");
  EXPECT_TRUE(h.added.empty());
  EXPECT_TRUE(h.log.has("spam: 0.000000 \n"));
}

TEST(Interpreter, AddedHeadersWithoutAHookRewriteTheMessageFile) {
  RunHarness h;
  const std::string message = "Subject: s\r\nTo: a\r\n\r\nbody\r\n";
  h.dir.write("m.eml", message);
  h.compile("call spamdetect(3, rule)\n");
  EXPECT_EQ(h.run(message, kTwoRecipients, nullptr, h.dir.file("m.eml")).accepted, 1);
  EXPECT_EQ(h.dir.read("m.eml"),
            "Subject: s\r\nTo: a\r\nX-SpamDetect: ***: 3.000000 rule\r\n\r\nbody\r\n");
  EXPECT_TRUE(h.log.has("File rewritten (" + h.dir.file("m.eml") + ") 0\n"));

  // Nothing changed: the file is left alone.
  h.compile("call spamdetect(0.5, small)\n");
  h.run(message, kTwoRecipients, nullptr, h.dir.file("m.eml"));
  EXPECT_EQ(h.dir.read("m.eml"),
            "Subject: s\r\nTo: a\r\nX-SpamDetect: ***: 3.000000 rule\r\n\r\nbody\r\n");
}

TEST(Interpreter, TraceLines) {
  RunHarness h;
  h.engine.log().set_trace(true);
  h.compile("if (0) then\nreject a\nend\nif (size() > 3) reject big\n");
  h.run("message");
  for (const char* line : {
           "rrun: action=A_THEN Line: if (0) then...\n",
           "rrun: SKIP action=A_REJECT Line: reject a...\n",
           "rrun: SKIP action=A_ENDIF Line: end...\n",
           "rrun: Expression Result=FALSE 0\n",
           "rrun: Expression Result=TRUE 7\n",
           "rrun: Result TRUE 7 greaterthan 3\n",
           "Bounced mfilter b@x.com line 4: big\n",
       }) {
    EXPECT_TRUE(h.log.has(line)) << line;
  }
  // A whole-message bounce ends the walk before the verdicts are traced.
  EXPECT_FALSE(h.log.has("rfilter: No rules applied, so accepting\n"));
  EXPECT_FALSE(h.log.has("Recipient (<b@x.com>) Bounced 570 Bounced line 4: big\n"));
  h.compile("recipients\nadd(n, 1)\nif (get(n) = 1) reject first\nend recipients\n");
  h.run("m");
  EXPECT_TRUE(h.log.has("rfilter: No rules applied, so accepting\n"));
  EXPECT_TRUE(h.log.has("Recipient (<b@x.com>) Bounced 570 b@x.com line 3: first\n"));
  EXPECT_TRUE(h.log.has("Recipient (<a@x.com>) Accepted \n"));
  EXPECT_TRUE(h.log.has("rrun: action=RECIPIENTS_END Line: end recipients...\n"));
}

TEST(Interpreter, MessageLengthAndTerminator) {
  RunHarness h;
  h.compile("if (size() = 5) accept five\n");
  std::vector<char> text = {'h', 'e', 'l', 'l', 'o', 'X', 'Y', '\0'};
  std::vector<char> work(16);  // smaller than the model needs: the engine's own buffer is used
  RecipientList recipients = makeup_fwd(kTwoRecipients);
  std::string result;
  FilterRun run(h.engine, *h.filter);
  EXPECT_EQ(rfilter_run(run, nullptr, text, work, 5, recipients, "", result, nullptr), 1);
  EXPECT_EQ(result, "line 1: five");
  EXPECT_EQ(text[5], '\0');
  // A length past the buffer is cut to it.
  EXPECT_EQ(rfilter_run(run, nullptr, std::span<char>(text).first(6), work, 1000, recipients, "",
                        result, nullptr),
            1);
  EXPECT_EQ(result, "line 1: five");
  EXPECT_EQ(rfilter_run(run, nullptr, std::span<char>(), work, 5, recipients, "", result, nullptr),
            0);
  EXPECT_GT(h.engine.timings().total_ms, 0.0);
}

// ---- Rules over header values of the message model -------------------------

constexpr std::string_view kHeaderMessage =
    "From: Promo <promo@example.net>\r\n"
    "To: you@x.com\r\n"
    "Subject: Re: cheap\r\n"
    "  watches\r\n"
    "\tfor you\r\n"
    "X-Mailer: Bulk 1.0\r\n"
    "\r\n"
    "Buy our watches today: http://shop.example.ru/w?id=1 click here\r\n"
    "line two\r\n";

TEST(InterpreterHeaders, ElseBranchFollowsTheSubject) {
  RunHarness h;
  h.compile("if (isin(subject, x)) then\nreject y\nelse\naccept z\nend\n");
  RunOutcome out = h.run("Subject: a x here\r\n\r\nbody\r\n");
  EXPECT_EQ(out.accepted, 0);
  EXPECT_EQ(out.bounces(), (std::vector<std::string>{"570 Bounced line 2: y", "570 Bounced line 2: y"}));
  out = h.run("Subject: nothing\r\n\r\nbody\r\n");
  EXPECT_EQ(out.accepted, 1);
  EXPECT_EQ(out.result, "line 4: z");
}

TEST(InterpreterHeaders, RecipientHeaderFollowsTheBlock) {
  RunHarness h;
  h.compile("recipients\nif (isin(recipient, x)) reject r\nend recipients\n");
  // The list holds the last envelope line first.
  RunOutcome out = h.run("Subject: s\r\n\r\nbody\r\n", "To: <a@y.com>\nTo: <bx@y.com>\n\n");
  EXPECT_EQ(out.accepted, 1);
  EXPECT_EQ(out.bounces(), (std::vector<std::string>{"570 bx@y.com line 2: r", ""}));
  out = h.run("Subject: s\r\n\r\nbody\r\n", "To: <xa@y.com>\nTo: <bx@y.com>\n\n");
  EXPECT_EQ(out.accepted, 0);
  EXPECT_EQ(out.bounces(),
            (std::vector<std::string>{"570 Bounced line 2: r", "570 Bounced line 2: r"}));

  // A long display name read back through the pseudo-header with its own
  // length: the second recipient's shorter name is not followed by the rest
  // of the first one's.
  h.compile("recipients\nif (rexp(recipient, \"^b@y\\.com$\")) reject exact\nend recipients\n");
  out = h.run("Subject: s\r\n\r\nbody\r\n", "To: <b@y.com>\nTo: <bbbbbbbbbbbbbbbb@y.com>\n\n");
  EXPECT_EQ(out.bounces(), (std::vector<std::string>{"", "570 b@y.com line 2: exact"}));
}

TEST(InterpreterHeaders, HeaderValuesPhrasesAndFlags) {
  RunHarness h;
  h.collect_added_headers();
  h.compile(
      "call rexp_fast(1.5, \"click\\s+here\", click-here)\n"
      "if (rexp(subject, \"cheap\\s+watches\")) and (spamdetect(2, folded-subject)) setflag(a)\n"
      "if (strcmp(x-mailer, \"Bulk 1.0\")) and (spamdetect(1, mailer)) setflag(b)\n"
      "if (rexp(urls, \"\\.ru/\")) and (spamdetect(1, ru-link)) setflag(c)\n"
      "if (rexp(body, \"^line\\ two$\")) and (spamdetect(0.5, body-line)) setflag(d)\n"
      "if (exists(cc)) and (spamdetect(9, never)) setflag(e)\n"
      "if (lines() = 9) and (spamdetect(0.25, nine-lines)) setflag(f)\n");
  EXPECT_EQ(h.run(kHeaderMessage).accepted, 1);
  ASSERT_EQ(h.added.size(), 1u);
  EXPECT_EQ(h.added[0],
            "X-SpamDetect: ******: 6.250000 nine-lines,body-line,ru-link,mailer,folded-subject,"
            "click-here");
  EXPECT_GT(h.engine.timings().body_ms + h.engine.timings().header_ms, 0.0);
}

TEST(InterpreterHeaders, ShortCircuitOverLines) {
  RunHarness h;
  h.compile("if (size() > 100) and (lines() < 3) reject big\n");
  EXPECT_EQ(h.run("Subject: s\r\n\r\n" + std::string(200, 'b')).accepted, 0);
  EXPECT_EQ(h.run("Subject: s\r\n\r\n" + std::string(200, 'b') + "\n\n\n").accepted, 1);
  EXPECT_EQ(h.run("Subject: s\r\n\r\nb\n\n\n").accepted, 1);
}

TEST(InterpreterHeaders, ReplacedHeadersAreWrittenBack) {
  RunHarness h;
  h.dir.write("m.eml", kHeaderMessage);
  h.compile("call replace(subject, \"re:*\", \"Fwd:%1\")\n");
  EXPECT_EQ(h.run(kHeaderMessage, kTwoRecipients, nullptr, h.dir.file("m.eml")).accepted, 1);
  EXPECT_EQ(h.dir.read("m.eml"),
            "From: Promo <promo@example.net>\r\n"
            "To: you@x.com\r\n"
            "Subject: Fwd: cheap watches for you\r\n"
            "X-Mailer: Bulk 1.0\r\n"
            "\r\n"
            "Buy our watches today: http://shop.example.ru/w?id=1 click here\r\n"
            "line two\r\n");
  // With the add-header hook installed the file stays as it is.
  h.collect_added_headers();
  h.dir.write("m.eml", kHeaderMessage);
  h.run(kHeaderMessage, kTwoRecipients, nullptr, h.dir.file("m.eml"));
  EXPECT_EQ(h.dir.read("m.eml"), kHeaderMessage);
}

TEST(InterpreterHeaders, FromEqualsTo) {
  RunHarness h;
  // The rules name both headers, so the first run already holds their values.
  h.compile("if (exists(from)) and (exists(to)) setflag(both)\nif (isflag(fromeqto)) reject same\n");
  EXPECT_EQ(h.run("From: Me <me@x.com>\r\nTo: me@x.com\r\n\r\nb\r\n").result, "line 2: same");
  EXPECT_EQ(h.run("From: Me <me@x.com>\r\nTo: you@x.com\r\n\r\nb\r\n").result, "No Rule Applied");
}

}  // namespace
}  // namespace quarn::testing
