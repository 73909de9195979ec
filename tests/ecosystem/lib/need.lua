-- Loads a module that a Debian package installs. When the module is nowhere on the search paths the
-- test fails with the package's name; when it is there but does not load, the loader's own error
-- stands, since that is a fault of the engine.
local function need(module, package_name)
  local path = package.searchpath(module, package.path) or package.searchpath(module, package.cpath)
  if not path then
    error(("needs the Debian package %s: module '%s' is not installed (make test installs it)")
          :format(package_name, module), 2)
  end
  return require(module)
end

return need
