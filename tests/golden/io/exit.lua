-- os.exit leaves through the C library's exit, which flushes what is still buffered.
print("printed")
io.write("written without a newline")
os.exit(3)
