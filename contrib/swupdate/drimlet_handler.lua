--[[
swupdate handler for image type "drimlet": installs a Windows CE BIN image
onto raw NAND with drimlet, and refuses the update before the flash is
touched when the image or the layout is wrong.

sw-description, per image:
  type = "drimlet";
  device = "/dev/mtd0";               -- MTD character device of the flash
  properties: {
    nonfs-mib = "64";                 -- non-Filesystem partition size in MiB
    erase-size = "128K";              -- optional: the flash's erase size, for check
    drimlet = "/usr/bin/drimlet";     -- optional tool paths
    drimlet-inspect = "/usr/bin/drimlet-inspect";
  };

Loaded by swupdate through swupdate_handlers.lua (require "drimlet_handler").
Returns 0 to swupdate only when the installed flash verifies against the image.
swupdate's progress bar follows the install: drimlet reports each percent
written through --progress-fd (drimlet 0.1.0 or later).
]]

local M = {}

-- drimlet counts -n in 32 bits and takes "12abc" as 12: anything but a plain
-- decimal below 4096 MiB would install with a partition size nobody asked for.
local MAX_NONFS_MIB = 4095

-- Output lines kept in the log per step; a plan or verify of a large image
-- lists hundreds of blocks, and a fleet server keeps every line it is sent.
local MAX_LOGGED_LINES = 40

-- A failed step's findings logged as errors: the operator's page shows
-- errors in red, and a few lines say why at a glance.
local MAX_FINDINGS = 5

local function shell_quote(text)
  return "'" .. tostring(text):gsub("'", "'\\''") .. "'"
end

local function read_lines(path)
  local lines = {}
  local file = io.open(path, "r")
  if not file then return lines end
  for line in file:lines() do
    lines[#lines + 1] = line
  end
  file:close()
  return lines
end

-- swupdate.info/error take a format string: never pass tool output as one.
local function log_lines(log, prefix, lines, limit)
  local shown = math.min(#lines, limit)
  for i = #lines - shown + 1, #lines do
    log("%s%s", prefix, lines[i])
  end
  if #lines > shown then
    log("%s(%d earlier lines not shown)", prefix, #lines - shown)
  end
end

local function exit_status(how, code)
  if how == "signal" then return 128 + (code or 0) end
  return code or 1
end

-- Runs argv with standard output and error captured in files under workdir.
-- With `on_progress`, the step is drimlet with --progress-fd 3: descriptor 3
-- is a pipe read here line by line as the install goes, and each
-- "progress N" line (drimlet(1)) is handed to on_progress(N).
-- Returns the exit status (128 + signal when killed), stdout and stderr lines.
local function run(workdir, argv, on_progress)
  local words = {}
  for i, arg in ipairs(argv) do
    words[i] = shell_quote(arg)
  end
  local out_path, err_path = workdir .. "/stdout", workdir .. "/stderr"
  local redirections = " </dev/null >" .. shell_quote(out_path) .. " 2>" .. shell_quote(err_path)
  local status
  if on_progress then
    -- 3>&1 first: descriptor 3 takes the pipe before standard output goes to its file.
    local pipe = io.popen(table.concat(words, " ") .. " 3>&1" .. redirections, "r")
    if not pipe then return 1, {}, { "cannot start " .. tostring(argv[1]) } end
    for line in pipe:lines() do
      local percent = line:match("^progress (%d+)$")
      if percent then on_progress(tonumber(percent)) end
    end
    local _, how, code = pipe:close()
    status = exit_status(how, code)
  else
    local _, how, code = os.execute(table.concat(words, " ") .. redirections)
    status = exit_status(how, code)
  end
  local out, err = read_lines(out_path), read_lines(err_path)
  os.remove(out_path)
  os.remove(err_path)
  return status, out, err
end

local function make_workdir()
  local base = swupdate.tmpdir and swupdate.tmpdir() or os.getenv("TMPDIR") or "/tmp"
  base = base:gsub("/+$", "")
  local pipe = io.popen("mktemp -d " .. shell_quote(base .. "/drimlet.XXXXXX"))
  if not pipe then return nil end
  local dir = pipe:read("l")
  pipe:close()
  if dir == nil or dir == "" then return nil end
  return dir
end

local function remove_workdir(dir)
  os.execute("rm -rf " .. shell_quote(dir))
end

-- swupdate 2022.12 gives a Lua handler swupdate.progress_update(percent)
-- for the bar of the image being installed; it passes a value on only when
-- it differs from the last one.
local function progress(percent)
  if swupdate.progress_update then swupdate.progress_update(math.floor(percent)) end
end

-- Reads and checks the image's settings; returns a settings table or nil and
-- the reason.
function M.settings(image)
  local properties = image.properties or {}
  local device = image.device
  if device == nil or device == "" then
    return nil, "no device: set device = \"/dev/mtdN\" for the image in sw-description"
  end
  local nonfs = properties["nonfs-mib"]
  if type(nonfs) ~= "string" or not nonfs:match("^[1-9]%d*$") or tonumber(nonfs) > MAX_NONFS_MIB then
    return nil, string.format("nonfs-mib must be a whole number of MiB from 1 to %d, not %s",
      MAX_NONFS_MIB, tostring(nonfs))
  end
  local erase = properties["erase-size"]
  if erase ~= nil and (type(erase) ~= "string" or not erase:match("^[1-9]%d*[KM]?$")) then
    return nil, string.format("erase-size must be bytes or a number with K or M, not %s", tostring(erase))
  end
  for _, key in ipairs({ "drimlet", "drimlet-inspect" }) do
    if properties[key] ~= nil and type(properties[key]) ~= "string" then
      return nil, key .. " must be a single path"
    end
  end
  return {
    device = device,
    nonfs = nonfs,
    erase = erase,
    drimlet = properties["drimlet"] or "drimlet",
    inspect = properties["drimlet-inspect"] or "drimlet-inspect",
  }
end

-- The steps in order; `touches_flash` marks where a failure can no longer be
-- called a refusal.
local function steps(s, path)
  -- check counts image blocks at 128 KiB unless told the flash's erase size;
  -- plan always works with the device's own geometry.
  local check = { s.inspect, "check", "-n", s.nonfs, path }
  if s.erase then
    check = { s.inspect, "check", "--erase", s.erase, "-n", s.nonfs, path }
  end
  -- `from` and `done` place each step on swupdate's bar: the install, the
  -- long step, moves it from `from` to `done` as drimlet's progress lines come.
  return {
    { name = "check", touches_flash = false, from = 0, done = 2, argv = check },
    { name = "plan", touches_flash = false, from = 2, done = 5,
      argv = { s.inspect, "plan", "-n", s.nonfs, s.device, path } },
    { name = "install", touches_flash = true, from = 5, done = 85, reports_progress = true,
      argv = { s.drimlet, "--progress-fd", "3", "-n", s.nonfs, s.device, path } },
    { name = "verify", touches_flash = true, from = 85, done = 100,
      argv = { s.inspect, "verify", s.device, path } },
  }
end

-- "record 5 at ...: does not match (...)", "non-Filesystem partition ...:
-- does not fit", "image block 3 (...): 12 bytes differ": the lines of a
-- drimlet-inspect report that name what is wrong, among many that say "matches".
local function is_finding(line)
  return line:find("does not match", 1, true) or line:find("does not fit", 1, true)
    or line:find(" differ", 1, true) or line:find("not in the partition table", 1, true)
end

-- The line that says why the step failed: drimlet-inspect's verdict (its
-- report's last line, "check: the image would not install: ..."), or else
-- the last line the tool wrote on standard error (drimlet's reason, or
-- drimlet-inspect's when it could not report at all).
local function reason_of(name, out, err)
  local last = out[#out]
  if last and last:sub(1, #name + 2) == name .. ": " then return last end
  for i = #err, 1, -1 do
    if err[i]:match("%S") then return err[i] end
  end
  return last
end

-- A failed step in the log: what failed as errors (the failing records or
-- blocks, then the verdict), the rest of standard error as information (the
-- install's "Bad block at ..., skipping..." lines), the rest of
-- drimlet-inspect's report as debug, as for a step that passes. Shown on
-- swupdate's web page, the errors are the few red lines under the
-- operator's eyes; a fleet server gets the same.
local function report_failure(name, out, err)
  local prefix = "drimlet: " .. name .. ": "
  local reason = reason_of(name, out, err)
  local findings, rest = {}, {}
  for _, line in ipairs(out) do
    if line ~= reason and is_finding(line) then
      findings[#findings + 1] = line:match("^%s*(.-)$")
    else
      rest[#rest + 1] = line
    end
  end
  local others = {}
  for _, line in ipairs(err) do
    if line ~= reason then others[#others + 1] = line end
  end
  log_lines(swupdate.debug, prefix, rest, MAX_LOGGED_LINES)
  log_lines(swupdate.info, prefix, others, MAX_LOGGED_LINES)
  for i = 1, math.min(#findings, MAX_FINDINGS) do
    swupdate.error("%s%s", prefix, findings[i])
  end
  if #findings > MAX_FINDINGS then
    swupdate.error("%s(and %d more like it)", prefix, #findings - MAX_FINDINGS)
  end
  if reason then
    -- "drimlet: check: the image would not install", not "check: check: ...".
    if reason:sub(1, #name + 2) == name .. ": " then reason = reason:sub(#name + 3) end
    swupdate.error("%s%s", prefix, reason)
  end
end

local function install(image, workdir)
  local s, why = M.settings(image)
  if not s then
    swupdate.error("drimlet: %s; update refused, flash untouched", why)
    return 1
  end

  local path = workdir .. "/image.bin"
  -- copy2file checks the image against the sha256 in the signed sw-description.
  local copied, copy_error = image:copy2file(path)
  if copied ~= 0 then
    swupdate.error("drimlet: cannot extract %s: %s; update refused, flash untouched",
      tostring(image.filename), tostring(copy_error))
    return 1
  end

  for _, step in ipairs(steps(s, path)) do
    swupdate.info("drimlet: %s: %s", step.name, table.concat(step.argv, " "))
    progress(step.from)
    local on_progress = nil
    if step.reports_progress then
      on_progress = function(percent)
        progress(step.from + (step.done - step.from) * math.min(percent, 100) / 100)
      end
    end
    local status, out, err = run(workdir, step.argv, on_progress)
    if status ~= 0 then
      report_failure(step.name, out, err)
      if step.touches_flash then
        swupdate.error("drimlet: %s failed with status %d on %s", step.name, status, s.device)
      else
        swupdate.error("drimlet: %s failed with status %d; update refused, flash untouched",
          step.name, status)
      end
      return 1
    end
    log_lines(swupdate.debug, "drimlet: " .. step.name .. ": ", out, MAX_LOGGED_LINES)
    log_lines(swupdate.info, "drimlet: " .. step.name .. ": ", err, MAX_LOGGED_LINES)
    progress(step.done)
  end
  swupdate.info("drimlet: %s installed on %s and verified", tostring(image.filename), s.device)
  return 0
end

function M.handler(image)
  local workdir = make_workdir()
  if not workdir then
    swupdate.error("drimlet: cannot create a working directory under %s",
      tostring(swupdate.tmpdir and swupdate.tmpdir()))
    return 1
  end
  local ok, result = pcall(install, image, workdir)
  remove_workdir(workdir)
  if not ok then
    swupdate.error("drimlet: handler error: %s", tostring(result))
    return 1
  end
  return result
end

swupdate.register_handler("drimlet", M.handler, swupdate.HANDLER_MASK.IMAGE_HANDLER)

return M
