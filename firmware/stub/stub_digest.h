/* The 64-bit digest the fast stub computes over flash regions, so that the
 * program can tell whether a sector already holds an image's bytes without
 * reading it back over the wire. The program computes the same digest over
 * the image (src/protocol/uDigest, written apart from this one on purpose).
 *
 * What it must do: a false "equal" silently keeps old data in flash, so two
 * different regions of real, non-adversarial data (machine code, tables,
 * runs of 0xFF after an erase, zeros, the same data shifted by a few bytes,
 * an old build beside a new one) must practically never digest alike; and it
 * must cost less per byte on the chip's CPU at the crystal clock (40 MHz,
 * 26 MHz on some boards) than reading the byte from the flash does, so that a
 * digest runs at the flash's read speed. No cryptographic strength is needed:
 * nobody crafts flash contents to fool a flasher.
 *
 * How: the region is read as 32-bit little-endian words (a last partial word
 * padded with zeros) and fed to two independent 32-bit lanes:
 *     a = rotl(a + w * K1, 13) * K2
 *     b = rotl(b ^ (w * K3), 17) * K4
 * with odd K (the fractional parts of the square roots of 2, 3, 5 and 7, made
 * odd). Each step is a bijection of the lane for a fixed word and of the word
 * for a fixed lane, so two regions that differ in a single word always leave
 * both lanes different (the difference can never be cancelled by the equal
 * words after it): any one-word change, the commonest difference between two
 * builds' sectors, is detected with certainty. For regions that differ in
 * more words both lanes must end equal by chance, about 2^-64 for lanes that
 * behave like random functions. The multiplications carry every bit upwards
 * and the rotations bring the high bits back down, which is what plain
 * multiplicative or additive hashes lack: their low output bits depend only
 * on the low input bits (a change confined to the top bits of the words
 * survives in one output bit), sums ignore the order of words, and runs or
 * periodic data (0xFF, zeros, repeated tables) make them collide easily.
 * CRCs would be as good on such data but cost a table lookup per byte, about
 * three times the two lanes' four multiplications per word. Finally the
 * length is mixed in and the pair (a, b) goes through a Feistel step with a
 * bijective xor-shift-multiply mix on each side, which keeps all 64 bits.
 *
 * Cost: four multiplications, two rotations, an add, an xor and a load per
 * word, about 3 to 4 cycles per byte; reading a byte from the flash at the
 * fast stub's 40 MHz SPI clock costs 8 bus cycles plus the command overhead,
 * and the read of the next 64 bytes runs while these are digested. */
#ifndef QUORVEX_STUB_DIGEST_H
#define QUORVEX_STUB_DIGEST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct stub_digest {
  uint32_t a, b, len;
};

void stub_digest_init(struct stub_digest* d);
/* n whole words; the region's length goes up by 4 n. */
void stub_digest_words(struct stub_digest* d, const uint32_t* w, uint32_t n);
/* A last partial word of k bytes (1 to 3), already padded with zeros. */
void stub_digest_tail(struct stub_digest* d, uint32_t w, uint32_t k);
/* The 64 bits: out[0] the low word, out[1] the high word (sent lowest byte first). */
void stub_digest_final(const struct stub_digest* d, uint32_t out[2]);

#ifdef __cplusplus
}
#endif

#endif
