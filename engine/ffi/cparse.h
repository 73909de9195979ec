// The C declaration parser: reads C declarations and type names and enters what they declare into
// the type table, laying out structs and unions.
//
// A parse runs under a protected entry. When it fails, the entries it appended are dropped, entries
// it completed (a struct body given to an earlier tag) get their old contents back, and the error is
// raised again as an error of the calling function.
#pragma once

#include "core/buf.h"
#include "ffi/ctype.h"

// Parse modes.
enum : uint32_t {
  CPARSE_MULTI = 0x01,       // a block of declarations
  CPARSE_ABSTRACT = 0x02,    // declarators without a name allowed
  CPARSE_DIRECT = 0x04,      // a declared name allowed
  CPARSE_FIELD = 0x08,       // bit-field widths allowed
  CPARSE_NOIMPLICIT = 0x10,  // a struct, union or enum tag must exist or get a body
  CPARSE_SKIP = 0x20,        // skipping a function body: integer errors suppressed
};

// The value of a constant expression: 32 bits and the type id they carry.
struct CPValue {
  uint32_t u32;
  CTypeID id;
};

constexpr uint32_t CPARSE_MAXDEPTH = 20;
constexpr uint32_t CPARSE_MAXPACK = 7;
constexpr uint8_t CPARSE_PACK_NONE = 255;

struct CParser {
  int32_t ch;            // current character, -1 at the end
  int32_t token;
  CPValue value;         // of an integer token
  GcString* str;         // of an identifier or string token (null for a $ type)
  CTypeID entry;         // entry of an identifier, 0 if none
  bool param_token;      // the token came from a $ substitution
  const char* cursor;    // next character
  const char* end;
  StrBuf text;           // text of the current token
  int32_t param_next;    // argument number of the next $ substitution
  int32_t param_count;   // number of arguments of the calling function
  lua_State* L;
  CTypeTable* tab;
  uint32_t line;
  uint32_t depth;
  uint32_t name_kinds;   // kinds an identifier is looked up as
  uint32_t mode;
  uint8_t pack[CPARSE_MAXPACK];  // packing exponents; pack[packtop] is current
  uint32_t packtop;
  uint32_t used_before;  // entries that existed before the parse
  StrBuf undo;           // old contents of entries the parse completed
  CTypeID result;        // the type of a single declaration
};

// Prepares a parse of len bytes at text in the given mode; $ substitutions take the arguments of the
// running C function from number first_param on.
void kx_cparse_init(CParser* cp, lua_State* L, const char* text, size_t len, uint32_t mode, int32_t first_param);
// Runs the parse; on an error the table is restored and the error raised again. A single declaration
// leaves its type in cp->result; cp->param_next tells which arguments were used.
void kx_cparse(CParser* cp);
