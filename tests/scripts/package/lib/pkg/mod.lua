return {name = ...}
