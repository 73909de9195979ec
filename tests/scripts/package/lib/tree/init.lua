return {name = ..., init = true}
