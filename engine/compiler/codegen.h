// The code generation core: per-function state, registers, constants, jump lists, and the lowering of
// expression descriptions into instructions.
#pragma once

#include "bytecode/bc.h"
#include "compiler/lex.h"
#include "core/func.h"

// What an expression is while it is being compiled.
enum ExprKind : uint32_t {
  ExprNil, ExprFalse, ExprTrue,  // primitive constants; also the KPRI operand
  ExprString,                    // info: GcString
  ExprNumber,                    // k: the number
  ExprCdata,                     // k: the C data value
  ExprLocal,                     // info: register, aux: VarSlot index
  ExprUpval,                     // info: upvalue number, aux: VarSlot index
  ExprGlobal,                    // info: GcString name
  ExprIndexed,                   // info: table register, aux: key (see expr_index)
  ExprJump,                      // info: pc of the JMP after a comparison
  ExprRelocable,                 // info: pc of an instruction whose A is not yet set
  ExprFixed,                     // info: register holding the value
  ExprCall,                      // info: pc of the CALL/CALLM/VARG, aux: base register
  ExprGuardedCall,               // the same, for a call that a "?." chain may skip
  ExprVoid,                      // no value
};

struct ExprDesc {
  union {
    struct {
      uint32_t info;
      uint32_t aux;
    };
    Value k;
  };
  uint32_t kind;
  int32_t true_jumps;   // jump list taken when the expression is true
  int32_t false_jumps;  // jump list taken when it is false
};

// Binary operators, in the order that the opcode arithmetic relies on.
enum BinOp : uint32_t {
  OPR_ADD, OPR_SUB, OPR_MUL, OPR_DIV, OPR_MOD, OPR_POW,
  OPR_BAND, OPR_BOR, OPR_BXOR, OPR_SHL, OPR_SHR, OPR_SAR,
  OPR_CONCAT, OPR_NE, OPR_EQ, OPR_LT, OPR_GE, OPR_LE, OPR_GT,
  OPR_AND, OPR_OR, OPR_COALESCE, OPR_NONE
};

// VarSlot info bits.
enum : uint8_t { KX_VAR_RW = 0x01, KX_VAR_JUMP = 0x02, KX_VAR_LABEL = 0x04, KX_VAR_CONST = 0x08 };

// Names that are codes instead of strings: hidden loop variables, and break/continue jumps.
enum : uintptr_t {
  KX_VARNAME_FOR_IDX = 1, KX_VARNAME_FOR_STOP, KX_VARNAME_FOR_STEP,
  KX_VARNAME_FOR_GEN, KX_VARNAME_FOR_STATE, KX_VARNAME_FOR_CTL, KX_VARNAME_MAX
};
enum : uintptr_t { KX_NAME_BREAK = 1, KX_NAME_CONTINUE = 2 };

inline GcString* varname_code(uintptr_t code) { return reinterpret_cast<GcString*>(code); }
inline bool varname_isstr(const GcString* name) { return reinterpret_cast<uintptr_t>(name) >= KX_VARNAME_MAX; }

// Block scope flags.
enum : uint8_t {
  KX_SCOPE_LOOP = 0x01, KX_SCOPE_BREAK = 0x02, KX_SCOPE_GOTO = 0x04, KX_SCOPE_UPVAL = 0x08,
  KX_SCOPE_NOCLOSE = 0x10, KX_SCOPE_CONTINUE = 0x20,
};

struct BlockScope {
  BlockScope* prev;   // enclosing block of the same function
  uint32_t vstart;    // vars_top when the block began
  uint8_t nactvar;    // active variables when the block began
  uint8_t flags;
};

constexpr uint32_t KX_MAX_LOCVAR = 200;
constexpr uint32_t KX_MAX_UPVAL = 60;
constexpr uint32_t KX_MAX_SLOTS = 250;
constexpr uint32_t KX_MAX_VSTACK = 65536 - KX_MAX_UPVAL;
constexpr uint32_t KX_MAX_LEVEL = 200;
constexpr uint32_t KX_MAX_CODE = 0x4000000;
constexpr uint32_t KX_MAX_CONSTS = 65536;

constexpr uint32_t NO_REG = 255;   // placeholder register of a value that goes nowhere
constexpr int32_t NO_JUMP = -1;    // the empty jump list
constexpr uint32_t JUMP_END = 0x7fff;  // D of the last jump of a list

struct FuncBuilder {
  GcTable* constants;      // constant -> index
  Lexer* lexer;
  lua_State* thread;
  BlockScope* block;
  FuncBuilder* parent;
  InsLine* code;           // this function's first instruction in the shared buffer
  uint32_t code_limit;
  uint32_t pc;
  uint32_t last_target;    // instructions before it may not be merged
  int32_t pending_jumps;   // patched to the next instruction emitted
  uint32_t free_reg;
  uint32_t active_vars;
  uint32_t num_count;
  uint32_t gc_count;
  int32_t min_line, max_line;
  uint32_t var_base;
  uint8_t flags;
  uint8_t num_params;
  uint8_t frame_size;
  uint8_t upval_count;
  uint16_t var_map[KX_MAX_LOCVAR];
  uint16_t upval_map[KX_MAX_UPVAL];
  uint16_t upval_source[KX_MAX_UPVAL];
};

// ---- Expression descriptions ----------------------------------------------------------------------------

inline void expr_init(ExprDesc* e, uint32_t kind, uint32_t info) {
  e->kind = kind;
  e->info = info;
  e->aux = 0;
  e->true_jumps = e->false_jumps = NO_JUMP;
}
inline void expr_initstr(ExprDesc* e, GcString* s) {
  expr_init(e, ExprString, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(s)));
}
inline GcString* expr_str(const ExprDesc* e) {
  return reinterpret_cast<GcString*>(static_cast<uintptr_t>(e->info));
}
inline bool expr_hasjump(const ExprDesc* e) { return e->true_jumps != e->false_jumps; }
inline bool expr_isk(const ExprDesc* e) { return e->kind <= ExprNumber; }
inline bool expr_isk_nojump(const ExprDesc* e) { return expr_isk(e) && !expr_hasjump(e); }
inline bool expr_isnumk(const ExprDesc* e) { return e->kind == ExprNumber && !expr_hasjump(e); }
inline bool expr_isstrk(const ExprDesc* e) { return e->kind == ExprString && !expr_hasjump(e); }

inline InsLine* expr_ins(FuncBuilder* fs, const ExprDesc* e) { return &fs->code[e->info]; }

// ---- Errors ---------------------------------------------------------------------------------------------

[[noreturn]] void err_syntax(Lexer* ls, ErrorCode code);
[[noreturn]] void err_limit(FuncBuilder* fs, uint32_t limit, const char* what);
inline void check_limit(FuncBuilder* fs, uint32_t value, uint32_t limit, const char* what) {
  if (value >= limit) err_limit(fs, limit, what);
}

// ---- Emission, registers, constants ---------------------------------------------------------------------

uint32_t bcemit_INS(FuncBuilder* fs, Instr ins);
inline uint32_t bcemit_ABC(FuncBuilder* fs, uint32_t op, uint32_t a, uint32_t b, uint32_t c) {
  return bcemit_INS(fs, bcins_abc(op, a, b, c));
}
inline uint32_t bcemit_AD(FuncBuilder* fs, uint32_t op, uint32_t a, uint32_t d) {
  return bcemit_INS(fs, bcins_ad(op, a, d));
}
// A jump instruction with a signed offset.
inline uint32_t bcemit_AJ(FuncBuilder* fs, uint32_t op, uint32_t a, int32_t j) {
  return bcemit_INS(fs, bcins_ad(op, a, static_cast<uint32_t>(j + int32_t(KX_BCBIAS_J))));
}
// Widens the function's line range to include line.
void widen_lines(FuncBuilder* fs, int32_t line);
// Sets the line of an instruction emitted earlier.
void set_line(FuncBuilder* fs, uint32_t pc, int32_t line);

void reg_bump(FuncBuilder* fs, uint32_t n);
void reg_reserve(FuncBuilder* fs, uint32_t n);
void reg_free(FuncBuilder* fs, uint32_t reg);
void reg_release(FuncBuilder* fs, const ExprDesc* e);

uint32_t const_number(FuncBuilder* fs, const ExprDesc* e);
uint32_t const_string(FuncBuilder* fs, GcString* s);
uint32_t const_object(FuncBuilder* fs, GcObj* obj, uint32_t tag);

// ---- Jumps ----------------------------------------------------------------------------------------------

int32_t bcemit_jmp(FuncBuilder* fs);
void jmp_append(FuncBuilder* fs, int32_t* list, int32_t other);
void jump_here(FuncBuilder* fs, int32_t list);
void jump_patch(FuncBuilder* fs, int32_t list, uint32_t target);
void jmp_patchins(FuncBuilder* fs, uint32_t pc, uint32_t target);
int32_t jmp_next(FuncBuilder* fs, uint32_t pc);

// ---- Lowering -------------------------------------------------------------------------------------------

void expr_discharge(FuncBuilder* fs, ExprDesc* e);
void expr_toreg_nobranch(FuncBuilder* fs, ExprDesc* e, uint32_t reg);
void expr_toreg(FuncBuilder* fs, ExprDesc* e, uint32_t reg);
void expr_tonextreg(FuncBuilder* fs, ExprDesc* e);
uint32_t expr_toanyreg(FuncBuilder* fs, ExprDesc* e);
void expr_value(FuncBuilder* fs, ExprDesc* e);
void expr_index(FuncBuilder* fs, ExprDesc* t, ExprDesc* key);
// The load instruction of an indexed expression, without releasing its registers.
Instr expr_loadins(const ExprDesc* e);

void bcemit_store(FuncBuilder* fs, ExprDesc* var, ExprDesc* e);
void bcemit_nil(FuncBuilder* fs, uint32_t from, uint32_t n);
void bcemit_branch_t(FuncBuilder* fs, ExprDesc* e);
void branch_false(FuncBuilder* fs, ExprDesc* e);
void invert_cond(FuncBuilder* fs, ExprDesc* e);
void bcemit_binop(FuncBuilder* fs, BinOp op, ExprDesc* e1, ExprDesc* e2);
// A unary operator (NOT, UNM, LEN or BNOT) applied to e, folded where possible.
void bcemit_unop(FuncBuilder* fs, uint32_t op, ExprDesc* e);
