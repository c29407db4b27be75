// The weld's results are those of IEEE single precision and x87 extended precision, rounding to
// nearest. A caller may have left other modes set: flush-to-zero and denormals-are-zero (any
// program linked with -ffast-math starts with them), another rounding direction, or an x87 unit
// set to single or double precision (as some graphics runtimes leave it). Such modes change
// comparisons and midpoints, so a call sets the modes it needs and gives the caller's back.
//
// Plain instructions, not <fenv.h>: the library links against nothing but the allocator, block
// copies and the assertion handler.
#ifndef VERTEX_WELD_FLOAT_MODES_H
#define VERTEX_WELD_FLOAT_MODES_H

#include <stdint.h>

struct FloatModes {
    // The x87 environment: control word, status flags, tags and the last instruction's pointers
    // (28 bytes). Restoring it whole also clears the flags the weld raised, which would otherwise
    // trap in the caller's next x87 instruction wherever the caller unmasked them.
    uint32_t aiX87Environment[7];
#if defined(__SSE__)
    uint32_t iMxcsr;
#endif
};

// Every exception masked, 64-bit significands, rounding to nearest.
static const uint16_t kX87WeldControl = 0x037f;
// Every exception masked, 53-bit significands, rounding to nearest: double arithmetic on the x87
// unit then rounds as SSE2's does, for the values a float vertex can produce.
static const uint16_t kX87DoubleControl = 0x027f;
// Every exception masked, rounding to nearest, denormals neither flushed nor read as zero.
static const uint32_t kMxcsrWeld = 0x1f80;

// The x87 stack is empty at a call boundary, and the clobbers tell the compiler so around these.
#define VERTEX_WELD_X87_CLOBBERS "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)"

static inline void SetFloatModes(FloatModes* pSaved, uint16_t iX87Control) {
    __asm__ volatile("fnstenv %0\n\tfldcw %1"
                     : "=m"(pSaved->aiX87Environment)
                     : "m"(iX87Control)
                     : "memory", VERTEX_WELD_X87_CLOBBERS);
#if defined(__SSE__)
    __asm__ volatile("stmxcsr %0\n\tldmxcsr %1"
                     : "=m"(pSaved->iMxcsr)
                     : "m"(kMxcsrWeld)
                     : "memory");
#endif
}

static inline void SetWeldFloatModes(FloatModes* pSaved) {
    SetFloatModes(pSaved, kX87WeldControl);
}

static inline void RestoreFloatModes(const FloatModes* pSaved) {
#if defined(__SSE__)
    __asm__ volatile("ldmxcsr %0" : : "m"(pSaved->iMxcsr) : "memory");
#endif
    __asm__ volatile("fldenv %0"
                     :
                     : "m"(pSaved->aiX87Environment)
                     : "memory", VERTEX_WELD_X87_CLOBBERS);
}

#undef VERTEX_WELD_X87_CLOBBERS

#endif
