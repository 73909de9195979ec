error("failing module")
