print(#arg, arg[0], arg[1], arg[2], select('#', ...))
assert(arg[-1] ~= nil)
