error(setmetatable({}, {__tostring = function() return {} end}))
