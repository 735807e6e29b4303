// The one place that decides which kernel runs.
#include "kernels/kernel.h"

#include <atomic>
#include <cstring>

namespace render {

namespace {

const Kernel scalar_kernel = {"scalar", {}, {}, nullptr};

struct Entry {
    const char* name;
    const Kernel& (*table)();
    bool (*supported)();
};

const Kernel& scalar_table() { return scalar_kernel; }
bool always() { return true; }

#if defined(AMBRISE_X86_KERNELS)
bool has_avx2() { return __builtin_cpu_supports("avx2"); }
bool has_avx512() { return has_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"); }
#endif

// Best last.
constexpr Entry kernels[] = {
    {"scalar", scalar_table, always},
#if defined(AMBRISE_X86_KERNELS)
    {"avx2", avx2_kernel, has_avx2},
    {"avx512", avx512_kernel, has_avx512},
#endif
};

const Entry* find(const char* name) {
    for (const Entry& e : kernels)
        if (std::strcmp(e.name, name) == 0) return &e;
    return nullptr;
}

const Kernel& best() {
    for (auto e = std::end(kernels); e != std::begin(kernels);)
        if ((--e)->supported()) return e->table();
    return scalar_kernel;
}

std::atomic<const Kernel*> chosen{nullptr};

}  // namespace

const Kernel& kernel() {
    const Kernel* k = chosen.load(std::memory_order_relaxed);
    if (__builtin_expect(k != nullptr, 1)) return *k;
    k = &best();
    chosen.store(k, std::memory_order_relaxed);
    return *k;
}

bool kernel_available(const char* name) {
    const Entry* e = find(name);
    return e && e->supported();
}

bool choose_kernel(const char* name, std::string& message) {
    if (!name || !*name) {
        chosen.store(&best(), std::memory_order_relaxed);
        return true;
    }
    const Entry* e = find(name);
    if (!e) {
        message = std::string("AMBRISE_KERNEL=") + name + " is not a kernel: scalar, avx2 or avx512";
        return false;
    }
    if (!e->supported()) {
        message = std::string("AMBRISE_KERNEL=") + name + ": this processor cannot run the " + name + " kernel";
        return false;
    }
    chosen.store(&e->table(), std::memory_order_relaxed);
    return true;
}

}  // namespace render
