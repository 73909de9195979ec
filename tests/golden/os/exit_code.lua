-- os.exit ends the process with the given status after flushing the output.
print("before exit")
os.exit(3)
print("not reached")
