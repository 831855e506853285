/* The instruction set that a kernel source is compiled for.
 *
 * The build compiles every kernel source (forward_kernels.cpp,
 * inverse_kernels.cpp, colour_kernels.cpp) once for each set, defining one of
 * DCTLAB_KERNELS_AVX512, DCTLAB_KERNELS_AVX2 and DCTLAB_KERNELS_PORTABLE;
 * the code of each set lands in its own namespace, DCTLAB_KERNEL_SET, with
 * KERNEL naming the function attribute that selects its instructions. The
 * attribute, not a compiler flag, so that nothing outside the kernels is
 * compiled for an instruction set the processor may lack. Nothing may depend
 * on that choice but speed: the lanes of a vector each do what one scalar
 * does, in the same order, and -ffp-contract=off keeps every product and sum
 * rounded on its own. */
#ifndef DCTLAB_IMGCODEC_KERNEL_SET_H
#define DCTLAB_IMGCODEC_KERNEL_SET_H

#if defined(DCTLAB_KERNELS_AVX512)
#define DCTLAB_KERNEL_SET avx512
#define KERNEL __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi")))
#define KERNEL_AVX512BW 1
#define KERNEL_PSHUFB 1
#elif defined(DCTLAB_KERNELS_AVX2)
#define DCTLAB_KERNEL_SET avx2
#define KERNEL __attribute__((target("avx2")))
#define KERNEL_AVX2 1
#define KERNEL_PSHUFB 1
#elif defined(DCTLAB_KERNELS_PORTABLE)
#define DCTLAB_KERNEL_SET portable
#define KERNEL
#else
#error "a kernel source is compiled for one of the kernel sets (imgcodec/CMakeLists.txt)"
#endif

#ifdef KERNEL_PSHUFB
#if !defined(__x86_64__) || !(defined(__GNUC__) || defined(__clang__))
#error "the x86 kernel sets need x86-64 and GCC or clang"
#endif
#include <immintrin.h>
#endif

#define INLINE KERNEL static inline __attribute__((always_inline))

/* Loops of the kernels that the compiler should unroll in full. Not in
 * sanitizer builds: there every access of the unrolled code carries its
 * checks, the kernels then take minutes to compile, and their speed does not
 * matter. */
#if defined(__SANITIZE_ADDRESS__)
#define KERNEL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KERNEL_SANITIZED 1
#endif
#endif
#ifdef KERNEL_SANITIZED
#define UNROLL
#else
#define UNROLL _Pragma("GCC unroll 8")
#endif

#endif
