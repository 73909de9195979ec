-- A tour of the tarnel dialect.
print("Hello from tarnel!")
