-- print, io.write and io.stdout share one buffered standard output, flushed before an uncaught error
-- is reported and at the end.
print("first", 1)
io.write("second ", 2, "\n")
io.stdout:write("third")
print("")
io.write("no newline before the child's output: ")
os.execute("echo child")
io.stdout:setvbuf("full")
print(io.popen("echo piped"):read("l"))
io.write("unfinished line")
error("stop")
