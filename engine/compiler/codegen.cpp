// The code generation core.
#include "compiler/codegen.h"

#include "core/arith.h"
#include "core/cdata.h"
#include "core/mem.h"
#include "core/state.h"
#include "core/table.h"

// ---- Errors ---------------------------------------------------------------------------------------------

void err_syntax(Lexer* ls, ErrorCode code) { kx_lex_error(ls, ls->token, code); }

void err_limit(FuncBuilder* fs, uint32_t limit, const char* what) {
  Lexer* ls = fs->lexer;
  if (fs->min_line == 0) kx_lex_error(ls, ls->token, KX_ERR_MainLimit, static_cast<int>(limit), what);
  kx_lex_error(ls, ls->token, KX_ERR_FunctionLimit, static_cast<int>(fs->min_line), static_cast<int>(limit), what);
}

// ---- Emission -------------------------------------------------------------------------------------------

static void jmp_patchval(FuncBuilder* fs, int32_t list, uint32_t vtarget, uint32_t reg, uint32_t dtarget);

// Doubles the shared instruction buffer and moves every open function's view of it.
static void code_grow(FuncBuilder* fs) {
  Lexer* ls = fs->lexer;
  uint32_t old = ls->code_capacity;
  if (old >= KX_MAX_CODE) err_limit(fs, KX_MAX_CODE, "bytecode instructions");
  uint32_t size = old < 4 ? 8 : 2 * old;
  if (size > KX_MAX_CODE) size = KX_MAX_CODE;
  InsLine* old_base = ls->code;
  InsLine* base = kx_mem_reallocvec(fs->thread, old_base, old, size);
  for (FuncBuilder* f = fs; f != nullptr; f = f->parent) {
    uint32_t ofs = static_cast<uint32_t>(f->code - old_base);
    f->code = base + ofs;
    f->code_limit = size - ofs;
  }
  ls->code = base;
  ls->code_capacity = size;
}

void widen_lines(FuncBuilder* fs, int32_t line) {
  if (line < fs->min_line) fs->min_line = line;
  if (line > fs->max_line) fs->max_line = line;
}

uint32_t bcemit_INS(FuncBuilder* fs, Instr ins) {
  uint32_t pc = fs->pc;
  if (fs->pending_jumps != NO_JUMP) {
    jmp_patchval(fs, fs->pending_jumps, pc, NO_REG, pc);
    fs->pending_jumps = NO_JUMP;
  }
  if (pc >= fs->code_limit) code_grow(fs);
  int32_t line = fs->lexer->last_line;
  fs->code[pc].ins = ins;
  fs->code[pc].line = line;
  widen_lines(fs, line);
  fs->pc = pc + 1;
  return pc;
}

void set_line(FuncBuilder* fs, uint32_t pc, int32_t line) {
  fs->code[pc].line = line;
  widen_lines(fs, line);
}

// ---- Registers ------------------------------------------------------------------------------------------

void reg_bump(FuncBuilder* fs, uint32_t n) {
  uint32_t size = fs->free_reg + n;
  if (size > fs->frame_size) {
    if (size >= KX_MAX_SLOTS) err_syntax(fs->lexer, KX_ERR_TooComplex);
    fs->frame_size = static_cast<uint8_t>(size);
  }
}

void reg_reserve(FuncBuilder* fs, uint32_t n) {
  reg_bump(fs, n);
  fs->free_reg += n;
}

// Registers are released in stack order; variables are never released.
void reg_free(FuncBuilder* fs, uint32_t reg) {
  if (reg >= fs->active_vars) fs->free_reg--;
}

void reg_release(FuncBuilder* fs, const ExprDesc* e) {
  if (e->kind == ExprFixed) reg_free(fs, e->info);
}

// ---- Constants ------------------------------------------------------------------------------------------

// The index held in a constants-table slot, assigned on first use. An index is stored as a Value with
// upper word 0; anything else (nil, or the true of an anchored string) means none yet.
static uint32_t const_index(Value* slot, uint32_t* count) {
  if (tv_isnum(slot)) return slot->w.lo;
  uint32_t idx = (*count)++;
  slot->w.hi = 0;
  slot->w.lo = idx;
  return idx;
}

uint32_t const_number(FuncBuilder* fs, const ExprDesc* e) {
  return const_index(kx_tab_set(fs->thread, fs->constants, &e->k), &fs->num_count);
}

uint32_t const_string(FuncBuilder* fs, GcString* s) {
  return const_index(kx_tab_setstr(fs->thread, fs->constants, s), &fs->gc_count);
}

uint32_t const_object(FuncBuilder* fs, GcObj* obj, uint32_t tag) {
  Value key;
  setgcV(&key, obj, tag);
  return const_index(kx_tab_set(fs->thread, fs->constants, &key), &fs->gc_count);
}

// ---- Jump lists -----------------------------------------------------------------------------------------

int32_t jmp_next(FuncBuilder* fs, uint32_t pc) {
  uint32_t d = bc_d(fs->code[pc].ins);
  if (d == JUMP_END) return NO_JUMP;
  return static_cast<int32_t>(pc + 1 + d - KX_BCBIAS_J);
}

void jmp_patchins(FuncBuilder* fs, uint32_t pc, uint32_t target) {
  uint32_t offset = target - (pc + 1) + KX_BCBIAS_J;
  if (offset > KX_BCMAX_D) err_syntax(fs->lexer, KX_ERR_ControlTooLong);
  setbc_d(&fs->code[pc].ins, offset);
}

void jmp_append(FuncBuilder* fs, int32_t* list, int32_t other) {
  if (other == NO_JUMP) return;
  if (*list == NO_JUMP) {
    *list = other;
    return;
  }
  int32_t last = *list, next;
  while ((next = jmp_next(fs, static_cast<uint32_t>(last))) != NO_JUMP) last = next;
  jmp_patchins(fs, static_cast<uint32_t>(last), static_cast<uint32_t>(other));
}

static inline InsLine* jmp_test(FuncBuilder* fs, int32_t pc) { return &fs->code[pc >= 1 ? pc - 1 : pc]; }

// Whether some jump of the list is not preceded by an instruction that can deliver its value.
static bool jmp_novalue(FuncBuilder* fs, int32_t list) {
  for (; list != NO_JUMP; list = jmp_next(fs, static_cast<uint32_t>(list))) {
    Instr p = jmp_test(fs, list)->ins;
    if (!(bc_op(p) == BC_ISTC || bc_op(p) == BC_ISFC || bc_a(p) == NO_REG)) return true;
  }
  return false;
}

// Makes the instruction before the jump at pc deliver its value into reg (NO_REG: nowhere).
static bool jmp_patchtestreg(FuncBuilder* fs, int32_t pc, uint32_t reg) {
  InsLine* il = jmp_test(fs, pc);
  uint32_t op = bc_op(il->ins);
  if (op == BC_ISTC || op == BC_ISFC) {
    if (reg != NO_REG && reg != bc_d(il->ins)) {
      setbc_a(&il->ins, reg);
    } else {
      setbc_op(&il->ins, op + (BC_IST - BC_ISTC));
      setbc_a(&il->ins, 0);
    }
  } else if (bc_a(il->ins) == NO_REG) {
    if (reg == NO_REG) {
      il->ins = bcins_ad(BC_JMP, bc_a(il[1].ins), KX_BCBIAS_J);
    } else {
      setbc_a(&il->ins, reg);
      if (reg >= bc_a(il[1].ins)) setbc_a(&il[1].ins, reg + 1);
    }
  } else {
    return false;
  }
  return true;
}

static void jmp_dropval(FuncBuilder* fs, int32_t list) {
  for (; list != NO_JUMP; list = jmp_next(fs, static_cast<uint32_t>(list))) jmp_patchtestreg(fs, list, NO_REG);
}

static void jmp_patchval(FuncBuilder* fs, int32_t list, uint32_t vtarget, uint32_t reg, uint32_t dtarget) {
  while (list != NO_JUMP) {
    int32_t next = jmp_next(fs, static_cast<uint32_t>(list));
    jmp_patchins(fs, static_cast<uint32_t>(list), jmp_patchtestreg(fs, list, reg) ? vtarget : dtarget);
    list = next;
  }
}

void jump_here(FuncBuilder* fs, int32_t list) {
  fs->last_target = fs->pc;
  jmp_append(fs, &fs->pending_jumps, list);
}

void jump_patch(FuncBuilder* fs, int32_t list, uint32_t target) {
  if (target == fs->pc) jump_here(fs, list);
  else jmp_patchval(fs, list, target, NO_REG, target);
}

int32_t bcemit_jmp(FuncBuilder* fs) {
  int32_t pending = fs->pending_jumps;
  uint32_t j = fs->pc - 1;
  Instr* ip = &fs->code[j].ins;
  fs->pending_jumps = NO_JUMP;
  // An upvalue close right before can jump itself.
  if (j >= fs->last_target && bc_op(*ip) == BC_UCLO) {
    setbc_d(ip, JUMP_END);
    fs->last_target = j + 1;
  } else {
    j = bcemit_AD(fs, BC_JMP, fs->free_reg, JUMP_END);
  }
  int32_t list = static_cast<int32_t>(j);
  jmp_append(fs, &list, pending);
  return list;
}

// ---- Lowering -------------------------------------------------------------------------------------------

Instr expr_loadins(const ExprDesc* e) {
  uint32_t key = e->aux;
  if (static_cast<int32_t>(key) < 0) return bcins_abc(BC_TGETS, 0, e->info, ~key);
  if (key > KX_BCMAX_C) return bcins_abc(BC_TGETB, 0, e->info, key - (KX_BCMAX_C + 1));
  return bcins_abc(BC_TGETV, 0, e->info, key);
}

void expr_discharge(FuncBuilder* fs, ExprDesc* e) {
  Instr ins;
  switch (e->kind) {
    case ExprUpval:
      ins = bcins_ad(BC_UGET, 0, e->info);
      break;
    case ExprGlobal:
      ins = bcins_ad(BC_GGET, 0, const_string(fs, expr_str(e)));
      break;
    case ExprIndexed:
      ins = expr_loadins(e);
      if (e->aux <= KX_BCMAX_C) reg_free(fs, e->aux);
      reg_free(fs, e->info);
      break;
    case ExprCall:
    case ExprGuardedCall:
      e->info = e->aux;
      e->kind = ExprFixed;
      return;
    case ExprLocal:
      e->kind = ExprFixed;
      return;
    default:
      return;
  }
  e->info = bcemit_INS(fs, ins);
  e->kind = ExprRelocable;
}

void expr_toreg_nobranch(FuncBuilder* fs, ExprDesc* e, uint32_t reg) {
  Instr ins;
  expr_discharge(fs, e);
  switch (e->kind) {
    case ExprNil:
      bcemit_nil(fs, reg, 1);
      goto fixed;
    case ExprFalse:
    case ExprTrue:
      ins = bcins_ad(BC_KPRI, reg, e->kind);
      break;
    case ExprString:
      ins = bcins_ad(BC_KSTR, reg, const_string(fs, expr_str(e)));
      break;
    case ExprNumber: {
      int32_t k;
      if (kx_num2int_exact(e->k.n, &k) && k == static_cast<int16_t>(k))
        ins = bcins_ad(BC_KSHORT, reg, static_cast<uint16_t>(k));
      else
        ins = bcins_ad(BC_KNUM, reg, const_number(fs, e));
      break;
    }
    case ExprCdata:
      fs->flags |= KX_PROTO_FFI;
      ins = bcins_ad(BC_KCDATA, reg, const_object(fs, gcV(&e->k), KX_TCDATA));
      break;
    case ExprRelocable:
      setbc_a(&expr_ins(fs, e)->ins, reg);
      goto fixed;
    case ExprFixed:
      if (reg == e->info) goto fixed;
      ins = bcins_ad(BC_MOV, reg, e->info);
      break;
    default:
      return;
  }
  bcemit_INS(fs, ins);
fixed:
  e->info = reg;
  e->kind = ExprFixed;
}

void expr_toreg(FuncBuilder* fs, ExprDesc* e, uint32_t reg) {
  expr_toreg_nobranch(fs, e, reg);
  if (e->kind == ExprJump) jmp_append(fs, &e->true_jumps, static_cast<int32_t>(e->info));
  if (expr_hasjump(e)) {
    uint32_t load_false = NO_REG, load_true = NO_REG;
    if (jmp_novalue(fs, e->true_jumps) || jmp_novalue(fs, e->false_jumps)) {
      int32_t skip = e->kind == ExprJump ? NO_JUMP : bcemit_jmp(fs);
      load_false = bcemit_AD(fs, BC_KPRI, reg, ExprFalse);
      bcemit_AJ(fs, BC_JMP, fs->free_reg, 1);
      load_true = bcemit_AD(fs, BC_KPRI, reg, ExprTrue);
      jump_here(fs, skip);
    }
    uint32_t end = fs->pc;
    fs->last_target = end;
    jmp_patchval(fs, e->false_jumps, end, reg, load_false);
    jmp_patchval(fs, e->true_jumps, end, reg, load_true);
  }
  e->true_jumps = e->false_jumps = NO_JUMP;
  e->info = reg;
  e->kind = ExprFixed;
}

void expr_tonextreg(FuncBuilder* fs, ExprDesc* e) {
  expr_discharge(fs, e);
  reg_release(fs, e);
  reg_reserve(fs, 1);
  expr_toreg(fs, e, fs->free_reg - 1);
}

uint32_t expr_toanyreg(FuncBuilder* fs, ExprDesc* e) {
  expr_discharge(fs, e);
  if (e->kind == ExprFixed) {
    if (!expr_hasjump(e)) return e->info;
    if (e->info >= fs->active_vars) {
      expr_toreg(fs, e, e->info);
      return e->info;
    }
  }
  expr_tonextreg(fs, e);
  return e->info;
}

void expr_value(FuncBuilder* fs, ExprDesc* e) {
  if (expr_hasjump(e)) expr_toanyreg(fs, e);
  else expr_discharge(fs, e);
}

// Keys: register 0-255; 256 + n for an integer constant n in 0-255; ~k for string constant k in 0-255.
void expr_index(FuncBuilder* fs, ExprDesc* t, ExprDesc* key) {
  t->kind = ExprIndexed;
  if (expr_isnumk(key)) {
    int32_t k;
    if (kx_num2int_exact(key->k.n, &k) && k >= 0 && k <= 255) {
      t->aux = KX_BCMAX_C + 1 + static_cast<uint32_t>(k);
      return;
    }
  } else if (expr_isstrk(key)) {
    uint32_t idx = const_string(fs, expr_str(key));
    if (idx <= KX_BCMAX_C) {
      t->aux = ~idx;
      return;
    }
  }
  t->aux = expr_toanyreg(fs, key);
}

// ---- Stores and nil ranges ------------------------------------------------------------------------------

void bcemit_nil(FuncBuilder* fs, uint32_t from, uint32_t n) {
  if (fs->pc > fs->last_target) {
    Instr* ip = &fs->code[fs->pc - 1].ins;
    uint32_t pfrom = bc_a(*ip);
    switch (bc_op(*ip)) {
      case BC_KPRI:
        if (bc_d(*ip) != ExprNil) break;
        if (from == pfrom) {
          if (n == 1) return;
        } else if (from == pfrom + 1) {
          from = pfrom;
          n++;
        } else {
          break;
        }
        *ip = bcins_ad(BC_KNIL, from, from + n - 1);
        return;
      case BC_KNIL: {
        uint32_t pto = bc_d(*ip);
        if (pfrom <= from && from <= pto + 1) {
          if (from + n - 1 > pto) setbc_d(ip, from + n - 1);
          return;
        }
        break;
      }
      default:
        break;
    }
  }
  bcemit_INS(fs, n == 1 ? bcins_ad(BC_KPRI, from, ExprNil) : bcins_ad(BC_KNIL, from, from + n - 1));
}

void bcemit_store(FuncBuilder* fs, ExprDesc* var, ExprDesc* e) {
  Instr ins;
  if (var->kind == ExprLocal) {
    fs->lexer->vars[var->aux].info |= KX_VAR_RW;
    reg_release(fs, e);
    expr_toreg(fs, e, var->info);
    return;
  }
  if (var->kind == ExprUpval) {
    fs->lexer->vars[var->aux].info |= KX_VAR_RW;
    expr_value(fs, e);
    if (e->kind <= ExprTrue) ins = bcins_ad(BC_USETP, var->info, e->kind);
    else if (e->kind == ExprString) ins = bcins_ad(BC_USETS, var->info, const_string(fs, expr_str(e)));
    else if (e->kind == ExprNumber) ins = bcins_ad(BC_USETN, var->info, const_number(fs, e));
    else ins = bcins_ad(BC_USETV, var->info, expr_toanyreg(fs, e));
  } else if (var->kind == ExprGlobal) {
    uint32_t ra = expr_toanyreg(fs, e);
    ins = bcins_ad(BC_GSET, ra, const_string(fs, expr_str(var)));
  } else {
    uint32_t ra = expr_toanyreg(fs, e), key = var->aux;
    if (static_cast<int32_t>(key) < 0) ins = bcins_abc(BC_TSETS, ra, var->info, ~key);
    else if (key > KX_BCMAX_C) ins = bcins_abc(BC_TSETB, ra, var->info, key - (KX_BCMAX_C + 1));
    else ins = bcins_abc(BC_TSETV, ra, var->info, key);
  }
  bcemit_INS(fs, ins);
  reg_release(fs, e);
}

// ---- Branches -------------------------------------------------------------------------------------------

void invert_cond(FuncBuilder* fs, ExprDesc* e) {
  Instr* ip = &fs->code[e->info - 1].ins;
  setbc_op(ip, bc_invert(bc_op(*ip)));
}

// A test of e followed by a jump taken when e is true (cond 1) or false (cond 0).
static int32_t bcemit_branch(FuncBuilder* fs, ExprDesc* e, int cond) {
  if (e->kind == ExprRelocable) {
    Instr* ip = &expr_ins(fs, e)->ins;
    if (bc_op(*ip) == BC_NOT) {
      *ip = bcins_ad(cond ? BC_ISF : BC_IST, 0, bc_d(*ip));
      return bcemit_jmp(fs);
    }
  }
  if (e->kind != ExprFixed) {
    reg_reserve(fs, 1);
    expr_toreg_nobranch(fs, e, fs->free_reg - 1);
  }
  bcemit_AD(fs, cond ? BC_ISTC : BC_ISFC, NO_REG, e->info);
  int32_t j = bcemit_jmp(fs);
  reg_release(fs, e);
  return j;
}

void bcemit_branch_t(FuncBuilder* fs, ExprDesc* e) {
  int32_t j;
  expr_discharge(fs, e);
  if (e->kind == ExprString || e->kind == ExprNumber || e->kind == ExprTrue) {
    j = NO_JUMP;
  } else if (e->kind == ExprJump) {
    invert_cond(fs, e);
    j = static_cast<int32_t>(e->info);
  } else if (e->kind == ExprFalse || e->kind == ExprNil) {
    expr_toreg_nobranch(fs, e, NO_REG);
    j = bcemit_jmp(fs);
  } else {
    j = bcemit_branch(fs, e, 0);
  }
  jmp_append(fs, &e->false_jumps, j);
  jump_here(fs, e->true_jumps);
  e->true_jumps = NO_JUMP;
}

void branch_false(FuncBuilder* fs, ExprDesc* e) {
  int32_t j;
  expr_discharge(fs, e);
  if (e->kind == ExprNil || e->kind == ExprFalse) {
    j = NO_JUMP;
  } else if (e->kind == ExprJump) {
    j = static_cast<int32_t>(e->info);
  } else if (e->kind == ExprString || e->kind == ExprNumber || e->kind == ExprTrue) {
    expr_toreg_nobranch(fs, e, NO_REG);
    j = bcemit_jmp(fs);
  } else {
    j = bcemit_branch(fs, e, 1);
  }
  jmp_append(fs, &e->true_jumps, j);
  jump_here(fs, e->false_jumps);
  e->false_jumps = NO_JUMP;
}

// ---- Operators ------------------------------------------------------------------------------------------

// Folds arithmetic on two number constants into e1, unless the result is NaN or -0.
static bool fold_arith(BinOp op, ExprDesc* e1, const ExprDesc* e2) {
  if (!expr_isnumk(e1) || !expr_isnumk(e2)) return false;
  Value r;
  r.n = kx_arith_num(KX_ARITH_ADD + (op - OPR_ADD), e1->k.n, e2->k.n);
  if (r.n != r.n || r.u64 == 0x8000000000000000ull) return false;
  e1->k.n = r.n;
  return true;
}

// Folds a bitwise operator on two number constants into e1.
static bool fold_bitop(BinOp op, ExprDesc* e1, const ExprDesc* e2) {
  if (!expr_isnumk(e1) || !expr_isnumk(e2)) return false;
  e1->k.n = kx_arith_bit(KX_BIT_AND + (op - OPR_BAND), e1->k.n, e2->k.n);
  return true;
}

static void bcemit_arith(FuncBuilder* fs, BinOp op, ExprDesc* e1, ExprDesc* e2) {
  uint32_t opcode, rb, rc;
  if (op == OPR_POW || op >= OPR_BAND) {
    opcode = op == OPR_POW ? uint32_t(BC_POW) : uint32_t(BC_BAND) + (op - OPR_BAND);
    rc = expr_toanyreg(fs, e2);
    rb = expr_toanyreg(fs, e1);
  } else {
    opcode = uint32_t(BC_ADDVV) + op;
    expr_value(fs, e2);
    if (expr_isnumk(e2) && (rc = const_number(fs, e2)) <= KX_BCMAX_C) opcode -= BC_ADDVV - BC_ADDVN;
    else rc = expr_toanyreg(fs, e2);
    expr_value(fs, e1);
    uint32_t k;
    if (expr_isnumk(e1) && !expr_isnumk(e2) && (k = const_number(fs, e1)) <= KX_BCMAX_C) {
      rb = rc;
      rc = k;
      opcode -= BC_ADDVV - BC_ADDNV;
    } else {
      rb = expr_toanyreg(fs, e1);
    }
  }
  // Both may be temporaries; they are released without regard to their order.
  if (e1->kind == ExprFixed && e1->info >= fs->active_vars) fs->free_reg--;
  if (e2->kind == ExprFixed && e2->info >= fs->active_vars) fs->free_reg--;
  e1->info = bcemit_ABC(fs, opcode, 0, rb, rc);
  e1->kind = ExprRelocable;
}

static void emit_compare(FuncBuilder* fs, BinOp op, ExprDesc* e1, ExprDesc* e2) {
  ExprDesc* result = e1;
  Instr ins;
  expr_value(fs, e1);
  if (op == OPR_EQ || op == OPR_NE) {
    uint32_t opcode = op == OPR_EQ ? BC_ISEQV : BC_ISNEV;
    if (expr_isk(e1)) {  // constants go second
      ExprDesc* t = e1;
      e1 = e2;
      e2 = t;
    }
    uint32_t ra = expr_toanyreg(fs, e1);
    expr_value(fs, e2);
    switch (e2->kind) {
      case ExprNil: case ExprFalse: case ExprTrue:
        ins = bcins_ad(opcode + (BC_ISEQP - BC_ISEQV), ra, e2->kind);
        break;
      case ExprString:
        ins = bcins_ad(opcode + (BC_ISEQS - BC_ISEQV), ra, const_string(fs, expr_str(e2)));
        break;
      case ExprNumber:
        ins = bcins_ad(opcode + (BC_ISEQN - BC_ISEQV), ra, const_number(fs, e2));
        break;
      default:
        ins = bcins_ad(opcode, ra, expr_toanyreg(fs, e2));
        break;
    }
  } else {
    uint32_t opcode = uint32_t(BC_ISLT) + (op - OPR_LT), ra, rd;
    if ((op - OPR_LT) & 1) {  // ge and gt swap their operands: ge -> le, gt -> lt
      ExprDesc* t = e1;
      e1 = e2;
      e2 = t;
      opcode = BC_ISLT + ((opcode - BC_ISLT) ^ 3);
      expr_value(fs, e1);
      ra = expr_toanyreg(fs, e1);
      rd = expr_toanyreg(fs, e2);
    } else {
      rd = expr_toanyreg(fs, e2);
      ra = expr_toanyreg(fs, e1);
    }
    ins = bcins_ad(opcode, ra, rd);
  }
  if (e1->kind == ExprFixed && e1->info >= fs->active_vars) fs->free_reg--;
  if (e2->kind == ExprFixed && e2->info >= fs->active_vars) fs->free_reg--;
  bcemit_INS(fs, ins);
  result->info = static_cast<uint32_t>(bcemit_jmp(fs));
  result->kind = ExprJump;
}

void bcemit_binop(FuncBuilder* fs, BinOp op, ExprDesc* e1, ExprDesc* e2) {
  if (op <= OPR_POW) {
    if (!fold_arith(op, e1, e2)) bcemit_arith(fs, op, e1, e2);
  } else if (op <= OPR_SAR) {
    if (!fold_bitop(op, e1, e2)) {
      fs->flags |= KX_PROTO_BITOPS;
      bcemit_arith(fs, op, e1, e2);
    }
  } else if (op == OPR_CONCAT) {
    expr_value(fs, e2);
    if (e2->kind == ExprRelocable && bc_op(expr_ins(fs, e2)->ins) == BC_CAT) {
      reg_release(fs, e1);
      setbc_b(&expr_ins(fs, e2)->ins, e1->info);
      e1->info = e2->info;
    } else {
      expr_tonextreg(fs, e2);
      reg_release(fs, e2);
      reg_release(fs, e1);
      e1->info = bcemit_ABC(fs, BC_CAT, 0, e1->info, e2->info);
    }
    e1->kind = ExprRelocable;
  } else if (op <= OPR_GT) {
    emit_compare(fs, op, e1, e2);
  } else if (op == OPR_AND) {
    expr_discharge(fs, e2);
    jmp_append(fs, &e2->false_jumps, e1->false_jumps);
    *e1 = *e2;
  } else if (op == OPR_OR) {
    expr_discharge(fs, e2);
    jmp_append(fs, &e2->true_jumps, e1->true_jumps);
    *e1 = *e2;
  } else {  // nil-coalesce: the right side lands in the register the left side was in
    expr_tonextreg(fs, e2);
    jump_here(fs, static_cast<int32_t>(e1->aux));
  }
}

// A 64-bit integer negated arithmetically; a complex number by the sign of its imaginary part.
static void cdata_negate(GcCdata* cd) {
  uint64_t* p = static_cast<uint64_t*>(cdataptr(cd));
  if (cd->ctype_id == KX_CTID_COMPLEX) p[1] ^= 0x8000000000000000ull;
  else p[0] = 0 - p[0];
}

void bcemit_unop(FuncBuilder* fs, uint32_t op, ExprDesc* e) {
  if (op == BC_NOT) {
    int32_t t = e->false_jumps;
    e->false_jumps = e->true_jumps;
    e->true_jumps = t;
    jmp_dropval(fs, e->false_jumps);
    jmp_dropval(fs, e->true_jumps);
    expr_discharge(fs, e);
    if (e->kind == ExprNil || e->kind == ExprFalse) {
      e->kind = ExprTrue;
      return;
    }
    if (expr_isk(e) || e->kind == ExprCdata) {
      e->kind = ExprFalse;
      return;
    }
    if (e->kind == ExprJump) {
      invert_cond(fs, e);
      return;
    }
    if (e->kind == ExprRelocable) {
      reg_reserve(fs, 1);
      setbc_a(&expr_ins(fs, e)->ins, fs->free_reg - 1);
      e->info = fs->free_reg - 1;
      e->kind = ExprFixed;
    }
  } else {
    if (!expr_hasjump(e)) {
      if (op == BC_UNM && e->kind == ExprNumber && e->k.n != 0) {  // -0 is left to run time
        e->k.u64 ^= 0x8000000000000000ull;
        return;
      }
      if (op == BC_UNM && e->kind == ExprCdata) {  // the literal's own object, negated in place
        cdata_negate(cdataV(&e->k));
        return;
      }
      if (op == BC_BNOT && e->kind == ExprNumber) {
        e->k.n = kx_arith_bit(KX_BIT_NOT, e->k.n, 0);
        return;
      }
    }
    if (op == BC_BNOT) fs->flags |= KX_PROTO_BITOPS;
    expr_toanyreg(fs, e);
  }
  reg_release(fs, e);
  e->info = bcemit_AD(fs, op, 0, e->info);
  e->kind = ExprRelocable;
}
