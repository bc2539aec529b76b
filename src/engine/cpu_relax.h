// A hint to the processor inside a loop that waits for another thread.
#pragma once

namespace zelkor {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace zelkor
