return require("requires_itself")
