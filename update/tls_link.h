// The update run's connection over TLS (HTTPS), used when HTTP_TLS is true.
//
// The TCP library connects (host text, ":port", time limits as for plain
// HTTP); OpenSSL then speaks TLS 1.2 or later over that socket and checks
// the server's certificate: it must chain to a trusted authority (the file
// HTTP_CA_FILE names, else the system's store) and name the host that was
// asked for (its DNS name, or its IP address when the host is one). A
// server that fails the check is never sent the request; the failure text
// says why ("certificate verify failed: ...").
//
// Answer lines follow the TCP library's line reader (support/tcplib.h): at
// most size - 1 characters, the rest of a longer line lost, CR before LF
// dropped, cut at a NUL; a line must complete within the read limit from
// its first chunk.
//
// Owned by one update run on one thread.
#pragma once

#include <memory>
#include <string>

#include "support/log.h"
#include "support/tcplib.h"
#include "update/update_client.h"

namespace quarn {

class TlsUpdateLink final : public UpdateLink {
 public:
  // `ca_file` empty: the system's trusted authorities.
  TlsUpdateLink(Log& log, UpdateLinkLimits limits, std::string ca_file);
  ~TlsUpdateLink() override;
  int open(const std::string& host, int port) override;
  std::string error() override;
  int send(const std::string& text) override;
  int readline(std::string& line, std::size_t size) override;
  int read(char* data, std::size_t size) override;
  void close() override;
  int read_limit_ms() const override;

 private:
  struct State;
  // Waits for the socket as the last TLS call asked; false on time-out,
  // error or end of stream.
  bool wait_for(int rc, int limit_ms);
  // One TLS read within the limit into `data`; the count, 0 when none.
  int read_some(char* data, std::size_t size, int limit_ms);
  int write_limit_ms() const;

  Log& log_;
  const UpdateLinkLimits limits_;
  const std::string ca_file_;
  std::unique_ptr<State> state_;
};

}  // namespace quarn
