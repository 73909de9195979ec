// The instruction set: opcodes, operand kinds and the descriptor table (the word is core/instr.h).
//
// One list below is the source of the opcode enum, the names and the descriptors, so their numbering
// cannot drift apart. Stored chunks and every table indexed by opcode depend on this order.
#pragma once

#include "core/instr.h"

constexpr uint32_t KX_NO_JMP = ~0u;      // an empty jump list

// Opcode list: name, operand kinds of A, B and C/D, metamethod.
// clang-format off
#define KX_BCDEF(_) \
  _(ISLT, var, ___, var, lt) \
  _(ISGE, var, ___, var, lt) \
  _(ISLE, var, ___, var, le) \
  _(ISGT, var, ___, var, le) \
  _(ISEQV, var, ___, var, eq) \
  _(ISNEV, var, ___, var, eq) \
  _(ISEQS, var, ___, str, eq) \
  _(ISNES, var, ___, str, eq) \
  _(ISEQN, var, ___, num, eq) \
  _(ISNEN, var, ___, num, eq) \
  _(ISEQP, var, ___, pri, eq) \
  _(ISNEP, var, ___, pri, eq) \
  _(ISTC, dst, ___, var, ___) \
  _(ISFC, dst, ___, var, ___) \
  _(IST, ___, ___, var, ___) \
  _(ISF, ___, ___, var, ___) \
  _(ISTYPE, var, ___, lit, ___) \
  _(ISNUM, var, ___, lit, ___) \
  _(MOV, dst, ___, var, ___) \
  _(NOT, dst, ___, var, ___) \
  _(UNM, dst, ___, var, unm) \
  _(LEN, dst, ___, var, len) \
  _(ADDVN, dst, var, num, add) \
  _(SUBVN, dst, var, num, sub) \
  _(MULVN, dst, var, num, mul) \
  _(DIVVN, dst, var, num, div) \
  _(MODVN, dst, var, num, mod) \
  _(ADDNV, dst, var, num, add) \
  _(SUBNV, dst, var, num, sub) \
  _(MULNV, dst, var, num, mul) \
  _(DIVNV, dst, var, num, div) \
  _(MODNV, dst, var, num, mod) \
  _(ADDVV, dst, var, var, add) \
  _(SUBVV, dst, var, var, sub) \
  _(MULVV, dst, var, var, mul) \
  _(DIVVV, dst, var, var, div) \
  _(MODVV, dst, var, var, mod) \
  _(POW, dst, var, var, pow) \
  _(CAT, dst, rbase, rbase, concat) \
  _(KSTR, dst, ___, str, ___) \
  _(KCDATA, dst, ___, cdata, ___) \
  _(KSHORT, dst, ___, lits, ___) \
  _(KNUM, dst, ___, num, ___) \
  _(KPRI, dst, ___, pri, ___) \
  _(KNIL, base, ___, base, ___) \
  _(UGET, dst, ___, uv, ___) \
  _(USETV, uv, ___, var, ___) \
  _(USETS, uv, ___, str, ___) \
  _(USETN, uv, ___, num, ___) \
  _(USETP, uv, ___, pri, ___) \
  _(UCLO, rbase, ___, jump, ___) \
  _(FNEW, dst, ___, func, gc) \
  _(TNEW, dst, ___, lit, gc) \
  _(TDUP, dst, ___, tab, gc) \
  _(GGET, dst, ___, str, index) \
  _(GSET, var, ___, str, newindex) \
  _(TGETV, dst, var, var, index) \
  _(TGETS, dst, var, str, index) \
  _(TGETB, dst, var, lit, index) \
  _(TGETR, dst, var, var, index) \
  _(TSETV, var, var, var, newindex) \
  _(TSETS, var, var, str, newindex) \
  _(TSETB, var, var, lit, newindex) \
  _(TSETM, base, ___, num, newindex) \
  _(TSETR, var, var, var, newindex) \
  _(CALLM, base, lit, lit, call) \
  _(CALL, base, lit, lit, call) \
  _(CALLMT, base, ___, lit, call) \
  _(CALLT, base, ___, lit, call) \
  _(ITERC, base, lit, lit, call) \
  _(ITERN, base, lit, lit, call) \
  _(VARG, base, lit, lit, ___) \
  _(ISNEXT, base, ___, jump, ___) \
  _(RETM, base, ___, lit, ___) \
  _(RET, rbase, ___, lit, ___) \
  _(RET0, rbase, ___, lit, ___) \
  _(RET1, rbase, ___, lit, ___) \
  _(FORI, base, ___, jump, ___) \
  _(JFORI, base, ___, jump, ___) \
  _(FORL, base, ___, jump, ___) \
  _(IFORL, base, ___, jump, ___) \
  _(JFORL, base, ___, lit, ___) \
  _(ITERL, base, ___, jump, ___) \
  _(IITERL, base, ___, jump, ___) \
  _(JITERL, base, ___, lit, ___) \
  _(LOOP, rbase, ___, jump, ___) \
  _(ILOOP, rbase, ___, jump, ___) \
  _(JLOOP, rbase, ___, lit, ___) \
  _(JMP, rbase, ___, jump, ___) \
  _(BNOT, dst, ___, var, ___) \
  _(BAND, dst, var, var, ___) \
  _(BOR, dst, var, var, ___) \
  _(BXOR, dst, var, var, ___) \
  _(BSHL, dst, var, var, ___) \
  _(BSHR, dst, var, var, ___) \
  _(BSAR, dst, var, var, ___) \
  _(FUNCF, rbase, ___, ___, ___) \
  _(IFUNCF, rbase, ___, ___, ___) \
  _(JFUNCF, rbase, ___, lit, ___) \
  _(FUNCV, rbase, ___, ___, ___) \
  _(IFUNCV, rbase, ___, ___, ___) \
  _(JFUNCV, rbase, ___, lit, ___) \
  _(FUNCC, rbase, ___, ___, ___) \
  _(FUNCCW, rbase, ___, ___, ___)
// clang-format on

enum BCOp : uint32_t {
#define BCENUM(name, ma, mb, mc, mm) BC_##name,
  KX_BCDEF(BCENUM)
#undef BCENUM
  BC__MAX
};
static_assert(BC_JMP == 88 && BC_BNOT == 89 && BC_BSAR == 95 && BC_FUNCF == 96 && BC__MAX == 104);

// Operand kinds.
enum BCMode : uint32_t {
  BCMnone, BCMdst, BCMbase, BCMvar, BCMrbase, BCMuv, BCMlit, BCMlits, BCMpri, BCMnum, BCMstr,
  BCMtab, BCMfunc, BCMjump, BCMcdata, BCM_max
};
constexpr uint32_t BCM___ = BCMnone;

// Descriptor word: kind of A (bits 0-2), of B (3-6), of C/D (7-10), metamethod (11-15; 22 for none).
extern const uint16_t kx_bc_mode[BC__MAX];
extern const char* const kx_bc_names[BC__MAX];

constexpr uint32_t KX_MM_NONE = 22;

inline BCMode bcmode_a(uint32_t op) { return static_cast<BCMode>(kx_bc_mode[op] & 7); }
inline BCMode bcmode_b(uint32_t op) { return static_cast<BCMode>((kx_bc_mode[op] >> 3) & 15); }
inline BCMode bcmode_c(uint32_t op) { return static_cast<BCMode>((kx_bc_mode[op] >> 7) & 15); }
inline BCMode bcmode_d(uint32_t op) { return bcmode_c(op); }
inline uint32_t bcmode_mm(uint32_t op) { return kx_bc_mode[op] >> 11; }
inline bool bcmode_hasd(uint32_t op) { return bcmode_b(op) == BCMnone; }

// Opcode families.
inline bool bc_isret(uint32_t op) { return op == BC_RETM || op == BC_RET || op == BC_RET0 || op == BC_RET1; }
// Inverts a comparison: the pairs differ in bit 0.
inline uint32_t bc_invert(uint32_t op) { return op ^ 1; }
