// Closures, upvalues and C functions as objects: binding upvalues to stack slots, sharing, closing,
// the per-thread open list, the instance-wide ring of open upvalues, the closure counter, object
// sizes, and closures whose upvalues run out of memory.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "core/func.h"
#include "core/gc.h"
#include "core/state.h"
#include "counting_alloc.h"
#include "lauxlib.h"

namespace {

// The chunk's locals a, b, c, d live in the slots 0-3 of its frame; each child function sits on its
// own line, so it is found by its first line.
const char* kChunk =
    "local a, b, c, d = ...\n"
    "local f_ab = function() return a + b end\n"    // line 2: slots 0, 1
    "local g_ac = function() a = a + c end\n"       // line 3: slots 0, 2
    "local h_d = function() return d end\n"         // line 4: slot 3
    "local k_cb = function() return c, b end\n";    // line 5: slots 2, 1

class Func : public ::testing::Test {
 protected:
  CountingAlloc counter;
  lua_State* L = nullptr;
  GcFunc* chunk = nullptr;  // the compiled chunk, parent of every closure made here

  void SetUp() override {
    L = lua_newstate(kx_test_counting_alloc, &counter);
    ASSERT_NE(L, nullptr);
    lua_gc(L, LUA_GCSTOP, 0);  // objects held here by raw pointer stay put
    // The chunk's locals: slots 0-3 of a frame based at the first stack slot.
    for (int i = 1; i <= 4; i++) lua_pushnumber(L, i * 10);
    ASSERT_EQ(luaL_loadbuffer(L, kChunk, strlen(kChunk), "=funcs"), 0);
    chunk = funcV(L->top - 1);
  }
  void TearDown() override {
    lua_close(L);
    EXPECT_EQ(counter.live_bytes, 0u);
    EXPECT_FALSE(counter.mismatch);
  }

  Value* slot(uint32_t i) { return L->base + i; }

  GcProto* child(uint32_t line) {
    GcProto* pt = funcproto(chunk);
    for (int32_t i = -1; i >= -static_cast<int32_t>(pt->gc_const_count); i--) {
      GcObj* o = proto_kgc(pt, i);
      if (o->gc_type == KX_IPROTO && reinterpret_cast<GcProto*>(o)->first_line == line)
        return reinterpret_cast<GcProto*>(o);
    }
    ADD_FAILURE() << "no function on line " << line;
    return nullptr;
  }

  // A closure as the chunk's frame would create it; it stays on the stack.
  GcFunc* closure(uint32_t line) {
    GcFunc* fn = kx_func_newL_gc(L, child(line), &chunk->l);
    setfuncV(L->top, fn);
    kx_state_incr_top(L);
    return fn;
  }

  std::vector<GcUpval*> open_list() {
    std::vector<GcUpval*> v;
    for (GcUpval* uv = L->open_upvalues; uv; uv = reinterpret_cast<GcUpval*>(uv->gc_next.get())) v.push_back(uv);
    return v;
  }

  // Walks the ring both ways, checking every link; returns its members.
  std::set<GcUpval*> ring() {
    GcUpval* head = &G(L)->upvalue_ring;
    std::vector<GcUpval*> forward, backward;
    for (GcUpval* uv = head->ring.next; uv != head && forward.size() < 1000; uv = uv->ring.next) {
      EXPECT_EQ(uv->ring.next->ring.prev, uv);
      EXPECT_EQ(uv->closed, 0);
      forward.push_back(uv);
    }
    for (GcUpval* uv = head->ring.prev; uv != head && backward.size() < 1000; uv = uv->ring.prev) {
      EXPECT_EQ(uv->ring.prev->ring.next, uv);
      backward.push_back(uv);
    }
    EXPECT_EQ(forward, std::vector<GcUpval*>(backward.rbegin(), backward.rend()));
    return std::set<GcUpval*>(forward.begin(), forward.end());
  }
};

TEST_F(Func, ClosuresOverOneSlotShareItsUpvalue) {
  GcFunc* f = closure(2);
  GcFunc* g = closure(3);
  ASSERT_EQ(f->upvalue_count, 2);
  ASSERT_EQ(g->upvalue_count, 2);
  EXPECT_EQ(f->l.uvptr[0], g->l.uvptr[0]);
  EXPECT_NE(f->l.uvptr[1], g->l.uvptr[1]);
  GcUpval* a = f->l.uvptr[0];
  EXPECT_EQ(a->closed, 0);
  EXPECT_EQ(a->v, slot(0));
  EXPECT_EQ(g->l.uvptr[1]->v, slot(2));
  // b is never assigned, a is.
  EXPECT_EQ(f->l.uvptr[1]->immutable, 1);
  EXPECT_EQ(a->immutable, 0);
  // A store through one closure's upvalue is the store into the slot that the other one reads.
  setnumV(g->l.uvptr[0]->v, 99);
  EXPECT_EQ(numV(slot(0)), 99);
  EXPECT_EQ(numV(f->l.uvptr[0]->v), 99);
  EXPECT_EQ(open_list().size(), 3u);
  EXPECT_EQ(ring().size(), 3u);
}

TEST_F(Func, OpenListStaysSortedBySlotHighestFirst) {
  // Slots bound in the order 0, 1, 2, 3, 2, 1: the list grows at its head, in its middle, and
  // finds the slots it already has.
  closure(2);
  closure(3);
  closure(4);
  closure(5);
  std::vector<GcUpval*> list = open_list();
  ASSERT_EQ(list.size(), 4u);
  for (size_t i = 0; i < list.size(); i++) EXPECT_EQ(list[i]->v, slot(3 - static_cast<uint32_t>(i)));
  EXPECT_EQ(ring(), std::set<GcUpval*>(list.begin(), list.end()));
}

TEST_F(Func, ClosingCopiesTheValueAndLeavesTheRing) {
  GcFunc* f = closure(2);
  GcFunc* g = closure(3);
  closure(4);
  lua_pushstring(L, "kept");
  lua_replace(L, 1);  // a = "kept"
  GcUpval* a = f->l.uvptr[0];
  GcUpval* c = g->l.uvptr[1];
  // Closing from slot 2 up closes c and d only.
  kx_func_closeuv(L, slot(2));
  std::vector<GcUpval*> list = open_list();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]->v, slot(1));
  EXPECT_EQ(list[1], a);
  EXPECT_EQ(ring(), std::set<GcUpval*>(list.begin(), list.end()));
  EXPECT_EQ(c->closed, 1);
  EXPECT_EQ(c->v, &c->value);
  EXPECT_EQ(numV(&c->value), 30);
  // A closed upvalue joins the object list.
  bool on_list = false;
  for (GcObj* o = G(L)->gc.root; o; o = o->gc_next) on_list |= o == obj2gco(c);
  EXPECT_TRUE(on_list);

  kx_func_closeuv(L, slot(0));
  EXPECT_TRUE(open_list().empty());
  EXPECT_TRUE(ring().empty());
  EXPECT_EQ(G(L)->upvalue_ring.ring.next, &G(L)->upvalue_ring);
  // The copy is independent of the slot, and both closures still share it.
  setnumV(slot(0), 1);
  ASSERT_TRUE(tv_isstr(a->v));
  EXPECT_STREQ(strdata(strV(a->v)), "kept");
  EXPECT_EQ(g->l.uvptr[0], a);
  // A closure made after the close binds a fresh open upvalue.
  GcFunc* f2 = closure(2);
  EXPECT_NE(f2->l.uvptr[0], a);
  EXPECT_EQ(f2->l.uvptr[0]->v, slot(0));
  EXPECT_EQ(ring().size(), 2u);
}

TEST_F(Func, OpenUpvaluesFollowAMovedStack) {
  GcFunc* f = closure(2);
  GcFunc* h = closure(4);
  kx_state_growstack(L, 2000);
  EXPECT_EQ(f->l.uvptr[0]->v, slot(0));
  EXPECT_EQ(h->l.uvptr[0]->v, slot(3));
  EXPECT_EQ(numV(h->l.uvptr[0]->v), 40);
  EXPECT_EQ(ring().size(), 3u);
}

TEST_F(Func, ClosureCounterStopsAt0xe0) {
  GcProto* pt = child(4);
  uint8_t flags = pt->flags;
  ASSERT_EQ(flags & 0xe0, 0) << "a fresh prototype has counted no closures";
  for (int i = 1; i <= 10; i++) {
    closure(4);
    uint32_t expected = (flags & 0x1f) + 0x20u * static_cast<uint32_t>(i < 7 ? i : 7);
    EXPECT_EQ(pt->flags, expected) << "after " << i << " closures";
  }
}

int upvalues_in_order(lua_State* L) {
  for (int i = 1; i <= 3; i++) lua_pushvalue(L, lua_upvalueindex(i));
  return 3;
}

// A C function is 24 bytes plus 8 per upvalue on i386; its native address makes it 8 bytes more on x86-64.
TEST_F(Func, CFunctionWithThreeUpvaluesSize) {
  const uint32_t size = KX_64 ? 56 : 48;
  lua_pushstring(L, "one");
  lua_pushnumber(L, 2);
  lua_pushboolean(L, 1);
  int top = lua_gettop(L);
  uint32_t before = G(L)->gc.total;
  lua_pushcclosure(L, upvalues_in_order, 3);
  EXPECT_EQ(G(L)->gc.total - before, size);
  EXPECT_EQ(lua_gettop(L), top - 2);  // the upvalues were popped
  GcFunc* fn = funcV(L->top - 1);
  EXPECT_EQ(fn->ffid, KX_FF_C);
  EXPECT_EQ(fn->upvalue_count, 3);
  EXPECT_EQ(kx_func_sizeC(3), size);
  EXPECT_TRUE(tv_isstr(&fn->c.upvalue[0]));
  EXPECT_TRUE(tv_istrue(&fn->c.upvalue[2]));
  ASSERT_EQ(lua_pcall(L, 0, 3, 0), 0);
  EXPECT_STREQ(lua_tostring(L, -3), "one");
  EXPECT_EQ(lua_tonumber(L, -2), 2);
  EXPECT_TRUE(lua_toboolean(L, -1));
}

TEST_F(Func, DeadThreadClosesItsUpvalues) {
  lua_State* L1 = lua_newthread(L);
  for (int i = 1; i <= 4; i++) lua_pushnumber(L1, i * 100);
  GcFunc* f = kx_func_newL_gc(L1, child(2), &chunk->l);
  setfuncV(L->top, f);
  kx_state_incr_top(L);
  lua_setfield(L, LUA_REGISTRYINDEX, "f");
  lua_pop(L, 1);  // the thread
  EXPECT_EQ(ring().size(), 2u);
  lua_gc(L, LUA_GCRESTART, 0);
  lua_gc(L, LUA_GCCOLLECT, 0);
  lua_gc(L, LUA_GCSTOP, 0);
  EXPECT_TRUE(ring().empty());
  EXPECT_EQ(f->l.uvptr[0]->closed, 1);
  EXPECT_EQ(numV(f->l.uvptr[0]->v), 100);
  EXPECT_EQ(numV(f->l.uvptr[1]->v), 200);
}

// Makes a closure whose n-th allocation (the closure itself being the first) fails.
struct FailingClosure {
  CountingAlloc* counter;
  GcProto* pt;
  GcFunc* parent;
  size_t fail_at;
  bool fresh_chunk;  // a chunk closure with its own closed upvalues, else one bound to the frame
};

int make_failing_closure(lua_State* L) {
  auto* fc = static_cast<FailingClosure*>(lua_touserdata(L, 1));
  fc->counter->fail_at = fc->counter->allocations + fc->fail_at;
  if (fc->fresh_chunk) kx_func_newL_empty(L, fc->pt, L->env);
  else kx_func_newL_gc(L, fc->pt, &fc->parent->l);
  return 0;
}

TEST_F(Func, ClosureWhoseUpvaluesRunOutOfMemoryIsFreedWhole) {
  // The closure is allocated, then its upvalues: when one of those fails, the closure is left on
  // the object list and must be freed with the size it was allocated with.
  for (bool fresh : {true, false}) {
    for (size_t n = 2; n <= 3; n++) {
      FailingClosure fc{&counter, child(2), chunk, n, fresh};
      EXPECT_EQ(lua_cpcall(L, make_failing_closure, &fc), LUA_ERRMEM);
      lua_pop(L, 1);
      counter.fail_at = 0;
      lua_gc(L, LUA_GCRESTART, 0);
      lua_gc(L, LUA_GCCOLLECT, 0);
      lua_gc(L, LUA_GCSTOP, 0);
      EXPECT_FALSE(counter.mismatch) << (fresh ? "chunk closure" : "frame closure") << ", allocation " << n;
    }
  }
}

}  // namespace
