-- The boot prompt of the installation media. The boot loader prints its
-- own DISPLAY file before its serial output is on, so this prompt shows
-- boot.msg itself once both the screen and the first serial port work,
-- then reads a line from either: ENTER alone (or no key before the
-- timeout) starts the default entry, anything else is run as if typed at
-- the loader's own prompt (an entry's name, then extra kernel arguments).
--
--   UI lua.c32 prompt.lua DEFAULT-ENTRY TIMEOUT-IN-TENTHS
local sl = require "syslinux"
local default = arg[1] or "vga"
local tenths = tonumber(arg[2] or "50") or 50

local function show(name)
  local f = io.open(name)
  if f then
    io.write(f:read("*a"))
    f:close()
  end
end

-- Returns the typed line, or nil when the timeout ran out first.
local function readline(timeout_ms)
  local line = ""
  io.write("boot: ")
  io.flush()
  while true do
    local k = sl.get_key(timeout_ms or 0)
    if k == sl.KEY.NONE then
      if timeout_ms then
        io.write("\n")
        return nil
      end
    else
      timeout_ms = nil -- the first key ends the countdown, as the loader's own prompt does
      if k == sl.KEY.ENTER or k == 10 then
        io.write("\n")
        return line
      elseif k == sl.KEY.BACKSPACE or k == sl.KEY.DEL then
        if #line > 0 then
          line = line:sub(1, -2)
          io.write("\b \b")
        end
      elseif k == 21 then -- Ctrl-U: the whole line
        io.write(string.rep("\b \b", #line))
        line = ""
      elseif k >= 32 and k < 127 and #line < 250 then
        line = line .. string.char(k)
        io.write(string.char(k))
      end
    end
    io.flush()
  end
end

show("boot.msg")
local timeout = tenths > 0 and tenths * 100 or nil
while true do
  local line = readline(timeout)
  timeout = nil
  line = line and line:match("^%s*(.-)%s*$") or ""
  if line == "" then line = default end
  sl.run_command(line)
  -- Only an entry that could not be started comes back here.
  io.write("could not start: " .. line .. "\n")
end
