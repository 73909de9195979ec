-- Debian's LuaSocket (native socket.core and mime.core built for Lua 5.1, with its Lua layers) runs
-- a TCP echo on the loopback address inside one script.
local need = require "lib.need"
local socket = need("socket", "lua-socket")
local mime = need("mime", "lua-socket")
local ltn12 = need("ltn12", "lua-socket")
local url = need("socket.url", "lua-socket")

assert(socket._VERSION:match("^LuaSocket"))

-- The clock moves forward.
local t0 = socket.gettime()
socket.sleep(0.02)
local t1 = socket.gettime()
assert(t1 > t0 and t1 - t0 >= 0.015 and t1 - t0 < 5, t1 - t0)

-- Echo: the server listens on a free port of 127.0.0.1; with nobody connecting yet accept times out.
local server = assert(socket.bind("127.0.0.1", 0))
local host, port = server:getsockname()
assert(host == "127.0.0.1" and tonumber(port) > 0)
server:settimeout(0.05)
local none, err = server:accept()
assert(none == nil and err == "timeout", err)

local client = assert(socket.connect("127.0.0.1", port))
server:settimeout(2)
local peer = assert(server:accept())
peer:settimeout(2)
client:settimeout(2)

assert(client:send("hello\n") == 6)
local line = assert(peer:receive("*l"))
assert(line == "hello")
assert(peer:send(line:upper() .. "\n"))
assert(client:receive("*l") == "HELLO")

-- A block larger than the socket buffers, read by count.
local block = string.rep("0123456789", 10000)
assert(client:send(block) == #block)
local got = assert(peer:receive(#block))
assert(got == block)

-- Closing one end ends the other's reading with "closed" and hands over the partial data.
peer:send("tail")
peer:close()
local rest, why, partial = client:receive("*a")
assert(rest == "tail" or partial == "tail", tostring(rest))
client:close()
server:close()
assert(tostring(client):match("^tcp{client}: 0x%x+$"))
assert(select(2, client:send("x")) == "closed")

-- select reports a readable listening socket once a client waits.
local s2 = assert(socket.bind("127.0.0.1", 0))
local _, p2 = s2:getsockname()
local c2 = assert(socket.connect("127.0.0.1", p2))
local readable = socket.select({ s2 }, nil, 2)
assert(readable[1] == s2)
c2:close()
s2:close()

-- mime: base64 and quoted-printable through the C core, and an ltn12 pipeline.
assert(mime.b64("hello") == "aGVsbG8=")
assert(mime.unb64("aGVsbG8=") == "hello")
assert((mime.qp("caf\233 = ok")) == "caf=E9 =3D ok")
local out = {}
ltn12.pump.all(ltn12.source.string("Lua 5.1 modules"), ltn12.sink.chain(mime.encode("base64"), (ltn12.sink.table(out))))
assert(table.concat(out) == "THVhIDUuMSBtb2R1bGVz", table.concat(out))

-- socket.url parses with string patterns only.
local parsed = url.parse("http://user@example.org:8080/a/b?q=1#frag")
assert(parsed.host == "example.org" and parsed.port == "8080" and parsed.path == "/a/b")
assert(parsed.query == "q=1" and parsed.fragment == "frag" and parsed.user == "user")
assert(url.escape("a b&c") == "a%20b%26c")
