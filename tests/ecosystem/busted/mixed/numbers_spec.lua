-- Specs for busted's own run: four pass, one fails, one is pending.
describe("numbers", function()
  local base

  before_each(function() base = 10 end)

  it("adds", function()
    assert.are.equal(12, base + 2)
  end)

  it("compares tables by value", function()
    assert.are.same({ 1, { 2, 3 } }, { 1, { 2, base - 7 } })
  end)

  it("sees each spec's own set-up", function()
    base = base * 2
    assert.are.equal(20, base)
  end)

  it("reports a wrong expectation", function()
    assert.are.same({ total = 3 }, { total = base })
  end)

  describe("errors", function()
    it("expects a raised error", function()
      assert.has_error(function() error("boom") end, "boom")
    end)
  end)

  pending("division by zero rules")
end)
