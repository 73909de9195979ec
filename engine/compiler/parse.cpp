// The parser: expressions, statements, variables, scopes, labels and jumps.
#include "compiler/parse.h"

#include <cstring>

#include "compiler/proto.h"
#include "core/gc.h"
#include "core/mem.h"
#include "core/state.h"
#include "core/str.h"
#include "core/table.h"

// Navigation flags of primary expressions.
enum : uint32_t {
  NAV_STMT = 0x01,     // the expression starts a statement
  NAV_COLON = 0x02,    // a colon ends the expression (middle operand of a conditional)
  NAV_NOSAFE = 0x04,   // "?." is not recognised (further assignment targets)
  NAV_SHORTFN = 0x08,  // body of a short function
};

static void expr(Lexer* ls, ExprDesc* e);
static BinOp expr_binop(Lexer* ls, ExprDesc* e, uint32_t limit, uint32_t flags);
static void expr_ternary(Lexer* ls, ExprDesc* e);
static void expr_table(Lexer* ls, ExprDesc* e);
static void parse_body(Lexer* ls, ExprDesc* e, bool needself, int32_t line);
static void parse_return(Lexer* ls, uint32_t flags);

// ---- Tokens ---------------------------------------------------------------------------------------------

void err_token(Lexer* ls, int32_t tok) {
  kx_lex_error(ls, ls->token, KX_ERR_TokenExpected, kx_lex_token2str(ls, tok));
}

static bool lex_opt(Lexer* ls, int32_t tok) {
  if (ls->token != tok) return false;
  kx_lex_advance(ls);
  return true;
}

static void lex_check(Lexer* ls, int32_t tok) {
  if (ls->token != tok) err_token(ls, tok);
  kx_lex_advance(ls);
}

// The closing token of a construct that began at line with token who.
static void lex_match(Lexer* ls, int32_t what, int32_t who, int32_t line) {
  if (lex_opt(ls, what)) return;
  if (line == ls->line) err_token(ls, what);
  kx_lex_error(ls, ls->token, KX_ERR_TokenExpectedToClose, kx_lex_token2str(ls, what), kx_lex_token2str(ls, who),
               static_cast<int>(line));
}

// "const" and "continue" stay usable as names.
static inline bool is_name(int32_t tok) {
  return tok == KX_TK_name || tok == KX_TK_const || tok == KX_TK_continue;
}

static GcString* lex_str(Lexer* ls) {
  if (!is_name(ls->token)) err_token(ls, KX_TK_name);
  GcString* s = strV(&ls->token_value);
  kx_lex_advance(ls);
  return s;
}

static inline bool block_ends(int32_t tok) {
  return tok == KX_TK_else || tok == KX_TK_elseif || tok == KX_TK_end || tok == KX_TK_until || tok == KX_TK_eof;
}

static void synlevel_begin(Lexer* ls) {
  if (++ls->depth >= KX_MAX_LEVEL) err_syntax(ls, KX_ERR_TooManySyntaxLevels);
}
static inline void synlevel_end(Lexer* ls) { ls->depth--; }

// ---- Variables ------------------------------------------------------------------------------------------

static inline uint16_t* chain_head(Lexer* ls, const GcString* name) { return &ls->name_chains[name->id & 31]; }

static void chain_push(Lexer* ls, uint32_t idx) {
  VarSlot* v = &ls->vars[idx];
  uint16_t* head = chain_head(ls, v->name);
  v->next = *head;
  *head = static_cast<uint16_t>(idx);
}

static void chain_pop(Lexer* ls, uint32_t idx) { *chain_head(ls, ls->vars[idx].name) = ls->vars[idx].next; }

static uint32_t vars_push(Lexer* ls) {
  uint32_t top = ls->vars_top;
  if (top >= ls->vars_capacity) {
    uint32_t old = ls->vars_capacity;
    if (old >= KX_MAX_VSTACK)
      kx_lex_error(ls, ls->token, KX_ERR_TooManyLocalsChunk, static_cast<int>(KX_MAX_VSTACK));
    uint32_t size = old ? 2 * old : 8;
    if (size > KX_MAX_VSTACK) size = KX_MAX_VSTACK;
    ls->vars = kx_mem_reallocvec(ls->thread, ls->vars, old, size);
    ls->vars_capacity = size;
  }
  ls->vars_top = top + 1;
  return top;
}

// Declares variable n of a declaration; it becomes visible with var_add.
static void var_new(Lexer* ls, uint32_t n, GcString* name) {
  FuncBuilder* fs = ls->func;
  if (varname_isstr(name)) {
    for (uint16_t i = *chain_head(ls, name); i != KX_CHAIN_END; i = ls->vars[i].next) {
      if (ls->vars[i].name == name && (ls->vars[i].info & KX_VAR_CONST))
        kx_lex_error(ls, ls->token, KX_ERR_RedeclareConst, strdata(name));
    }
  }
  check_limit(fs, fs->active_vars + n, KX_MAX_LOCVAR, "local variables");
  uint32_t idx = vars_push(ls);
  VarSlot* v = &ls->vars[idx];
  v->name = name;
  v->start_pc = v->end_pc = 0;
  v->slot = 0;
  v->info = 0;
  v->next = KX_CHAIN_END;
  fs->var_map[fs->active_vars + n] = static_cast<uint16_t>(idx);
}

static void var_add(Lexer* ls, uint32_t n) {
  FuncBuilder* fs = ls->func;
  uint32_t reg = fs->active_vars;
  for (uint32_t i = 0; i < n; i++, reg++) {
    uint32_t idx = fs->var_map[reg];
    VarSlot* v = &ls->vars[idx];
    v->start_pc = fs->pc;
    v->slot = static_cast<uint8_t>(reg);
    if (varname_isstr(v->name)) chain_push(ls, idx);
  }
  fs->active_vars = reg;
}

static void var_remove(Lexer* ls, uint32_t level) {
  FuncBuilder* fs = ls->func;
  while (fs->active_vars > level) {
    uint32_t idx = fs->var_map[--fs->active_vars];
    ls->vars[idx].end_pc = fs->pc;
    if (varname_isstr(ls->vars[idx].name)) chain_pop(ls, idx);
  }
}

// Marks the innermost block that holds register reg as having a captured variable.
static void fscope_uvmark(FuncBuilder* fs, uint32_t reg) {
  BlockScope* bl = fs->block;
  while (bl != nullptr && bl->nactvar > reg) bl = bl->prev;
  if (bl != nullptr) bl->flags |= KX_SCOPE_UPVAL;
}

// The upvalue of fs for VarSlot idx; e describes the variable as seen by fs's parent.
static uint32_t upval_index(FuncBuilder* fs, uint32_t idx, const ExprDesc* e) {
  uint32_t n = fs->upval_count;
  for (uint32_t i = 0; i < n; i++) {
    if (fs->upval_map[i] == idx) return i;
  }
  check_limit(fs, n, KX_MAX_UPVAL, "upvalues");
  fs->upval_map[n] = static_cast<uint16_t>(idx);
  fs->upval_source[n] = static_cast<uint16_t>(e->kind == ExprLocal ? idx : KX_MAX_VSTACK + e->info);
  fs->upval_count = static_cast<uint8_t>(n + 1);
  return n;
}

static void var_resolve(FuncBuilder* fs, uint32_t idx, ExprDesc* e, bool innermost) {
  if (idx >= fs->var_base) {
    uint32_t reg = fs->lexer->vars[idx].slot;
    expr_init(e, ExprLocal, reg);
    e->aux = idx;
    if (!innermost) fscope_uvmark(fs, reg);
    return;
  }
  var_resolve(fs->parent, idx, e, false);
  e->info = upval_index(fs, idx, e);
  e->kind = ExprUpval;
  e->aux = idx;
}

// A name: the innermost visible variable of that name, in this or an enclosing function, or a global.
static void var_lookup(Lexer* ls, ExprDesc* e) {
  GcString* name = lex_str(ls);
  for (uint16_t i = *chain_head(ls, name); i != KX_CHAIN_END; i = ls->vars[i].next) {
    if (ls->vars[i].name == name) {
      var_resolve(ls->func, i, e, true);
      return;
    }
  }
  expr_init(e, ExprGlobal, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(name)));
}

static void var_assign(Lexer* ls, const ExprDesc* e) {
  if ((e->kind == ExprLocal || e->kind == ExprUpval) && (ls->vars[e->aux].info & KX_VAR_CONST))
    kx_lex_error(ls, ls->token, KX_ERR_AssignToConst, strdata(ls->vars[e->aux].name));
}

// ---- Labels and jumps -----------------------------------------------------------------------------------

static uint32_t gola_new(Lexer* ls, GcString* name, uint8_t info, uint32_t pc) {
  uint32_t idx = vars_push(ls);
  VarSlot* v = &ls->vars[idx];
  v->name = name;
  v->start_pc = pc;
  v->end_pc = 0;
  v->slot = static_cast<uint8_t>(ls->func->active_vars);
  v->info = info;
  v->next = KX_CHAIN_END;
  return idx;
}

static void gola_patch(Lexer* ls, VarSlot* jump, const VarSlot* label) {
  FuncBuilder* fs = ls->func;
  uint32_t pc = jump->start_pc;
  jump->name = nullptr;
  setbc_a(&fs->code[pc].ins, label->slot);
  jump_patch(fs, static_cast<int32_t>(pc), label->start_pc);
}

// Turns a pending jump into an upvalue close that jumps; jumps that went to it now land on it.
static void gola_close(Lexer* ls, const VarSlot* jump) {
  FuncBuilder* fs = ls->func;
  uint32_t pc = jump->start_pc;
  Instr* ip = &fs->code[pc].ins;
  setbc_a(ip, jump->slot);
  if (bc_op(*ip) == BC_JMP) {
    int32_t next = jmp_next(fs, pc);
    if (next != NO_JUMP) jump_patch(fs, next, pc);
    setbc_op(ip, BC_UCLO);
    setbc_d(ip, JUMP_END);
  }
}

// Resolves the pending jumps of block bl that target label idx.
static void gola_resolve(Lexer* ls, const BlockScope* bl, uint32_t idx) {
  FuncBuilder* fs = ls->func;
  for (uint32_t i = bl->vstart; i < idx; i++) {
    VarSlot* jump = &ls->vars[i];
    const VarSlot* label = &ls->vars[idx];
    if (jump->name != label->name || !(jump->info & KX_VAR_JUMP)) continue;
    if (jump->slot < label->slot) {
      const char* local = strdata(ls->vars[fs->var_map[jump->slot]].name);
      ls->line = fs->code[jump->start_pc].line;
      if (label->name == varname_code(KX_NAME_CONTINUE))
        kx_lex_error(ls, 0, KX_ERR_ContinueIntoLocalScope, local);
      kx_lex_error(ls, 0, KX_ERR_GotoIntoLocalScope, strdata(jump->name), local);
    }
    gola_patch(ls, jump, label);
  }
}

// At the end of a block: its labels go out of view, taking backward gotos with them, and pending
// jumps move to the enclosing block.
static void gola_fixup(Lexer* ls, BlockScope* bl) {
  FuncBuilder* fs = ls->func;
  uint32_t end = ls->vars_top;
  for (uint32_t i = bl->vstart; i < end; i++) {
    VarSlot* v = &ls->vars[i];
    GcString* name = v->name;
    if (name == nullptr) continue;
    if (v->info & KX_VAR_LABEL) {
      v->name = nullptr;
      for (uint32_t j = i + 1; j < end; j++) {
        VarSlot* jump = &ls->vars[j];
        if (jump->name != name || !(jump->info & KX_VAR_JUMP)) continue;
        if ((bl->flags & KX_SCOPE_UPVAL) && jump->slot > v->slot) gola_close(ls, jump);
        gola_patch(ls, jump, v);
      }
    } else if (v->info & KX_VAR_JUMP) {
      if (bl->prev != nullptr) {
        bl->prev->flags |= name == varname_code(KX_NAME_BREAK)      ? KX_SCOPE_BREAK
                           : name == varname_code(KX_NAME_CONTINUE) ? KX_SCOPE_CONTINUE
                                                                    : KX_SCOPE_GOTO;
        v->slot = bl->nactvar;
        if (bl->flags & KX_SCOPE_UPVAL) gola_close(ls, v);
      } else {
        ls->line = fs->code[v->start_pc].line;
        if (name == varname_code(KX_NAME_BREAK)) kx_lex_error(ls, 0, KX_ERR_BreakOutsideLoop);
        if (name == varname_code(KX_NAME_CONTINUE)) kx_lex_error(ls, 0, KX_ERR_ContinueOutsideLoop);
        kx_lex_error(ls, 0, KX_ERR_UndefinedLabel, strdata(name));
      }
    }
  }
}

static VarSlot* gola_findlabel(Lexer* ls, GcString* name) {
  for (uint32_t i = ls->func->block->vstart; i < ls->vars_top; i++) {
    VarSlot* v = &ls->vars[i];
    if (v->name == name && (v->info & KX_VAR_LABEL)) return v;
  }
  return nullptr;
}

// ---- Scopes ---------------------------------------------------------------------------------------------

void scope_begin(FuncBuilder* fs, BlockScope* bl, uint8_t flags) {
  bl->nactvar = static_cast<uint8_t>(fs->active_vars);
  bl->flags = flags;
  bl->vstart = fs->lexer->vars_top;
  bl->prev = fs->block;
  fs->block = bl;
}

void fscope_end(FuncBuilder* fs) {
  BlockScope* bl = fs->block;
  Lexer* ls = fs->lexer;
  fs->block = bl->prev;
  var_remove(ls, bl->nactvar);
  fs->free_reg = fs->active_vars;
  if ((bl->flags & (KX_SCOPE_UPVAL | KX_SCOPE_NOCLOSE)) == KX_SCOPE_UPVAL) bcemit_AJ(fs, BC_UCLO, bl->nactvar, 0);
  if ((bl->flags & (KX_SCOPE_LOOP | KX_SCOPE_BREAK)) == (KX_SCOPE_LOOP | KX_SCOPE_BREAK)) {
    uint32_t idx = gola_new(ls, varname_code(KX_NAME_BREAK), KX_VAR_LABEL, fs->pc);
    ls->vars_top = idx;  // the label is only needed while resolving
    gola_resolve(ls, bl, idx);
    bl->flags &= ~KX_SCOPE_BREAK;
  }
  if (bl->flags & (KX_SCOPE_BREAK | KX_SCOPE_GOTO | KX_SCOPE_CONTINUE)) gola_fixup(ls, bl);
}

// Places the continue label of loop block bl at pc.
static void fscope_continue(FuncBuilder* fs, BlockScope* bl, uint32_t pc) {
  if (!(bl->flags & KX_SCOPE_CONTINUE)) return;
  bl->flags &= ~KX_SCOPE_CONTINUE;
  Lexer* ls = fs->lexer;
  uint32_t idx = gola_new(ls, varname_code(KX_NAME_CONTINUE), KX_VAR_LABEL, pc);
  ls->vars_top = idx;
  gola_resolve(ls, bl, idx);
}

static void parse_block(Lexer* ls) {
  FuncBuilder* fs = ls->func;
  BlockScope bl;
  scope_begin(fs, &bl, 0);
  parse_chunk(ls);
  fscope_end(fs);
}

// ---- Primary expressions --------------------------------------------------------------------------------

// The object in e indexed by the name at the current token.
static void expr_field_name(Lexer* ls, ExprDesc* e) {
  FuncBuilder* fs = ls->func;
  expr_toanyreg(fs, e);
  ExprDesc key;
  expr_initstr(&key, lex_str(ls));
  expr_index(fs, e, &key);
}

// "." or ":" and a name.
static void expr_field(Lexer* ls, ExprDesc* e) {
  kx_lex_advance(ls);
  expr_field_name(ls, e);
}

// "[" expression "]".
static void expr_bracket(Lexer* ls, ExprDesc* e) {
  kx_lex_advance(ls);
  expr(ls, e);
  expr_value(ls->func, e);
  lex_check(ls, ']');
}

// obj:name — the method into a fresh register f and the object into the self slot after it.
static void bcemit_method(FuncBuilder* fs, ExprDesc* e, GcString* name) {
  uint32_t s = fs->lexer->two_slot_frames;
  uint32_t obj = expr_toanyreg(fs, e);
  reg_release(fs, e);
  uint32_t func = fs->free_reg;
  bcemit_AD(fs, BC_MOV, func + 1 + s, obj);
  uint32_t idx = const_string(fs, name);
  if (idx <= KX_BCMAX_C) {
    reg_reserve(fs, 2 + s);
    bcemit_ABC(fs, BC_TGETS, func, obj, idx);
  } else {
    reg_reserve(fs, 3 + s);
    bcemit_AD(fs, BC_KSTR, func + 2 + s, idx);
    bcemit_ABC(fs, BC_TGETV, func, obj, func + 2 + s);
    fs->free_reg--;
  }
  expr_init(e, ExprFixed, func);
}

static uint32_t expr_list(Lexer* ls, ExprDesc* e);

// Call arguments after the function in e (its register is the call base).
static void parse_args(Lexer* ls, ExprDesc* e) {
  FuncBuilder* fs = ls->func;
  uint32_t s = ls->two_slot_frames;
  int32_t line = ls->line;
  ExprDesc args;
  if (ls->token == '(') {
    kx_lex_advance(ls);
    if (ls->token == ')') {
      expr_init(&args, ExprVoid, 0);
    } else {
      expr_list(ls, &args);
      if (args.kind == ExprCall) setbc_b(&expr_ins(fs, &args)->ins, 0);  // pass on all results
    }
    lex_match(ls, ')', '(', line);
  } else if (ls->token == '{') {
    expr_table(ls, &args);
  } else if (ls->token == KX_TK_string) {
    expr_initstr(&args, strV(&ls->token_value));
    kx_lex_advance(ls);
  } else {
    err_syntax(ls, KX_ERR_ArgumentsExpected);
  }
  uint32_t base = e->info;
  Instr ins;
  if (args.kind == ExprCall) {
    ins = bcins_abc(BC_CALLM, base, 2, args.aux - base - 1 - s);
  } else {
    if (args.kind != ExprVoid) expr_tonextreg(fs, &args);
    ins = bcins_abc(BC_CALL, base, 2, fs->free_reg - base - s);
  }
  expr_init(e, ExprCall, bcemit_INS(fs, ins));
  e->aux = base;
  set_line(fs, e->info, line);
  fs->free_reg = base + 1;
}

static bool continues_chain(int32_t tok) {
  return tok == '(' || tok == '.' || tok == ':' || tok == '[' || tok == '{' || tok == KX_TK_safenav ||
         tok == KX_TK_string;
}

static void parse_shortfunc(Lexer* ls, ExprDesc* e, GcString* name, uint32_t flags, int32_t line);

// A "?." test of the value in e; the jump joins the chain's nil-escape list.
static void nav_guard(FuncBuilder* fs, uint32_t reg, int32_t* escape) {
  bcemit_AD(fs, BC_ISEQP, reg, ExprNil);
  jmp_append(fs, escape, bcemit_jmp(fs));
}

// A primary expression with its suffixes. Returns the nil-escape list of a "?." chain.
static int32_t expr_primary_nav(Lexer* ls, ExprDesc* e, uint32_t flags) {
  FuncBuilder* fs = ls->func;
  int32_t escape = NO_JUMP;
  if (ls->token == '(') {
    int32_t line = ls->line;
    kx_lex_advance(ls);
    expr(ls, e);
    lex_match(ls, ')', '(', line);
    expr_discharge(fs, e);
  } else if (is_name(ls->token)) {
    if (!(flags & NAV_STMT) && kx_lex_peek(ls) == KX_TK_arrow) {
      int32_t line = ls->line;
      GcString* name = strV(&ls->token_value);
      kx_lex_advance(ls);
      parse_shortfunc(ls, e, name, flags, line);
      return NO_JUMP;
    }
    var_lookup(ls, e);
  } else {
    err_syntax(ls, KX_ERR_UnexpectedSymbol);
  }
  for (;;) {
    bool after_nav = false;
    if (ls->token == KX_TK_safenav && !(flags & NAV_NOSAFE)) {
      kx_lex_advance(ls);
      nav_guard(fs, expr_toanyreg(fs, e), &escape);
      after_nav = true;
      int32_t t = ls->token;
      if (t == ':' && (flags & NAV_COLON)) err_syntax(ls, KX_ERR_UnexpectedSymbol);
      if (t != '[' && t != ':' && t != '(' && t != '{' && t != KX_TK_string && !is_name(t)) err_token(ls, KX_TK_name);
    }
    // A value reached right after "?." is materialised, except where a statement consumes the chain.
    bool keep = after_nav && !(flags & NAV_STMT);
    int32_t t = ls->token;
    if (t == '.' || (after_nav && is_name(t))) {
      if (t == '.') kx_lex_advance(ls);
      expr_field_name(ls, e);
      if (keep) expr_tonextreg(fs, e);
    } else if (t == '[') {
      ExprDesc key;
      expr_toanyreg(fs, e);
      expr_bracket(ls, &key);
      expr_index(fs, e, &key);
      if (keep) expr_tonextreg(fs, e);
    } else if (t == ':') {
      if (flags & NAV_COLON) break;
      kx_lex_advance(ls);
      bcemit_method(fs, e, lex_str(ls));
      if (ls->token == KX_TK_safenav && !(flags & NAV_NOSAFE)) {
        kx_lex_advance(ls);
        nav_guard(fs, e->info, &escape);
      }
      parse_args(ls, e);
      if (keep && continues_chain(ls->token)) expr_tonextreg(fs, e);
    } else if (t == '(' || t == KX_TK_string || t == '{') {
      expr_tonextreg(fs, e);
      if (ls->two_slot_frames) reg_reserve(fs, 1);
      parse_args(ls, e);
      if (keep && continues_chain(ls->token)) expr_tonextreg(fs, e);
    } else {
      break;
    }
  }
  return escape;
}

// A primary expression whose "?." chain yields nil when a guarded value is nil.
static void expr_primary(Lexer* ls, ExprDesc* e, uint32_t flags) {
  int32_t escape = expr_primary_nav(ls, e, flags);
  if (escape == NO_JUMP) return;
  FuncBuilder* fs = ls->func;
  if (e->kind == ExprIndexed) expr_tonextreg(fs, e);
  int32_t skip = bcemit_jmp(fs);
  jump_here(fs, escape);
  uint32_t reg = e->info;
  if (e->kind == ExprCall) {
    e->kind = ExprGuardedCall;
    reg = e->aux;
  }
  bcemit_AD(fs, BC_KPRI, reg, ExprNil);
  jump_here(fs, skip);
}

// ---- Simple and compound expressions --------------------------------------------------------------------

static void expr_simple(Lexer* ls, ExprDesc* e, uint32_t flags) {
  FuncBuilder* fs = ls->func;
  int32_t line = ls->line;
  switch (ls->token) {
    case KX_TK_number:
      expr_init(e, tv_iscdata(&ls->token_value) ? ExprCdata : ExprNumber, 0);
      copyV(&e->k, &ls->token_value);
      break;
    case KX_TK_string:
      expr_initstr(e, strV(&ls->token_value));
      break;
    case KX_TK_nil:
      expr_init(e, ExprNil, 0);
      break;
    case KX_TK_true:
      expr_init(e, ExprTrue, 0);
      break;
    case KX_TK_false:
      expr_init(e, ExprFalse, 0);
      break;
    case KX_TK_dots: {
      if (!(fs->flags & KX_PROTO_VARARG)) err_syntax(ls, KX_ERR_VarargOutsideVararg);
      reg_reserve(fs, 1);
      uint32_t base = fs->free_reg - 1;
      expr_init(e, ExprCall, bcemit_ABC(fs, BC_VARG, base, 2, fs->num_params));
      e->aux = base;
      break;
    }
    case '{':
      expr_table(ls, e);
      return;
    case KX_TK_function:
      kx_lex_advance(ls);
      parse_body(ls, e, false, line);
      return;
    case '|':
    case KX_TK_lor:
      parse_shortfunc(ls, e, nullptr, flags, line);
      return;
    default:
      expr_primary(ls, e, flags);
      return;
  }
  kx_lex_advance(ls);
}

static void expr_unop(Lexer* ls, ExprDesc* e, uint32_t flags) {
  uint32_t op;
  switch (ls->token) {
    case KX_TK_not: case '!': op = BC_NOT; break;
    case '-': op = BC_UNM; break;
    case '#': op = BC_LEN; break;
    case '~': op = BC_BNOT; break;
    default:
      expr_simple(ls, e, flags);
      return;
  }
  kx_lex_advance(ls);
  expr_binop(ls, e, 12, flags);
  bcemit_unop(ls->func, op, e);
}

static BinOp token2binop(int32_t tok) {
  switch (tok) {
    case '+': return OPR_ADD;
    case '-': return OPR_SUB;
    case '*': return OPR_MUL;
    case '/': return OPR_DIV;
    case '%': return OPR_MOD;
    case '^': return OPR_POW;
    case '&': return OPR_BAND;
    case '|': return OPR_BOR;
    case '~': return OPR_BXOR;
    case KX_TK_shl: return OPR_SHL;
    case KX_TK_shr: return OPR_SHR;
    case KX_TK_sar: return OPR_SAR;
    case KX_TK_concat: return OPR_CONCAT;
    case KX_TK_ne: case KX_TK_bne: return OPR_NE;
    case KX_TK_eq: return OPR_EQ;
    case '<': return OPR_LT;
    case KX_TK_ge: return OPR_GE;
    case KX_TK_le: return OPR_LE;
    case '>': return OPR_GT;
    case KX_TK_and: case KX_TK_land: return OPR_AND;
    case KX_TK_or: case KX_TK_lor: return OPR_OR;
    case KX_TK_coalesce: return OPR_COALESCE;
    default: return OPR_NONE;
  }
}

// Left and right priorities by operator.
static const struct {
  uint8_t left, right;
} priority[] = {
    {10, 10}, {10, 10}, {11, 11}, {11, 11}, {11, 11},  // + - * / %
    {14, 13},                                          // ^
    {6, 6}, {4, 4}, {5, 5}, {7, 7}, {7, 7}, {7, 7},    // & | ~ << >> ~>>
    {9, 8},                                            // ..
    {3, 3}, {3, 3}, {3, 3}, {3, 3}, {3, 3}, {3, 3},    // ~= == < >= <= >
    {2, 2}, {1, 1}, {1, 1},                            // and or ??
};

// Prepares the left operand before the right one is parsed.
static void bcemit_binop_left(FuncBuilder* fs, BinOp op, ExprDesc* e) {
  if (op == OPR_AND) {
    bcemit_branch_t(fs, e);
  } else if (op == OPR_OR) {
    branch_false(fs, e);
  } else if (op == OPR_CONCAT) {
    expr_tonextreg(fs, e);
  } else if (op == OPR_EQ || op == OPR_NE) {
    if (!expr_isk_nojump(e)) expr_toanyreg(fs, e);
  } else if (op == OPR_COALESCE) {
    // Skip the right side unless the left is nil; the right side reuses the left's register.
    expr_tonextreg(fs, e);
    bcemit_AD(fs, BC_ISNEP, e->info, ExprNil);
    e->aux = static_cast<uint32_t>(bcemit_jmp(fs));
    reg_free(fs, e->info);
  } else if (!expr_isnumk(e)) {
    expr_toanyreg(fs, e);
  }
}

static BinOp expr_binop(Lexer* ls, ExprDesc* e, uint32_t limit, uint32_t flags) {
  synlevel_begin(ls);
  expr_unop(ls, e, flags);
  BinOp op = token2binop(ls->token);
  while (op != OPR_NONE && priority[op].left > limit) {
    ExprDesc e2;
    kx_lex_advance(ls);
    bcemit_binop_left(ls->func, op, e);
    BinOp next = expr_binop(ls, &e2, priority[op].right, flags);
    bcemit_binop(ls->func, op, e, &e2);
    op = next;
  }
  synlevel_end(ls);
  return op;
}

// c ? a : b, after c; the current token is "?". Each nested conditional is a syntax level: a chain
// of them recurses here.
static void expr_ternary(Lexer* ls, ExprDesc* e) {
  FuncBuilder* fs = ls->func;
  synlevel_begin(ls);
  kx_lex_advance(ls);
  bcemit_branch_t(fs, e);
  ExprDesc a;
  expr_binop(ls, &a, 0, NAV_COLON);
  if (ls->token == '?') expr_ternary(ls, &a);
  expr_tonextreg(fs, &a);
  uint32_t reg = a.info;
  int32_t end = bcemit_jmp(fs);
  jump_here(fs, e->false_jumps);
  lex_check(ls, ':');
  reg_free(fs, reg);
  ExprDesc b;
  expr_binop(ls, &b, 0, 0);
  if (ls->token == '?') expr_ternary(ls, &b);
  expr_tonextreg(fs, &b);
  jump_here(fs, end);
  expr_init(e, ExprFixed, reg);
  synlevel_end(ls);
}

static void expr(Lexer* ls, ExprDesc* e) {
  expr_binop(ls, e, 0, 0);
  if (ls->token == '?') expr_ternary(ls, e);
}

// Comma-separated expressions; all but the last go to consecutive registers. Returns the count.
static uint32_t expr_list(Lexer* ls, ExprDesc* e) {
  uint32_t n = 1;
  expr(ls, e);
  while (lex_opt(ls, ',')) {
    expr_tonextreg(ls->func, e);
    expr(ls, e);
    n++;
  }
  return n;
}

// ---- Table constructors ---------------------------------------------------------------------------------

// The hash size class of n hash items.
static uint32_t hash_class(uint32_t n) {
  if (n <= 1) return n;
  return 1 + (31 - static_cast<uint32_t>(__builtin_clz(n - 1))) + 1;
}

static void expr_kvalue(Value* v, const ExprDesc* e) {
  switch (e->kind) {
    case ExprNil: setnilV(v); break;
    case ExprFalse: setboolV(v, false); break;
    case ExprTrue: setboolV(v, true); break;
    case ExprString: setstrV(v, expr_str(e)); break;
    default: copyV(v, &e->k); break;
  }
}

// Stores the multiple results of a final positional call: its store becomes TSETM.
static void table_setmulti(FuncBuilder* fs, uint32_t table_reg, uint32_t first_index) {
  InsLine* il = &fs->code[fs->pc - 1];
  ExprDesc en;
  expr_init(&en, ExprNumber, 0);
  en.k.w.lo = first_index;
  en.k.w.hi = 0x43300000;  // 2^52 + index: an integer in the low word
  // An index beyond the byte range was loaded into a register for the store: drop that load too.
  if (first_index > KX_BCMAX_C) {
    fs->pc--;
    il--;
  }
  il->ins = bcins_ad(BC_TSETM, table_reg + 1, const_number(fs, &en));
  setbc_b(&il[-1].ins, 0);
}

static void expr_table(Lexer* ls, ExprDesc* e) {
  FuncBuilder* fs = ls->func;
  lua_State* L = ls->thread;
  int32_t line = ls->line;
  GcTable* templ = nullptr;
  bool vcall = false, needarr = false;
  uint32_t narr = 1, nhash = 0;  // narr: the next positional index
  uint32_t treg = fs->free_reg;
  uint32_t pc = bcemit_AD(fs, BC_TNEW, treg, 0);
  expr_init(e, ExprFixed, treg);
  reg_reserve(fs, 1);
  lex_check(ls, '{');
  while (ls->token != '}') {
    ExprDesc key, val;
    vcall = false;
    if (ls->token == '[') {
      expr_bracket(ls, &key);
      if (!expr_isk(&key)) expr_index(fs, e, &key);
      if (expr_isnumk(&key) && key.k.n == 0) needarr = true;
      else nhash++;
      lex_check(ls, '=');
    } else if (is_name(ls->token) && kx_lex_peek(ls) == '=') {
      expr_initstr(&key, lex_str(ls));
      lex_check(ls, '=');
      nhash++;
    } else {
      expr_init(&key, ExprNumber, 0);
      key.k.n = narr++;
      needarr = vcall = true;
    }
    expr(ls, &val);
    if (expr_isk(&key) && key.kind != ExprNil && (key.kind == ExprString || expr_isk_nojump(&val))) {
      if (templ == nullptr) {
        templ = kx_tab_new(L, needarr ? narr : 0, hash_class(nhash));
        fs->code[pc].ins = bcins_ad(BC_TDUP, treg, const_object(fs, obj2gco(templ), KX_TTAB));
      }
      vcall = false;
      Value k;
      expr_kvalue(&k, &key);
      Value* slot = kx_tab_set(L, templ, &k);
      if (expr_isk_nojump(&val)) {
        expr_kvalue(slot, &val);
        kx_gc_barriert(G(L), templ, slot);
      } else {
        settabV(slot, templ);  // keeps the key; the value is stored by an instruction
        goto store;
      }
    } else {
    store:
      if (val.kind != ExprCall) {
        expr_toanyreg(fs, &val);
        vcall = false;
      }
      if (expr_isk(&key)) expr_index(fs, e, &key);
      bcemit_store(fs, e, &val);
    }
    fs->free_reg = treg + 1;
    if (!lex_opt(ls, ',') && !lex_opt(ls, ';')) break;
  }
  lex_match(ls, '}', '{', line);
  if (vcall) table_setmulti(fs, treg, narr - 1);
  if (pc == fs->pc - 1) {
    e->info = pc;
    fs->free_reg--;
    e->kind = ExprRelocable;
  } else {
    e->kind = ExprFixed;
  }
  // The array part ends exactly at the last positional item (an open call at the end appends its
  // values at run time), so that the length of a constructor with holes is its item count.
  uint32_t npos = vcall ? narr - 1 : narr;
  if (templ == nullptr) {
    uint32_t asize = !needarr ? 0 : npos < 3 ? 3 : npos > 0x7ff ? 0x7ff : npos;
    setbc_d(&fs->code[pc].ins, asize | (hash_class(nhash) << 11));
  } else {
    if (needarr && templ->asize != npos) kx_tab_reasize(L, templ, npos - 1);
    kx_gc_check(L);
  }
}

// ---- Functions ------------------------------------------------------------------------------------------

// Parameter names up to (not including) the closing token; "..." ends the list.
static uint32_t parse_params(Lexer* ls, uint32_t n, int32_t close) {
  if (ls->token == close) return n;
  do {
    if (is_name(ls->token)) {
      var_new(ls, n++, lex_str(ls));
    } else if (ls->token == KX_TK_dots) {
      kx_lex_advance(ls);
      ls->func->flags |= KX_PROTO_VARARG;
      break;
    } else {
      err_syntax(ls, KX_ERR_ParamExpected);
    }
  } while (lex_opt(ls, ','));
  return n;
}

static void activate_params(Lexer* ls, uint32_t n) {
  FuncBuilder* fs = ls->func;
  var_add(ls, n);
  reg_reserve(fs, n);
  fs->num_params = static_cast<uint8_t>(n);
}

static void parse_body(Lexer* ls, ExprDesc* e, bool needself, int32_t line) {
  FuncBuilder fs;
  BlockScope bl;
  fs_init(ls, &fs, line);
  scope_begin(&fs, &bl, 0);
  lex_check(ls, '(');
  uint32_t n = 0;
  if (needself) var_new(ls, n++, kx_parse_keepstr(ls, "self", 4));
  n = parse_params(ls, n, ')');
  activate_params(ls, n);
  lex_check(ls, ')');
  bcemit_AD(&fs, BC_FUNCF, 0, 0);
  parse_chunk(ls);
  if (ls->token != KX_TK_end) lex_match(ls, KX_TK_end, KX_TK_function, line);
  proto_finish(ls, e, ls->line);
  kx_lex_advance(ls);
}

// x -> e, || -> e, |a, b| -> e, and the same with "do" block "end" as body.
static void parse_shortfunc(Lexer* ls, ExprDesc* e, GcString* name, uint32_t flags, int32_t line) {
  FuncBuilder fs;
  BlockScope bl;
  fs_init(ls, &fs, line);
  scope_begin(&fs, &bl, 0);
  uint32_t n = 0;
  if (name != nullptr) {
    var_new(ls, n++, name);
  } else if (ls->token == KX_TK_lor) {
    kx_lex_advance(ls);
  } else {
    kx_lex_advance(ls);
    n = parse_params(ls, 0, '|');
    lex_check(ls, '|');
  }
  activate_params(ls, n);
  lex_check(ls, KX_TK_arrow);
  bcemit_AD(&fs, BC_FUNCF, 0, 0);
  if (ls->token == KX_TK_do) {
    kx_lex_advance(ls);
    parse_chunk(ls);
    if (ls->token != KX_TK_end) lex_match(ls, KX_TK_end, KX_TK_do, line);
    proto_finish(ls, e, ls->line);
    kx_lex_advance(ls);
  } else {
    // The body ends with its last token, not with the token after it.
    parse_return(ls, flags | NAV_SHORTFN);
    proto_finish(ls, e, ls->last_line);
  }
}

// ---- Assignments ----------------------------------------------------------------------------------------

// Adjusts the values of an assignment to nvars, e being the last expression.
static void assign_adjust(Lexer* ls, uint32_t nvars, uint32_t nexps, ExprDesc* e) {
  FuncBuilder* fs = ls->func;
  int32_t extra = static_cast<int32_t>(nvars) - static_cast<int32_t>(nexps);
  if (e->kind == ExprCall || e->kind == ExprGuardedCall) {
    int32_t n = extra + 1 < 0 ? 0 : extra + 1;  // results wanted from the call
    InsLine* il = expr_ins(fs, e);
    setbc_b(&il->ins, static_cast<uint32_t>(n + 1));
    if (e->kind == ExprGuardedCall) {  // the skipped chain yields nil for every result
      setbc_a(&il[1].ins, e->aux + static_cast<uint32_t>(n));
      if (n > 1) il[2].ins = bcins_ad(BC_KNIL, e->aux, e->aux + static_cast<uint32_t>(n) - 1);
    }
    if (n > 1) reg_reserve(fs, static_cast<uint32_t>(n - 1));
  } else {
    if (e->kind != ExprVoid) expr_tonextreg(fs, e);
    if (extra > 0) {
      uint32_t reg = fs->free_reg;
      reg_reserve(fs, static_cast<uint32_t>(extra));
      bcemit_nil(fs, reg, static_cast<uint32_t>(extra));
    }
  }
  if (nexps > nvars) fs->free_reg -= nexps - nvars;
}

struct AssignTarget {
  ExprDesc v;
  AssignTarget* prev;
};

// Before a local is assigned, earlier indexed targets that use its register get a copy of it.
static void assign_hazard(Lexer* ls, AssignTarget* left, const ExprDesc* var) {
  FuncBuilder* fs = ls->func;
  uint32_t reg = var->info, tmp = fs->free_reg;
  bool hazard = false;
  for (; left != nullptr; left = left->prev) {
    if (left->v.kind != ExprIndexed) continue;
    if (left->v.info == reg) {
      hazard = true;
      left->v.info = tmp;
    }
    if (left->v.aux == reg) {
      hazard = true;
      left->v.aux = tmp;
    }
  }
  if (hazard) {
    bcemit_AD(fs, BC_MOV, tmp, reg);
    reg_reserve(fs, 1);
  }
}

static void check_target(Lexer* ls, const ExprDesc* e) {
  if (e->kind < ExprLocal || e->kind > ExprIndexed) err_syntax(ls, KX_ERR_SyntaxError);
}

static void parse_assignment(Lexer* ls, AssignTarget* lh, uint32_t nvars) {
  FuncBuilder* fs = ls->func;
  var_assign(ls, &lh->v);
  ExprDesc e;
  if (lex_opt(ls, ',')) {
    AssignTarget vl;
    vl.prev = lh;
    expr_primary_nav(ls, &vl.v, NAV_NOSAFE);
    check_target(ls, &vl.v);
    if (vl.v.kind == ExprLocal) assign_hazard(ls, lh, &vl.v);
    check_limit(fs, ls->depth + nvars, KX_MAX_LEVEL, "variable names");
    parse_assignment(ls, &vl, nvars + 1);
  } else {
    lex_check(ls, '=');
    uint32_t nexps = expr_list(ls, &e);
    if (nexps == nvars) {
      if (e.kind == ExprCall) {
        if (bc_op(expr_ins(fs, &e)->ins) == BC_VARG) {
          fs->free_reg--;
          e.kind = ExprRelocable;
        } else {
          e.info = e.aux;  // one result, in the call's base
          e.kind = ExprFixed;
        }
      }
      bcemit_store(fs, &lh->v, &e);
      return;
    }
    assign_adjust(ls, nvars, nexps, &e);
  }
  expr_init(&e, ExprFixed, fs->free_reg - 1);
  bcemit_store(fs, &lh->v, &e);
}

// The operator of a compound assignment, or OPR_NONE.
static BinOp compound_op(int32_t tok) {
  switch (tok) {
    case '+': case '-': case '*': case '/': case '%': case '&': case '|': case '~':
    case KX_TK_shl: case KX_TK_shr: case KX_TK_sar: case KX_TK_concat:
      return token2binop(tok);
    case KX_TK_ne:  // "x ~= y" as a statement is "x = x ~ y"
      return OPR_BXOR;
    default:
      return OPR_NONE;
  }
}

static void parse_compound(Lexer* ls, ExprDesc* target, BinOp op) {
  FuncBuilder* fs = ls->func;
  if (ls->token != KX_TK_ne && !kx_lex_glue_eq(ls)) err_token(ls, '=');
  var_assign(ls, target);
  kx_lex_advance(ls);
  ExprDesc lhs = *target;
  if (target->kind == ExprIndexed) {  // load, keeping the table and key registers for the store
    lhs.info = bcemit_INS(fs, expr_loadins(target));
    lhs.kind = ExprRelocable;
  }
  if (op == OPR_CONCAT) expr_tonextreg(fs, &lhs);
  else expr_toanyreg(fs, &lhs);
  ExprDesc rhs;
  expr(ls, &rhs);
  bcemit_binop(fs, op, &lhs, &rhs);
  bcemit_store(fs, target, &lhs);
}

// A call or an assignment.
static void parse_exprstat(Lexer* ls) {
  FuncBuilder* fs = ls->func;
  AssignTarget vl;
  int32_t escape = expr_primary_nav(ls, &vl.v, NAV_STMT);
  if (vl.v.kind == ExprCall) {
    setbc_b(&expr_ins(fs, &vl.v)->ins, 1);  // no results
  } else {
    if (escape != NO_JUMP && ls->token == ',') err_syntax(ls, KX_ERR_SyntaxError);
    check_target(ls, &vl.v);
    if (ls->token == KX_TK_bne) kx_lex_error(ls, '!', KX_ERR_TokenExpected, "=");
    BinOp op = compound_op(ls->token);
    if (op != OPR_NONE) {
      parse_compound(ls, &vl.v, op);
    } else {
      vl.prev = nullptr;
      parse_assignment(ls, &vl, 1);
    }
  }
  // A nil guarded value skips the whole statement.
  jump_here(fs, escape);
}

// ---- Statements -----------------------------------------------------------------------------------------

static void parse_local(Lexer* ls, uint8_t info, int32_t line) {
  FuncBuilder* fs = ls->func;
  if (lex_opt(ls, KX_TK_function)) {
    var_new(ls, 0, lex_str(ls));
    ExprDesc v, b;
    expr_init(&v, ExprLocal, fs->free_reg);
    v.aux = fs->var_map[fs->free_reg];
    ls->vars[v.aux].info = info;
    reg_reserve(fs, 1);
    var_add(ls, 1);  // visible inside its own body
    parse_body(ls, &b, false, line);
    // A store that leaves the variable unwritten: the closure is its initial value.
    reg_release(fs, &b);
    expr_toreg(fs, &b, v.info);
    ls->vars[v.aux].start_pc = fs->pc;
    return;
  }
  uint32_t nvars = 0;
  do {
    var_new(ls, nvars, lex_str(ls));
    if (info) {  // visible to the rest of the name list only, to catch a repeated name
      uint32_t idx = fs->var_map[fs->active_vars + nvars];
      ls->vars[idx].info = info;
      chain_push(ls, idx);
    }
    nvars++;
  } while (lex_opt(ls, ','));
  if (info) {
    for (uint32_t i = nvars; i-- > 0;) chain_pop(ls, fs->var_map[fs->active_vars + i]);
  }
  ExprDesc e;
  uint32_t nexps = 0;
  if (lex_opt(ls, '=')) nexps = expr_list(ls, &e);
  else expr_init(&e, ExprVoid, 0);
  assign_adjust(ls, nvars, nexps, &e);
  var_add(ls, nvars);
}

static void parse_func(Lexer* ls, int32_t line) {
  FuncBuilder* fs = ls->func;
  ExprDesc v, b;
  bool needself = false;
  kx_lex_advance(ls);
  var_lookup(ls, &v);
  while (ls->token == '.') expr_field(ls, &v);
  if (ls->token == ':') {
    needself = true;
    expr_field(ls, &v);
  }
  var_assign(ls, &v);
  parse_body(ls, &b, needself, line);
  bcemit_store(fs, &v, &b);
  set_line(fs, fs->pc - 1, line);
}

// The return of one value: a call becomes a tail call.
static Instr return_one(FuncBuilder* fs, ExprDesc* e) {
  if (e->kind == ExprCall) {
    Instr* ip = &expr_ins(fs, e)->ins;
    if (bc_op(*ip) == BC_VARG) {
      setbc_b(ip, 0);
      return bcins_ad(BC_RETM, fs->active_vars, e->aux - fs->active_vars);
    }
    fs->pc--;
    return bcins_ad(bc_op(*ip) - BC_CALL + BC_CALLT, bc_a(*ip), bc_c(*ip));
  }
  return bcins_ad(BC_RET1, expr_toanyreg(fs, e), 2);
}

static void parse_return(Lexer* ls, uint32_t flags) {
  FuncBuilder* fs = ls->func;
  Instr ins;
  fs->flags |= KX_PROTO_HAS_RETURN;
  if (flags & NAV_SHORTFN) {
    ExprDesc e;
    expr_binop(ls, &e, 0, flags);
    if (ls->token == '?') expr_ternary(ls, &e);
    ins = return_one(fs, &e);
  } else {
    kx_lex_advance(ls);
    if (block_ends(ls->token) || ls->token == ';') {
      ins = bcins_ad(BC_RET0, 0, 1);
    } else {
      ExprDesc e;
      uint32_t n = expr_list(ls, &e);
      if (n == 1) {
        ins = return_one(fs, &e);
      } else if (e.kind == ExprCall) {
        setbc_b(&expr_ins(fs, &e)->ins, 0);
        ins = bcins_ad(BC_RETM, fs->active_vars, e.aux - fs->active_vars);
      } else {
        expr_tonextreg(fs, &e);
        ins = bcins_ad(BC_RET, fs->active_vars, n + 1);
      }
    }
  }
  if (fs->flags & KX_PROTO_CHILD) bcemit_AJ(fs, BC_UCLO, 0, 0);
  bcemit_INS(fs, ins);
}

// A condition: the returned list jumps when it is false.
static int32_t expr_cond(Lexer* ls) {
  ExprDesc v;
  expr(ls, &v);
  if (v.kind == ExprNil) v.kind = ExprFalse;
  bcemit_branch_t(ls->func, &v);
  return v.false_jumps;
}

static int32_t parse_then(Lexer* ls) {
  kx_lex_advance(ls);
  int32_t cond_exit = expr_cond(ls);
  lex_check(ls, KX_TK_then);
  parse_block(ls);
  return cond_exit;
}

static void parse_if(Lexer* ls, int32_t line) {
  FuncBuilder* fs = ls->func;
  int32_t escapes = NO_JUMP;
  int32_t false_list = parse_then(ls);
  while (ls->token == KX_TK_elseif) {
    jmp_append(fs, &escapes, bcemit_jmp(fs));
    jump_here(fs, false_list);
    false_list = parse_then(ls);
  }
  if (ls->token == KX_TK_else) {
    jmp_append(fs, &escapes, bcemit_jmp(fs));
    jump_here(fs, false_list);
    kx_lex_advance(ls);
    parse_block(ls);
  } else {
    jmp_append(fs, &escapes, false_list);
  }
  jump_here(fs, escapes);
  lex_match(ls, KX_TK_end, KX_TK_if, line);
}

static void parse_while(Lexer* ls, int32_t line) {
  FuncBuilder* fs = ls->func;
  BlockScope bl;
  kx_lex_advance(ls);
  uint32_t start = fs->last_target = fs->pc;
  int32_t cond_exit = expr_cond(ls);
  scope_begin(fs, &bl, KX_SCOPE_LOOP);
  lex_check(ls, KX_TK_do);
  uint32_t loop = bcemit_AD(fs, BC_LOOP, fs->active_vars, 0);
  parse_block(ls);
  jump_patch(fs, bcemit_jmp(fs), start);
  lex_match(ls, KX_TK_end, KX_TK_while, line);
  fscope_continue(fs, &bl, start);
  fscope_end(fs);
  jump_here(fs, cond_exit);
  jmp_patchins(fs, loop, fs->pc);
}

static void parse_break(Lexer* ls) {
  FuncBuilder* fs = ls->func;
  fs->block->flags |= KX_SCOPE_BREAK;
  gola_new(ls, varname_code(KX_NAME_BREAK), KX_VAR_JUMP, static_cast<uint32_t>(bcemit_jmp(fs)));
}

static void parse_repeat(Lexer* ls, int32_t line) {
  FuncBuilder* fs = ls->func;
  BlockScope loop_bl, inner_bl;
  uint32_t loop = fs->last_target = fs->pc;
  scope_begin(fs, &loop_bl, KX_SCOPE_LOOP);
  scope_begin(fs, &inner_bl, 0);
  kx_lex_advance(ls);
  bcemit_AD(fs, BC_LOOP, fs->active_vars, 0);
  parse_chunk(ls);
  lex_match(ls, KX_TK_until, KX_TK_repeat, line);
  fscope_continue(fs, &inner_bl, fs->pc);  // the body's locals are visible in the condition
  int32_t cond_exit = expr_cond(ls);
  if (!(inner_bl.flags & KX_SCOPE_UPVAL)) {
    fscope_end(fs);
  } else {
    // Leave the loop before closing the body's upvalues; loop back after closing them.
    parse_break(ls);
    jump_here(fs, cond_exit);
    fscope_end(fs);
    cond_exit = bcemit_jmp(fs);
  }
  jump_patch(fs, cond_exit, loop);
  jmp_patchins(fs, loop, fs->pc);
  fscope_end(fs);
}

static void parse_for_num(Lexer* ls, GcString* varname, int32_t line) {
  FuncBuilder* fs = ls->func;
  uint32_t base = fs->free_reg;
  BlockScope bl;
  var_new(ls, 0, varname_code(KX_VARNAME_FOR_IDX));
  var_new(ls, 1, varname_code(KX_VARNAME_FOR_STOP));
  var_new(ls, 2, varname_code(KX_VARNAME_FOR_STEP));
  var_new(ls, 3, varname);
  lex_check(ls, '=');
  ExprDesc e;
  expr(ls, &e);
  expr_tonextreg(fs, &e);
  lex_check(ls, ',');
  expr(ls, &e);
  expr_tonextreg(fs, &e);
  if (lex_opt(ls, ',')) {
    expr(ls, &e);
    expr_tonextreg(fs, &e);
  } else {
    bcemit_AD(fs, BC_KSHORT, fs->free_reg, 1);
    reg_reserve(fs, 1);
  }
  var_add(ls, 3);
  lex_check(ls, KX_TK_do);
  uint32_t loop = bcemit_AD(fs, BC_FORI, base, JUMP_END);
  scope_begin(fs, &bl, 0);
  var_add(ls, 1);
  reg_reserve(fs, 1);
  parse_block(ls);
  fscope_end(fs);
  fscope_continue(fs, fs->block, fs->pc);
  uint32_t loop_end = bcemit_AD(fs, BC_FORL, base, JUMP_END);
  set_line(fs, loop_end, line);
  jmp_patchins(fs, loop_end, loop + 1);
  jmp_patchins(fs, loop, fs->pc);
}

// Whether a GGET reads the global named name.
static bool gget_is(Lexer* ls, FuncBuilder* fs, Instr ins, const char* name) {
  const Value* k = kx_tab_getstr(fs->constants, kx_str_newz(ls->thread, name));
  return k != nullptr && tv_isnum(k) && k->w.lo == bc_d(ins);
}

// Whether the iterator expression starts with pairs or next, so the loop may use ITERN.
static bool predict_next(Lexer* ls, FuncBuilder* fs, uint32_t pc) {
  if (pc >= fs->pc) return false;
  Instr ins = fs->code[pc].ins;
  const GcString* name;
  switch (bc_op(ins)) {
    case BC_MOV:
      if (bc_d(ins) >= fs->active_vars) return false;
      name = ls->vars[fs->var_map[bc_d(ins)]].name;
      break;
    case BC_UGET:
      name = ls->vars[fs->upval_map[bc_d(ins)]].name;
      break;
    case BC_GGET:
      return gget_is(ls, fs, ins, "pairs") || gget_is(ls, fs, ins, "next");
    default:
      return false;
  }
  if (!varname_isstr(name)) return false;
  return (name->len == 5 && memcmp(strdata(name), "pairs", 5) == 0) ||
         (name->len == 4 && memcmp(strdata(name), "next", 4) == 0);
}

static void parse_for_iter(Lexer* ls, GcString* first_name) {
  FuncBuilder* fs = ls->func;
  uint32_t base = fs->free_reg + 3, nvars = 0;
  uint32_t expr_pc = fs->pc;
  BlockScope bl;
  var_new(ls, nvars++, varname_code(KX_VARNAME_FOR_GEN));
  var_new(ls, nvars++, varname_code(KX_VARNAME_FOR_STATE));
  var_new(ls, nvars++, varname_code(KX_VARNAME_FOR_CTL));
  var_new(ls, nvars++, first_name);
  while (lex_opt(ls, ',')) var_new(ls, nvars++, lex_str(ls));
  lex_check(ls, KX_TK_in);
  int32_t line = ls->line;
  ExprDesc e;
  assign_adjust(ls, 3, expr_list(ls, &e), &e);
  reg_bump(fs, 3 + ls->two_slot_frames);  // the iterator call's function and arguments
  bool isnext = nvars <= 5 && predict_next(ls, fs, expr_pc);
  var_add(ls, 3);
  lex_check(ls, KX_TK_do);
  uint32_t loop = bcemit_AD(fs, isnext ? BC_ISNEXT : BC_JMP, base, JUMP_END);
  scope_begin(fs, &bl, 0);
  var_add(ls, nvars - 3);
  reg_reserve(fs, nvars - 3);
  parse_block(ls);
  fscope_end(fs);
  fscope_continue(fs, fs->block, fs->pc);
  jmp_patchins(fs, loop, fs->pc);
  uint32_t iter = bcemit_ABC(fs, isnext ? BC_ITERN : BC_ITERC, base, nvars - 3 + 1, 3);
  uint32_t loop_end = bcemit_AD(fs, BC_ITERL, base, JUMP_END);
  set_line(fs, iter, line);
  set_line(fs, loop_end, line);
  jmp_patchins(fs, loop_end, loop + 1);
}

static void parse_for(Lexer* ls, int32_t line) {
  FuncBuilder* fs = ls->func;
  BlockScope bl;
  scope_begin(fs, &bl, KX_SCOPE_LOOP);
  kx_lex_advance(ls);
  GcString* varname = lex_str(ls);
  if (ls->token == '=') parse_for_num(ls, varname, line);
  else if (ls->token == ',' || ls->token == KX_TK_in) parse_for_iter(ls, varname);
  else err_syntax(ls, KX_ERR_AssignOrInExpected);
  lex_match(ls, KX_TK_end, KX_TK_for, line);
  fscope_end(fs);
}

static void parse_continue(Lexer* ls) {
  FuncBuilder* fs = ls->func;
  fs->block->flags |= KX_SCOPE_CONTINUE;
  gola_new(ls, varname_code(KX_NAME_CONTINUE), KX_VAR_JUMP, static_cast<uint32_t>(bcemit_jmp(fs)));
}

static void parse_goto(Lexer* ls) {
  FuncBuilder* fs = ls->func;
  GcString* name = lex_str(ls);
  VarSlot* label = gola_findlabel(ls, name);
  if (label != nullptr) bcemit_AJ(fs, BC_LOOP, label->slot, -1);  // a backward goto is a loop
  fs->block->flags |= KX_SCOPE_GOTO;
  gola_new(ls, name, KX_VAR_JUMP, static_cast<uint32_t>(bcemit_jmp(fs)));
}

static void parse_label(Lexer* ls) {
  FuncBuilder* fs = ls->func;
  fs->last_target = fs->pc;
  fs->block->flags |= KX_SCOPE_GOTO;
  kx_lex_advance(ls);
  GcString* name = lex_str(ls);
  if (gola_findlabel(ls, name) != nullptr) kx_lex_error(ls, ls->token, KX_ERR_DuplicateLabel, strdata(name));
  uint32_t idx = gola_new(ls, name, KX_VAR_LABEL, fs->pc);
  lex_check(ls, KX_TK_label);
  for (;;) {
    if (ls->token == KX_TK_label) {
      synlevel_begin(ls);
      parse_label(ls);
      synlevel_end(ls);
    } else if (ls->token == ';') {
      kx_lex_advance(ls);
    } else {
      break;
    }
  }
  // A label at the end of its block is outside the scope of the block's locals.
  if (block_ends(ls->token) && ls->token != KX_TK_until) ls->vars[idx].slot = fs->block->nactvar;
  gola_resolve(ls, fs->block, idx);
}

// Whether "const" starts a declaration, judging by the token after it.
static bool const_decl_follows(int32_t next) { return is_name(next) || next == KX_TK_function; }

// Whether "continue" is the statement, judging by the token after it.
static bool continue_stmt_follows(int32_t next) { return next == ';' || block_ends(next); }

// One statement; returns whether it must be the last of its block.
static bool parse_stmt(Lexer* ls) {
  int32_t line = ls->line;
  switch (ls->token) {
    case KX_TK_if:
      parse_if(ls, line);
      break;
    case KX_TK_while:
      parse_while(ls, line);
      break;
    case KX_TK_do:
      kx_lex_advance(ls);
      parse_block(ls);
      lex_match(ls, KX_TK_end, KX_TK_do, line);
      break;
    case KX_TK_for:
      parse_for(ls, line);
      break;
    case KX_TK_repeat:
      parse_repeat(ls, line);
      break;
    case KX_TK_function:
      parse_func(ls, line);
      break;
    case KX_TK_local:
      kx_lex_advance(ls);
      parse_local(ls, 0, line);
      break;
    case KX_TK_return:
      parse_return(ls, 0);
      return true;
    case KX_TK_break:
      kx_lex_advance(ls);
      parse_break(ls);
      break;
    case KX_TK_goto:
      kx_lex_advance(ls);
      parse_goto(ls);
      break;
    case KX_TK_label:
      parse_label(ls);
      break;
    case ';':
      kx_lex_advance(ls);
      break;
    case KX_TK_const:
      if (const_decl_follows(kx_lex_peek(ls))) {
        kx_lex_advance(ls);
        parse_local(ls, KX_VAR_CONST, line);
      } else {
        parse_exprstat(ls);
      }
      break;
    case KX_TK_continue:
      if (continue_stmt_follows(kx_lex_peek(ls))) {
        kx_lex_advance(ls);
        parse_continue(ls);
        return true;
      }
      parse_exprstat(ls);
      break;
    default:
      parse_exprstat(ls);
      break;
  }
  return false;
}

void parse_chunk(Lexer* ls) {
  synlevel_begin(ls);
  bool last = false;
  while (!last && !block_ends(ls->token)) {
    last = parse_stmt(ls);
    while (ls->token == ';') kx_lex_advance(ls);
    ls->func->free_reg = ls->func->active_vars;
  }
  synlevel_end(ls);
}
