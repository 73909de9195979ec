error(setmetatable({}, {__tostring = function() return "custom message" end}))
