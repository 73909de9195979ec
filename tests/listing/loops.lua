local t, my_pairs = ...
for i = 1, 10 do t[i] = i end
for i = 10, 1, -2 do if i == 4 then break end end
for k, v in pairs(t) do t[k] = v end
for k, v in next, t do end
for k, v in my_pairs(t) do end
for a, b, c in pairs(t) do end
local w = 0
while w < 10 do
  w = w + 1
  if w == 5 then continue end
end
repeat w = w - 1 until w < 0
repeat local x = w; if x then break end until x
do
  ::top::
  w = w + 1
  if w < 3 then goto top end
end
goto done
local dead = 1
::done::
