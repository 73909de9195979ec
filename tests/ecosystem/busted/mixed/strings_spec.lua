-- Specs for busted's own run: two pass, one raises an error, one is pending.
describe("strings", function()
  it("repeats", function()
    assert.are.equal("abab", ("ab"):rep(2))
    assert.is_true(("kestrix"):find("trix", 1, true) == 4)
  end)

  it("uses the dialect", function()
    local name = nil
    assert.are.equal("anonymous", name ?? "anonymous")
  end)

  it("fails with an error of its own", function()
    local missing
    return missing.field
  end)

  pending("is not written yet")
end)
