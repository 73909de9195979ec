print(print, assert, tostring)
