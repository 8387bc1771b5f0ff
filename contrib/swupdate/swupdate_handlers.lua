-- swupdate loads this file at start-up with require("swupdate_handlers"),
-- found through Lua's package.path (LUA_PATH). A board that already has its
-- own swupdate_handlers.lua adds the line below to it instead.
require("drimlet_handler")
