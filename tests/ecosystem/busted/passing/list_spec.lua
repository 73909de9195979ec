-- A suite that passes entirely.
describe("lists", function()
  it("sorts", function()
    local t = { 3, 1, 2 }
    table.sort(t)
    assert.are.same({ 1, 2, 3 }, t)
  end)

  it("spies on calls", function()
    local s = spy.new(function(x) return x * 2 end)
    assert.are.equal(8, s(4))
    assert.spy(s).was.called_with(4)
  end)
end)
