// The library functions written in the engine's own bytecode: string.len, math.deg, math.rad,
// table.foreachi, table.foreach, table.getn, table.remove and table.move. Their arguments are
// checked by type-check instructions, which report them like the C functions do, and their table
// accesses are raw.
#pragma once

#include "lib/bcasm.h"

namespace kx_builtins {

constexpr double none[] = {0};
constexpr double deg_k[] = {57.29577951308232};
constexpr double rad_k[] = {0.017453292519943295};
constexpr double one_k[] = {0, 1};

KX_BCASM(len, 1, 2, none, 0, R"(
  ISTYPE 0 string
  LEN 0 0
  RET1 0 2
)");

KX_BCASM(deg, 1, 2, deg_k, 1, R"(
  ISNUM 0 0
  MULVN 0 0 #0
  RET1 0 2
)");

KX_BCASM(rad, 1, 2, rad_k, 1, R"(
  ISNUM 0 0
  MULVN 0 0 #0
  RET1 0 2
)");

KX_BCASM(getn, 1, 2, none, 0, R"(
  ISTYPE 0 table
  LEN 0 0
  RET1 0 2
)");

// for i = 1, #t do local r = f(i, t[i]) if r ~= nil then return r end end
KX_BCASM(foreachi, 2, 10, none, 0, R"(
  ISTYPE 0 table
  ISTYPE 1 function
  KSHORT 2 1
  LEN 3 0
  KSHORT 4 1
  FORI 2 @done
@loop:
  MOV 6 1
  MOV 7 5
  TGETR 8 0 5
  CALL 6 2 3
  ISEQP 6 nil
  JMP 9 @next
  RET1 6 2
@next:
  FORL 2 @loop
@done:
  RET0 0 1
)");

// for k, v in next, t do local r = f(k, v) if r ~= nil then return r end end
KX_BCASM(foreach, 2, 10, none, 0, R"(
  ISTYPE 0 table
  ISTYPE 1 function
  MOV 3 0
  KSHORT 4 0
  JMP 5 @iter
@body:
  MOV 7 1
  MOV 8 5
  MOV 9 6
  CALL 7 2 3
  ISEQP 7 nil
  JMP 10 @iter
  RET1 7 2
@iter:
  ITERN 5 3 3
  ITERL 5 @body
  RET0 0 1
)");

// remove(t): the last element; remove(t, pos): shift the rest down.
KX_BCASM(remove, 2, 10, one_k, 2, R"(
  ISTYPE 0 table
  LEN 2 0
  ISNEP 1 nil
  JMP 3 @withpos
  ISEQN 2 #0
  JMP 3 @none
  TGETR 3 0 2
  KPRI 4 nil
  TSETR 4 0 2
  RET1 3 2
@none:
  RET0 0 1
@withpos:
  ISNUM 1 0
  KSHORT 3 1
  ISLT 1 3
  JMP 4 @none
  ISLT 2 1
  JMP 4 @none
  TGETR 3 0 1
  ADDVN 4 1 #1
  MOV 5 2
  KSHORT 6 1
  FORI 4 @shifted
@shift:
  SUBVN 8 7 #1
  TGETR 9 0 7
  TSETR 9 0 8
  FORL 4 @shift
@shifted:
  KPRI 4 nil
  TSETR 4 0 2
  RET1 3 2
)");

// move(a1, f, e, t, a2): a2[t .. t + e - f] = a1[f .. e], descending when the ranges overlap upwards.
KX_BCASM(move, 5, 12, none, 0, R"(
  ISTYPE 0 table
  ISNUM 1 0
  ISNUM 2 0
  ISNUM 3 0
  ISNEP 4 nil
  JMP 5 @hasdst
  MOV 4 0
@hasdst:
  ISTYPE 4 table
  ISLT 2 1
  JMP 5 @done
  SUBVV 5 3 1
  ISLT 2 3
  JMP 6 @up
  ISLE 3 1
  JMP 6 @up
  ISNEV 4 0
  JMP 6 @up
  MOV 6 2
  MOV 7 1
  KSHORT 8 -1
  FORI 6 @done
@down:
  ADDVV 10 9 5
  TGETR 11 0 9
  TSETR 11 4 10
  FORL 6 @down
  JMP 6 @done
@up:
  MOV 6 1
  MOV 7 2
  KSHORT 8 1
  FORI 6 @done
@uploop:
  ADDVV 10 9 5
  TGETR 11 0 9
  TSETR 11 4 10
  FORL 6 @uploop
@done:
  RET1 4 2
)");

}  // namespace kx_builtins
