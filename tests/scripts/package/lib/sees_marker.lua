return {name = ..., marker = package.loaded[...]}
