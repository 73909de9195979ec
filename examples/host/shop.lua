-- The script that examples/host/host.c runs: it sets up a shop with the host's inventory module and
-- answers the orders the host sends.
config = { shop = "Corner Shop" }

local stock = {
  apple = inventory.new("apple", 10),
  pear = inventory.new("pear", 5),
}

function on_order(item, quantity)
  local s = stock[item] ?? error("no such item: " .. item)
  local left = s:add(-quantity) -- raises when the order takes more than is left
  return left
end

function report()
  local lines = {}
  for _, name in ipairs({ "apple", "pear" }) do lines[#lines + 1] = tostring(stock[name]) end
  return inventory.join(", ", table.unpack(lines))
end
