// Instruction words and the descriptor table.
#include <gtest/gtest.h>

#include <cstring>

#include "bytecode/bc.h"
#include "core/state.h"

TEST(Bytecode, FieldPositions) {
  Instr i = bcins_abc(BC_ADDVV, 1, 2, 3);
  EXPECT_EQ(i, 0x02030100u | BC_ADDVV);  // B is the top byte, C bits 16-23
  EXPECT_EQ(bc_op(i), BC_ADDVV);
  EXPECT_EQ(bc_a(i), 1u);
  EXPECT_EQ(bc_b(i), 2u);
  EXPECT_EQ(bc_c(i), 3u);
  EXPECT_EQ(bc_d(i), 0x0203u);  // D overlays B and C
  setbc_b(&i, 0xff);
  setbc_c(&i, 0x7f);
  EXPECT_EQ(bc_d(i), 0xff7fu);
  EXPECT_EQ(bc_a(i), 1u);
  Instr k = bcins_ad(BC_KSHORT, 0, static_cast<uint16_t>(-1));
  EXPECT_EQ(bc_d(k), 0xffffu);
  EXPECT_EQ(static_cast<int16_t>(bc_d(k)), -1);
}

TEST(Bytecode, JumpBias) {
  Instr j = bcins_ad(BC_JMP, 0, KX_BCBIAS_J);
  EXPECT_EQ(bc_j(j), 0);  // to the next instruction
  setbc_j(&j, -1);
  EXPECT_EQ(bc_d(j), 0x7fffu);
  setbc_j(&j, 100);
  EXPECT_EQ(bc_j(j), 100);
}

TEST(Bytecode, NumberingAndNames) {
  EXPECT_EQ(BC__MAX, 104u);
  EXPECT_STREQ(kx_bc_names[BC_ISLT], "ISLT");
  EXPECT_STREQ(kx_bc_names[BC_JMP], "JMP");
  EXPECT_STREQ(kx_bc_names[89], "BNOT");
  EXPECT_STREQ(kx_bc_names[96], "FUNCF");
  EXPECT_STREQ(kx_bc_names[103], "FUNCCW");
}

TEST(Bytecode, Descriptors) {
  EXPECT_EQ(bcmode_a(BC_CAT), BCMdst);
  EXPECT_EQ(bcmode_b(BC_CAT), BCMrbase);
  EXPECT_EQ(bcmode_c(BC_CAT), BCMrbase);
  EXPECT_EQ(bcmode_mm(BC_CAT), uint32_t(MM_concat));
  EXPECT_EQ(bcmode_a(BC_KNIL), BCMbase);
  EXPECT_EQ(bcmode_d(BC_KNIL), BCMbase);
  EXPECT_TRUE(bcmode_hasd(BC_KNIL));
  EXPECT_EQ(bcmode_a(BC_TSETM), BCMbase);
  EXPECT_EQ(bcmode_d(BC_TSETM), BCMnum);
  EXPECT_EQ(bcmode_mm(BC_TSETM), uint32_t(MM_newindex));
  EXPECT_EQ(bcmode_d(BC_UCLO), BCMjump);
  EXPECT_EQ(bcmode_d(BC_KSHORT), BCMlits);
  EXPECT_EQ(bcmode_a(BC_USETV), BCMuv);
  for (uint32_t op : {BC_FNEW, BC_TNEW, BC_TDUP}) EXPECT_EQ(bcmode_mm(op), uint32_t(MM_gc)) << kx_bc_names[op];
  for (uint32_t op = BC_BNOT; op <= BC_BSAR; op++) EXPECT_EQ(bcmode_mm(op), KX_MM_NONE) << kx_bc_names[op];
  EXPECT_EQ(bcmode_b(BC_BAND), BCMvar);
  EXPECT_EQ(bcmode_b(BC_BNOT), BCMnone);
  // The raw descriptor word of ISLT: A var, B none, D var, metamethod lt.
  EXPECT_EQ(kx_bc_mode[BC_ISLT], BCMvar | (BCMvar << 7) | (MM_lt << 11));
}

TEST(Bytecode, Families) {
  EXPECT_EQ(bc_invert(BC_ISLT), uint32_t(BC_ISGE));
  EXPECT_EQ(bc_invert(BC_ISGT), uint32_t(BC_ISLE));
  EXPECT_EQ(bc_invert(BC_ISEQP), uint32_t(BC_ISNEP));
  EXPECT_EQ(bc_invert(BC_IST), uint32_t(BC_ISF));
  EXPECT_EQ(BC_ISTC + 2, BC_IST);
  EXPECT_EQ(BC_ISFC + 2, BC_ISF);
  for (uint32_t op = 0; op < 5; op++) {
    EXPECT_EQ(bcmode_mm(BC_ADDVN + op), bcmode_mm(BC_ADDNV + op));
    EXPECT_EQ(bcmode_mm(BC_ADDVN + op), bcmode_mm(BC_ADDVV + op));
    EXPECT_EQ(BC_ADDVN + op + 5, BC_ADDNV + op);
    EXPECT_EQ(BC_ADDVN + op + 10, BC_ADDVV + op);
  }
  EXPECT_EQ(84u + 6, uint32_t(BC_BAND));
  EXPECT_EQ(84u + 11, uint32_t(BC_BSAR));
  EXPECT_EQ(BC_FORL + 1, BC_IFORL);
  EXPECT_EQ(BC_LOOP + 2, BC_JLOOP);
}
