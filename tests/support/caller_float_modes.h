// Floating-point modes a caller may leave set when it calls the welder, and a way to make a call
// under them and see what the call leaves behind.
#ifndef VERTEX_WELD_TESTS_CALLER_FLOAT_MODES_H
#define VERTEX_WELD_TESTS_CALLER_FLOAT_MODES_H

#include <fpu_control.h>

#include <stdint.h>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

struct CallerFloatModes {
    const char* name;
    fpu_control_t x87Control;
    uint32_t mxcsr; // ignored where the code is built without SSE
};

// The x87 control word: exception masks 0x3f, precision 0x300 (extended), rounding 0xc00.
// MXCSR: exception masks 0x1f80, rounding 0x6000, flush-to-zero 0x8000, denormals-are-zero 0x40.
const fpu_control_t kX87Default = 0x037f;
const uint32_t kMxcsrDefault = 0x1f80;

const CallerFloatModes kCallerFloatModes[] = {
#if defined(__SSE__)
    {"flush to zero", kX87Default, kMxcsrDefault | 0x8000},
    {"denormals are zero", kX87Default, kMxcsrDefault | 0x0040},
    {"flush to zero and denormals are zero", kX87Default, kMxcsrDefault | 0x8040},
    {"SSE rounding down", kX87Default, kMxcsrDefault | 0x2000},
    {"SSE rounding toward zero", kX87Default, kMxcsrDefault | 0x6000},
    {"SSE invalid-operation trap", kX87Default, kMxcsrDefault & ~0x0080u},
#endif
    {"x87 single precision", (kX87Default & ~0x300) | 0x000, kMxcsrDefault},
    {"x87 double precision", (kX87Default & ~0x300) | 0x200, kMxcsrDefault},
    {"x87 rounding up", kX87Default | 0x800, kMxcsrDefault},
    {"x87 rounding toward zero", kX87Default | 0xc00, kMxcsrDefault},
    {"x87 invalid-operation trap", kX87Default & ~0x01, kMxcsrDefault},
    {"everything at once", (kX87Default & ~0x301) | 0x400, (kMxcsrDefault & ~0x0080u) | 0xa040},
};

struct ModesAfterCall {
    fpu_control_t x87Control;
    uint32_t mxcsr;
    uint32_t exceptionFlags; // raised and left behind, x87 and SSE together
};

// Calls `call` with `modes` in force, with no exception flag raised beforehand, and puts the
// test's own modes back afterwards.
template <typename Call> ModesAfterCall CallInModes(const CallerFloatModes& modes, Call call) {
    fpu_control_t savedX87;
    _FPU_GETCW(savedX87);
    __asm__ volatile("fnclex");
    fpu_control_t x87 = modes.x87Control;
    _FPU_SETCW(x87);
#if defined(__SSE__)
    const uint32_t savedMxcsr = _mm_getcsr();
    _mm_setcsr(modes.mxcsr);
#endif
    call();
    ModesAfterCall after{};
#if defined(__SSE__)
    after.mxcsr = _mm_getcsr();
    _mm_setcsr(savedMxcsr);
#else
    after.mxcsr = modes.mxcsr;
#endif
    uint16_t status;
    __asm__ volatile("fnstsw %0" : "=m"(status));
    _FPU_GETCW(after.x87Control);
    __asm__ volatile("fnclex");
    _FPU_SETCW(savedX87);
    after.exceptionFlags = (status | after.mxcsr) & 0x3f;
    after.mxcsr &= ~0x3fu;
    return after;
}

// Whether a call gave the caller's modes back as they were, with no exception flag left raised.
inline bool GaveModesBack(const ModesAfterCall& after, const CallerFloatModes& modes) {
    return after.x87Control == modes.x87Control && after.mxcsr == modes.mxcsr &&
           after.exceptionFlags == 0;
}

#endif
