-- Hands one message file to quarncrc-milter over the milter protocol, the
-- way a mail server would, and prints the milter's verdict and the header
-- lines it adds. Run by scripts/demo.sh:
--   miltertest -D socket=inet:PORT@127.0.0.1 -D message=FILE -s milter-demo.lua

local conn = mt.connect(socket, 40, 0.25)
if conn == nil then error("cannot connect to " .. socket) end
assert(mt.negotiate(conn, nil, nil, nil) == nil)
assert(mt.conninfo(conn, "client.example.net", "192.0.2.10") == nil)
assert(mt.helo(conn, "client.example.net") == nil)
assert(mt.mailfrom(conn, "<sender@example.net>") == nil)
assert(mt.rcptto(conn, "<postmaster@example.com>") == nil)
assert(mt.data(conn) == nil)

local f = assert(io.open(message, "rb"))
local text = f:read("*a"):gsub("\r\n", "\n")
f:close()
local head, body = text:match("^(.-)\n\n(.*)$")
if head == nil then head, body = text, "" end

-- Header lines as a mail server reports them: a folded value keeps its
-- line breaks, the blank after the colon goes with the value.
local name, value
local function send_header()
  if name ~= nil then assert(mt.header(conn, name, value) == nil) end
end
for line in (head .. "\n"):gmatch("(.-)\n") do
  if name ~= nil and line:match("^[ \t]") then
    value = value .. "\n" .. line
  else
    send_header()
    name, value = line:match("^([^: \t]+):(.*)$")
  end
end
send_header()
assert(mt.eoh(conn) == nil)
assert(mt.bodystring(conn, (body:gsub("\n", "\r\n"))) == nil)
assert(mt.eom(conn) == nil)

local reply = mt.getreply(conn)
local verdict = "other"
if reply == SMFIR_ACCEPT or reply == SMFIR_CONTINUE then verdict = "accept" end
if reply == SMFIR_REJECT or reply == SMFIR_REPLYCODE then verdict = "reject" end
if reply == SMFIR_TEMPFAIL then verdict = "tempfail" end
mt.echo(message .. ": " .. verdict)
for _, h in ipairs({"X-Quarn-CRC", "X-Quarn-Match", "X-SpamDetect", "X-Quarn-Info"}) do
  local v = mt.getheader(conn, h, 0)
  if v ~= nil then mt.echo("  " .. h .. ":" .. v) end
end
mt.disconnect(conn)
