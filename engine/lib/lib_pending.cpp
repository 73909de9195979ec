// Libraries whose functions are not built yet. Their definitions (vm/libdefs.h) are complete, so that
// every fast-function id is fixed; opening such a library raises an error naming it until it is built.
#include "lib/lib.h"
#include "lualib.h"

