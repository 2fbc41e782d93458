// The BLAKE2s rounds of the nonce search, from round 1's fourth column G to the
// last round, as plain preprocessor macros that C++ and OpenCL C both read: the
// host header and the OpenCL kernels expand this one text.
//
// Whoever includes it names the working words v0..v15 and the message words
// m0..m15 (m8..m15 are zero: the last block holds 30 header bytes), declares
// the word type NS_WORD and the right rotations NS_ROTR16/12/8/7, and may
// replace NS_ADD (two-word add) and NS_ADD3 (three-word add) before including.
#ifndef NONCESIEVE_BLAKE2S_ROUNDS_H
#define NONCESIEVE_BLAKE2S_ROUNDS_H

#ifndef NS_ADD
#define NS_ADD(a, b) ((a) + (b))
#endif
#ifndef NS_ADD3
#define NS_ADD3(a, b, x) ((a) + (b) + (x))
#endif

// The two halves of G, each mixing in one message word.
#define NS_G_FIRST(a, b, c, d, x) \
  a = NS_ADD3(a, b, x);           \
  d = NS_ROTR16(d ^ a);           \
  c = NS_ADD(c, d);               \
  b = NS_ROTR12(b ^ c)
#define NS_G_SECOND_TO_D(a, b, c, d, y) \
  a = NS_ADD3(a, b, y);                 \
  d = NS_ROTR8(d ^ a)
#define NS_G_SECOND(a, b, c, d, y)  \
  NS_G_SECOND_TO_D(a, b, c, d, y); \
  c = NS_ADD(c, d);                \
  b = NS_ROTR7(b ^ c)
#define NS_G(a, b, c, d, x, y)  \
  do {                          \
    NS_G_FIRST(a, b, c, d, x);  \
    NS_G_SECOND(a, b, c, d, y); \
  } while (0)

// Message word order of rounds 2 to 10: SIGMA rows 1 to 9 of RFC 7693.
#define NS_SIGMA_1 (14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3)
#define NS_SIGMA_2 (11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4)
#define NS_SIGMA_3 (7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8)
#define NS_SIGMA_4 (9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13)
#define NS_SIGMA_5 (2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9)
#define NS_SIGMA_6 (12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11)
#define NS_SIGMA_7 (13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10)
#define NS_SIGMA_8 (6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5)
#define NS_SIGMA_9 (10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0)

// Applies a macro to a parenthesised row.
#define NS_WITH_ROW(macro, row) macro row

#define NS_ROUND_OF_ROW(s0, s1, s2, s3, s4, s5, s6, s7, s8, s9, s10, s11, s12, s13, s14, s15) \
  do {                                                                                     \
    NS_G(v0, v4, v8, v12, m##s0, m##s1);                                                   \
    NS_G(v1, v5, v9, v13, m##s2, m##s3);                                                   \
    NS_G(v2, v6, v10, v14, m##s4, m##s5);                                                  \
    NS_G(v3, v7, v11, v15, m##s6, m##s7);                                                  \
    NS_G(v0, v5, v10, v15, m##s8, m##s9);                                                  \
    NS_G(v1, v6, v11, v12, m##s10, m##s11);                                                \
    NS_G(v2, v7, v8, v13, m##s12, m##s13);                                                 \
    NS_G(v3, v4, v9, v14, m##s14, m##s15);                                                 \
  } while (0)

// Round 1 from the column G that takes the nonce words (m6, m7). With the
// basic block the diagonal step is whole; the extended block has done
// v0 += v5, v1 += v6 and v12's first rotation on the host, so its first two
// G's start later.
#define NS_ROUND1_BASIC                 \
  do {                                  \
    NS_G(v3, v7, v11, v15, m6, m7);     \
    NS_G(v0, v5, v10, v15, m8, m9);     \
    NS_G(v1, v6, v11, v12, m10, m11);   \
    NS_G(v2, v7, v8, v13, m12, m13);    \
    NS_G(v3, v4, v9, v14, m14, m15);    \
  } while (0)
#define NS_ROUND1_EXTENDED                \
  do {                                    \
    NS_G(v3, v7, v11, v15, m6, m7);       \
    v15 = NS_ROTR16(v15 ^ v0);            \
    v10 = NS_ADD(v10, v15);               \
    v5 = NS_ROTR12(v5 ^ v10);             \
    NS_G_SECOND(v0, v5, v10, v15, m9);    \
    v11 = NS_ADD(v11, v12);               \
    v6 = NS_ROTR12(v6 ^ v11);             \
    NS_G_SECOND(v1, v6, v11, v12, m11);   \
    NS_G(v2, v7, v8, v13, m12, m13);      \
    NS_G(v3, v4, v9, v14, m14, m15);      \
  } while (0)

// Rounds 2 to 9.
#define NS_ROUNDS_2_TO_9                       \
  do {                                         \
    NS_WITH_ROW(NS_ROUND_OF_ROW, NS_SIGMA_1);  \
    NS_WITH_ROW(NS_ROUND_OF_ROW, NS_SIGMA_2);  \
    NS_WITH_ROW(NS_ROUND_OF_ROW, NS_SIGMA_3);  \
    NS_WITH_ROW(NS_ROUND_OF_ROW, NS_SIGMA_4);  \
    NS_WITH_ROW(NS_ROUND_OF_ROW, NS_SIGMA_5);  \
    NS_WITH_ROW(NS_ROUND_OF_ROW, NS_SIGMA_6);  \
    NS_WITH_ROW(NS_ROUND_OF_ROW, NS_SIGMA_7);  \
    NS_WITH_ROW(NS_ROUND_OF_ROW, NS_SIGMA_8);  \
  } while (0)

// Round 10 in two parts. Hash word 7 is v7 ^ v15 ^ SS[7] and needs only the
// third diagonal G and the first diagonal G up to its d, so the first part
// does those (and all it takes of the column step) and leaves in ns_c8 and
// ns_c10 the two words the rest still needs; the second part, run only when
// word 7 leaves the nonce a chance, finishes v6 and v14 for hash word 6.
// The first part declares ns_c8 and ns_c10 in the enclosing scope.
#define NS_LAST_ROUND_TO_H7_OF_ROW(s0, s1, s2, s3, s4, s5, s6, s7, s8, s9, s10, s11, s12, s13, \
                                   s14, s15)                                                 \
  NS_G_FIRST(v0, v4, v8, v12, m##s0);                                                        \
  NS_G_SECOND_TO_D(v0, v4, v8, v12, m##s1);                                                  \
  v8 = NS_ADD(v8, v12);                                                                      \
  NS_G(v1, v5, v9, v13, m##s2, m##s3);                                                       \
  NS_G_FIRST(v2, v6, v10, v14, m##s4);                                                       \
  NS_G_SECOND_TO_D(v2, v6, v10, v14, m##s5);                                                 \
  v10 = NS_ADD(v10, v14);                                                                    \
  NS_G(v3, v7, v11, v15, m##s6, m##s7);                                                      \
  const NS_WORD ns_c8 = v8;                                                                  \
  const NS_WORD ns_c10 = v10;                                                                \
  NS_G_FIRST(v0, v5, v10, v15, m##s8);                                                       \
  NS_G_SECOND_TO_D(v0, v5, v10, v15, m##s9);                                                 \
  NS_G(v2, v7, v8, v13, m##s12, m##s13)
#define NS_LAST_ROUND_TO_H6_OF_ROW(s0, s1, s2, s3, s4, s5, s6, s7, s8, s9, s10, s11, s12, s13, \
                                   s14, s15)                                                 \
  do {                                                                                       \
    v4 = NS_ROTR7(v4 ^ ns_c8);                                                               \
    v6 = NS_ROTR7(v6 ^ ns_c10);                                                              \
    NS_G(v1, v6, v11, v12, m##s10, m##s11);                                                  \
    NS_G_FIRST(v3, v4, v9, v14, m##s14);                                                     \
    NS_G_SECOND_TO_D(v3, v4, v9, v14, m##s15);                                               \
  } while (0)
#define NS_LAST_ROUND_TO_H7 NS_WITH_ROW(NS_LAST_ROUND_TO_H7_OF_ROW, NS_SIGMA_9)
#define NS_LAST_ROUND_TO_H6 NS_WITH_ROW(NS_LAST_ROUND_TO_H6_OF_ROW, NS_SIGMA_9)

#endif
