// bclist: prints the bytecode of a compiled chunk, for the compiler's listing tests.
//
//   bclist <file.lua> [mode]
//
// Every prototype is listed, the main chunk first and each child after its parent (in constant
// order): a header line, the instructions with decoded operands, then the constants and upvalues.
// Template tables are printed with sorted keys so the output does not depend on string hashing.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bytecode/bc.h"
#include "core/func.h"
#include "core/state.h"
#include "core/str.h"
#include "core/table.h"
#include "lauxlib.h"

static std::string quoted(const GcString* s) {
  std::string out = "\"";
  const char* p = strdata(s);
  for (uint32_t i = 0; i < s->len; i++) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 32 && c < 127) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\%u", c);
      out += buf;
    }
  }
  return out + "\"";
}

static std::string number(double n) {
  char buf[40];
  snprintf(buf, sizeof(buf), "%.17g", n);
  return buf;
}

static std::string value(const Value* v) {
  if (tv_isnum(v)) return number(v->n);
  if (tv_isnil(v)) return "nil";
  if (tv_isfalse(v)) return "false";
  if (tv_istrue(v)) return "true";
  if (tv_isstr(v)) return quoted(strV(v));
  if (tv_istab(v)) return "<table>";
  return std::string("<") + kx_obj_typename_of(v) + ">";
}

static GcObj* kgc(const GcProto* pt, uint32_t idx) { return proto_kgc(pt, -1 - static_cast<int32_t>(idx)); }

// A template table, array items first, then the hash items sorted by their printed key.
static std::string table_contents(const GcTable* t) {
  std::vector<std::string> items;
  for (uint32_t i = 0; i < t->asize; i++) {
    if (!tv_isnil(&t->array[i])) items.push_back("[" + std::to_string(i) + "]=" + value(&t->array[i]));
  }
  std::vector<std::string> hashed;
  for (uint32_t i = 0; i <= t->hmask; i++) {
    const TableNode* n = &t->node[i];
    if (tv_isnil(&n->val)) continue;
    bool self = tv_istab(&n->val) && tabV(&n->val) == t;
    hashed.push_back("[" + value(&n->key) + "]=" + (self ? std::string("<placeholder>") : value(&n->val)));
  }
  std::sort(hashed.begin(), hashed.end());
  items.insert(items.end(), hashed.begin(), hashed.end());
  std::string out = "{";
  for (size_t i = 0; i < items.size(); i++) out += (i ? ", " : "") + items[i];
  return out + "}";
}

static int32_t line_of(const GcProto* pt, uint32_t pc) {
  uint32_t d;
  if (pt->line_count < 256) d = static_cast<const uint8_t*>(pt->line_info.get())[pc - 1];
  else if (pt->line_count < 65536) d = static_cast<const uint16_t*>(pt->line_info.get())[pc - 1];
  else d = static_cast<const uint32_t*>(pt->line_info.get())[pc - 1];
  return static_cast<int32_t>(pt->first_line + d);
}

// The comment that explains operand value x of kind mode.
static std::string operand_note(const GcProto* pt, uint32_t pc, BCMode mode, uint32_t x) {
  switch (mode) {
    case BCMstr: return quoted(reinterpret_cast<GcString*>(kgc(pt, x)));
    case BCMnum: return number(proto_knum(pt, x)->n);
    case BCMpri: return x == 0 ? "nil" : x == 1 ? "false" : "true";
    case BCMtab: return table_contents(reinterpret_cast<GcTable*>(kgc(pt, x)));
    case BCMfunc: {
      const GcProto* child = reinterpret_cast<GcProto*>(kgc(pt, x));
      return "function " + std::to_string(child->first_line) + "-" +
             std::to_string(child->first_line + child->line_count);
    }
    case BCMjump: return "=> " + std::to_string(pc + 1 + x - KX_BCBIAS_J);
    default: return "";
  }
}

static std::string operand(BCMode mode, uint32_t x) {
  if (mode == BCMlits) return std::to_string(static_cast<int16_t>(x));
  if (mode == BCMjump) return std::to_string(static_cast<int32_t>(x) - static_cast<int32_t>(KX_BCBIAS_J));
  return std::to_string(x);
}

static void list_instruction(const GcProto* pt, uint32_t pc) {
  Instr ins = proto_bc(pt)[pc];
  uint32_t op = bc_op(ins);
  BCMode ma = bcmode_a(op), mb = bcmode_b(op), mc = bcmode_c(op);
  std::string ops;
  std::vector<std::string> notes;
  if (ma != BCMnone) ops += operand(ma, bc_a(ins));
  if (mb != BCMnone) {
    ops += " " + operand(mb, bc_b(ins));
    ops += " " + operand(mc, bc_c(ins));
    std::string n = operand_note(pt, pc, mc, bc_c(ins));
    if (!n.empty()) notes.push_back(n);
  } else if (mc != BCMnone) {
    ops += " " + operand(mc, bc_d(ins));
    std::string n = operand_note(pt, pc, mc, bc_d(ins));
    if (!n.empty()) notes.push_back(n);
  }
  printf("%04u %4d %-7s %s", pc, line_of(pt, pc), kx_bc_names[op], ops.c_str());
  for (const std::string& n : notes) printf("  ; %s", n.c_str());
  printf("\n");
}

// Variable info: name (or hidden-variable code), start and length, as in the debug bytes.
static void list_variables(const GcProto* pt) {
  static const char* const hidden[] = {"", "(for index)", "(for limit)", "(for step)",
                                       "(for generator)", "(for state)", "(for control)"};
  const uint8_t* p = pt->var_info;
  uint32_t start = 0;
  while (*p != 0) {
    std::string name;
    if (*p < 7) {
      name = hidden[*p++];
    } else {
      name = reinterpret_cast<const char*>(p);
      p += name.size() + 1;
    }
    uint32_t v[2];
    for (uint32_t& x : v) {
      x = 0;
      for (int shift = 0;; shift += 7) {
        uint8_t b = *p++;
        x |= static_cast<uint32_t>(b & 0x7f) << shift;
        if (!(b & 0x80)) break;
      }
    }
    start += v[0];
    printf("  local %s %u-%u\n", name.c_str(), start, start + v[1]);
  }
}

// closures: how many closures were made from the prototype (the main chunk's by the loader), which
// the run-time counter in its flags has counted.
static void list_proto(const GcProto* pt, uint32_t closures) {
  Instr header = proto_bc(pt)[0];
  printf("-- function %u-%u: params %u, frame %u, upvalues %u, flags 0x%02x, header %s\n", pt->first_line,
         pt->first_line + pt->line_count, pt->num_params, pt->frame_size, pt->upval_count,
         pt->flags - 0x20 * closures, kx_bc_names[bc_op(header)]);
  for (uint32_t pc = 1; pc < pt->code_size; pc++) list_instruction(pt, pc);
  for (uint32_t i = 0; i < pt->num_const_count; i++) printf("  number %u: %s\n", i, number(proto_knum(pt, i)->n).c_str());
  for (uint32_t i = 0; i < pt->gc_const_count; i++) {
    GcObj* o = kgc(pt, i);
    if (o->gc_type == KX_ISTR) printf("  gc %u: %s\n", i, quoted(reinterpret_cast<GcString*>(o)).c_str());
    else if (o->gc_type == KX_ITAB) printf("  gc %u: table\n", i);
    else printf("  gc %u: function\n", i);
  }
  const char* name = reinterpret_cast<const char*>(pt->upval_names.get());
  for (uint32_t i = 0; i < pt->upval_count; i++) {
    uint16_t d = pt->upval_descs[i];
    if (d & KX_UV_LOCAL)
      printf("  upvalue %u: %s <- local %u%s\n", i, name, d & 0xff, (d & KX_UV_IMMUTABLE) ? " immutable" : "");
    else
      printf("  upvalue %u: %s <- upvalue %u\n", i, name, d);
    name += strlen(name) + 1;
  }
  list_variables(pt);
  for (uint32_t i = 0; i < pt->gc_const_count; i++) {
    GcObj* o = kgc(pt, i);
    if (o->gc_type == KX_IPROTO) list_proto(reinterpret_cast<GcProto*>(o), 0);
  }
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <file.lua> [mode]\n", argv[0]);
    return 2;
  }
  lua_State* L = luaL_newstate();
  int status = luaL_loadfilex(L, argv[1], argc > 2 ? argv[2] : nullptr);
  if (status != 0) {
    printf("error %d: %s\n", status, lua_tostring(L, -1));
    lua_close(L);
    return 1;
  }
  const Value* top = L->top - 1;
  if (tv_isproto(top)) list_proto(protoV(top), 0);
  else list_proto(funcproto(funcV(top)), 1);
  lua_close(L);
  return 0;
}
