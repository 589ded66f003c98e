#include "milter/milter_app.h"

#include <arpa/inet.h>
#include <libmilter/mfapi.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "milter/answer.h"
#include "milter/policy.h"
#include "milter/spool.h"

namespace quarn::milter {

namespace {

using Clock = std::chrono::steady_clock;

// libmilter calls plain functions without a context of ours until a
// connection's private pointer is set; this is the one way back to the app.
MilterApp* g_app = nullptr;

struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

const char* symbol(SMFICTX* ctx, const char* name) {
  const char* value = smfi_getsymval(ctx, const_cast<char*>(name));
  return value != nullptr ? value : "";
}

std::string address_text(const sockaddr* address) {
  if (address == nullptr) return "";
  char text[INET6_ADDRSTRLEN] = "";
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
  }
  return text;
}

}  // namespace

struct MilterApp::Session {
  bool value_has_blank = false;  // the MTA keeps the blank after the colon
  std::string client_ip;
  // The message in progress, if any.
  bool in_message = false;
  Envelope envelope;
  std::unique_ptr<SpoolFile> spool;
  std::map<std::string, int, NoCaseLess> header_counts;
  std::vector<std::pair<std::string, int>> forged;  // verdict headers: name, index
};

MilterApp::MilterApp(Logger& log, std::shared_ptr<const Options> options,
                     std::filesystem::path spool, EnginePool& engines,
                     std::atomic<int>& timeout_ms)
    : log_(log),
      options_(std::move(options)),
      spool_(std::move(spool)),
      engines_(engines),
      timeout_ms_(timeout_ms) {}

std::shared_ptr<const Options> MilterApp::options() const {
  std::lock_guard lock(options_mutex_);
  return options_;
}

void MilterApp::reload(std::shared_ptr<const Options> options) {
  timeout_ms_.store(options->timeout * 1000);
  log_.use_syslog(options->syslog);
  std::lock_guard lock(options_mutex_);
  options_ = std::move(options);
}

bool MilterApp::wait_idle(std::chrono::milliseconds limit) {
  std::unique_lock lock(idle_mutex_);
  return idle_.wait_for(lock, limit, [this] { return in_flight_ == 0; });
}

MilterApp::Session* MilterApp::session(void* ctx) {
  auto* c = static_cast<SMFICTX*>(ctx);
  auto* s = static_cast<Session*>(smfi_getpriv(c));
  if (s == nullptr) {
    // Owned by the connection from here on; close() takes it back.
    s = std::make_unique<Session>().release();
    smfi_setpriv(c, s);
  }
  return s;
}

int MilterApp::negotiate(void* ctx, unsigned long f0, unsigned long f1, unsigned long* pf0,
                         unsigned long* pf1, unsigned long* pf2, unsigned long* pf3) {
  Session* s = session(ctx);
  *pf0 = f0 & (SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_QUARANTINE);
  // Header values exactly as received: with the blank after the colon.
  *pf1 = f1 & SMFIP_HDR_LEADSPC;
  *pf2 = 0;
  *pf3 = 0;
  s->value_has_blank = (*pf1 & SMFIP_HDR_LEADSPC) != 0;
  return SMFIS_CONTINUE;
}

int MilterApp::connect(void* ctx, const void* address) {
  session(ctx)->client_ip = address_text(static_cast<const sockaddr*>(address));
  return SMFIS_CONTINUE;
}

int MilterApp::envfrom(void* ctx, char** argv) {
  Session* s = session(ctx);
  end_message(*s);
  s->in_message = true;
  {
    std::lock_guard lock(idle_mutex_);
    ++in_flight_;
  }
  s->envelope.from = argv != nullptr && argv[0] != nullptr ? argv[0] : "";
  s->envelope.client_ip = s->client_ip;
  std::string name = "m" + std::to_string(::getpid()) + "-" + std::to_string(++spool_sequence_);
  s->spool = std::make_unique<SpoolFile>(spool_, name);
  if (!s->spool->ok()) log_.error("spool: %s", s->spool->error().c_str());
  return SMFIS_CONTINUE;
}

int MilterApp::envrcpt(void* ctx, char** argv) {
  Session* s = session(ctx);
  if (s->in_message && argv != nullptr && argv[0] != nullptr) {
    s->envelope.recipients.emplace_back(argv[0]);
  }
  return SMFIS_CONTINUE;
}

int MilterApp::header(void* ctx, const char* name, const char* value) {
  Session* s = session(ctx);
  if (!s->in_message || s->spool == nullptr) return SMFIS_CONTINUE;
  int index = ++s->header_counts[name];
  if (is_verdict_header(name)) s->forged.emplace_back(name, index);
  s->spool->add_header(name, value != nullptr ? value : "", s->value_has_blank);
  return SMFIS_CONTINUE;
}

int MilterApp::eoh(void* ctx) {
  Session* s = session(ctx);
  if (s->spool != nullptr) s->spool->end_headers();
  return SMFIS_CONTINUE;
}

int MilterApp::body(void* ctx, const unsigned char* chunk, std::size_t length) {
  Session* s = session(ctx);
  if (s->spool != nullptr) {
    s->spool->body(std::string_view(reinterpret_cast<const char*>(chunk), length));
  }
  return SMFIS_CONTINUE;
}

int MilterApp::eom(void* ctx) {
  auto* c = static_cast<SMFICTX*>(ctx);
  Session* s = session(ctx);
  auto options = this->options();
  auto started = Clock::now();
  std::string queue_id = symbol(c, "i");
  if (queue_id.empty()) queue_id = "NOQUEUE";

  ScanResult result;
  if (s->spool == nullptr || !s->spool->finish(s->envelope)) {
    result.failure = s->spool != nullptr ? s->spool->error() : "no message";
  } else {
    result = engines_.scan(s->spool->message_path().string(), s->spool->envelope_path().string());
  }
  long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started)
                     .count();

  // Remove forged verdict headers (last first, so the indices stay right).
  auto remove_forged = [&] {
    for (auto it = s->forged.rbegin(); it != s->forged.rend(); ++it) {
      if (smfi_chgheader(c, const_cast<char*>(it->first.c_str()), it->second, nullptr) !=
          MI_SUCCESS) {
        log_.error("%s: cannot remove header %s", queue_id.c_str(), it->first.c_str());
      }
    }
  };

  int verdict = SMFIS_ACCEPT;
  if (result.answered && result.answer.kind == Answer::Kind::kError) {
    result.answered = false;
    result.failure = "engine error: " + result.answer.error;
  }
  if (!result.answered || result.answer.kind == Answer::Kind::kClean) {
    bool clean = result.answered;
    if (!clean && options->on_failure == FailureAction::kTempfail) {
      smfi_setreply(c, const_cast<char*>("451"), const_cast<char*>("4.3.0"),
                    const_cast<char*>("Message could not be scanned, try again later"));
      log_.info("%s: verdict=tempfail total=0 match=none ms=%lld engine=%d reason=%s",
                queue_id.c_str(), ms, result.engine, result.failure.c_str());
      verdict = SMFIS_TEMPFAIL;
    } else {
      remove_forged();
      log_.info("%s: verdict=accepted unscanned total=0 match=none ms=%lld engine=%d reason=%s",
                queue_id.c_str(), ms, result.engine,
                clean ? "too large for the engine" : result.failure.c_str());
    }
  } else {
    Judgement j = judge(result.answer);
    std::string match = "none";
    for (const std::string& line : result.answer.headers) {
      auto header = split_header(line);
      if (header && strcasecmp(header->first.c_str(), "X-Quarn-Match") == 0) {
        match = header->second;
      }
    }
    Verdict verdict_of_policy = decide(j, *options);
    const char* outcome = verdict_of_policy == Verdict::kHold ? "held" : "tagged";
    if (verdict_of_policy == Verdict::kReject) {
      smfi_setreply(c, const_cast<char*>("550"), const_cast<char*>("5.7.1"),
                    const_cast<char*>(options->reject_text.c_str()));
      verdict = SMFIS_REJECT;
      outcome = "rejected";
    } else {
      remove_forged();
      for (const std::string& line : result.answer.headers) {
        auto header = split_header(line);
        if (!header) {
          log_.error("%s: engine header line \"%.100s\" not added", queue_id.c_str(),
                     line.c_str());
          continue;
        }
        std::string value = (s->value_has_blank ? " " : "") + header->second;
        if (smfi_addheader(c, header->first.data(), value.data()) != MI_SUCCESS) {
          log_.error("%s: cannot add header %s", queue_id.c_str(), header->first.c_str());
        }
      }
      if (verdict_of_policy == Verdict::kHold) {
        std::string reason = "QuarnCRC spam score " + std::to_string(j.total);
        smfi_quarantine(c, reason.data());
      }
    }
    log_.info("%s: verdict=%s total=%.1f match=%s ms=%lld engine=%d", queue_id.c_str(), outcome,
              j.total, match.c_str(), ms, result.engine);
  }
  end_message(*s);
  return verdict;
}

void MilterApp::end_message(Session& s) {
  s.spool.reset();  // removes the message and envelope files
  s.envelope = Envelope{};
  s.header_counts.clear();
  s.forged.clear();
  if (s.in_message) {
    s.in_message = false;
    std::lock_guard lock(idle_mutex_);
    --in_flight_;
    idle_.notify_all();
  }
}

int MilterApp::abort(void* ctx) {
  end_message(*session(ctx));
  return SMFIS_CONTINUE;
}

int MilterApp::close(void* ctx) {
  auto* c = static_cast<SMFICTX*>(ctx);
  std::unique_ptr<Session> s(static_cast<Session*>(smfi_getpriv(c)));
  if (s != nullptr) {
    end_message(*s);
    smfi_setpriv(c, nullptr);
  }
  return SMFIS_CONTINUE;
}

namespace {

sfsistat on_negotiate(SMFICTX* ctx, unsigned long f0, unsigned long f1, unsigned long,
                      unsigned long, unsigned long* pf0, unsigned long* pf1, unsigned long* pf2,
                      unsigned long* pf3) {
  return g_app->negotiate(ctx, f0, f1, pf0, pf1, pf2, pf3);
}
sfsistat on_connect(SMFICTX* ctx, char*, _SOCK_ADDR* address) {
  return g_app->connect(ctx, address);
}
sfsistat on_envfrom(SMFICTX* ctx, char** argv) { return g_app->envfrom(ctx, argv); }
sfsistat on_envrcpt(SMFICTX* ctx, char** argv) { return g_app->envrcpt(ctx, argv); }
sfsistat on_header(SMFICTX* ctx, char* name, char* value) {
  return g_app->header(ctx, name, value);
}
sfsistat on_eoh(SMFICTX* ctx) { return g_app->eoh(ctx); }
sfsistat on_body(SMFICTX* ctx, unsigned char* chunk, size_t length) {
  return g_app->body(ctx, chunk, length);
}
sfsistat on_eom(SMFICTX* ctx) { return g_app->eom(ctx); }
sfsistat on_abort(SMFICTX* ctx) { return g_app->abort(ctx); }
sfsistat on_close(SMFICTX* ctx) { return g_app->close(ctx); }

}  // namespace

bool MilterApp::install() {
  g_app = this;
  smfiDesc desc{};
  desc.xxfi_name = const_cast<char*>("quarncrc-milter");
  desc.xxfi_version = SMFI_VERSION;
  desc.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_QUARANTINE;
  desc.xxfi_connect = on_connect;
  desc.xxfi_envfrom = on_envfrom;
  desc.xxfi_envrcpt = on_envrcpt;
  desc.xxfi_header = on_header;
  desc.xxfi_eoh = on_eoh;
  desc.xxfi_body = on_body;
  desc.xxfi_eom = on_eom;
  desc.xxfi_abort = on_abort;
  desc.xxfi_close = on_close;
  desc.xxfi_negotiate = on_negotiate;
  return smfi_register(desc) == MI_SUCCESS;
}

}  // namespace quarn::milter
