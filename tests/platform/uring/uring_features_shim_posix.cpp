// Loaded with LD_PRELOAD into a velkor under test: every io_uring ring it sets
// up reports fewer features than the kernel offers, as an older kernel would.
// VELKOR_SHIM_CLEAR_FEATURES holds the IORING_FEAT_ bits to clear, in decimal.
#include <dlfcn.h>

#include <cstdlib>
#include <liburing.h>

extern "C" int io_uring_queue_init_params(unsigned entries, io_uring* ring,
                                          io_uring_params* params) {
    using Init = int (*)(unsigned, io_uring*, io_uring_params*);
    static const auto real = reinterpret_cast<Init>(dlsym(RTLD_NEXT, "io_uring_queue_init_params"));
    const int result = real(entries, ring, params);
    const char* cleared = std::getenv("VELKOR_SHIM_CLEAR_FEATURES");
    if (result == 0 && cleared != nullptr) {
        params->features &= ~static_cast<unsigned>(std::strtoul(cleared, nullptr, 10));
    }
    return result;
}
