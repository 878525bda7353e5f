/* Preloaded into every emulated program by .ci/arm64.sh for its second run:
 * the emulated CPU then reports no CRC32 instructions (HWCAP_CRC32 cleared
 * from AT_HWCAP), as an ARMv8.0 CPU without them does. QEMU has no CPU model
 * without them, and kuvo learns of them from getauxval alone. */
#include <sys/auxv.h>

unsigned long __getauxval(unsigned long type);

unsigned long getauxval(unsigned long type) {
  unsigned long value = __getauxval(type);
  return type == AT_HWCAP ? value & ~(unsigned long)HWCAP_CRC32 : value;
}
