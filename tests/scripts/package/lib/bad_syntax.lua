return +
