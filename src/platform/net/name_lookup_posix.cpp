// getaddrinfo for pool workers. An address written as digits is read at once;
// a name is looked up on a thread of its own while the asking fiber is parked,
// as a thread per client would have done it.
#include "platform/os/system_api.h"

#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "platform/fibers/fiber_scheduler.h"

#undef getaddrinfo

namespace {

// Kept off the asking fiber's stack, which another fiber may be using while
// this one is parked: the lookup's thread writes only here.
struct Lookup {
    std::string node;            // name to look up
    std::string service;         // port or service name
    bool hasService = false;     // a service was given
    addrinfo hints{};            // the caller's hints
    bool hasHints = false;       // hints were given
    addrinfo* result = nullptr;  // the list found
    int status = EAI_SYSTEM;     // getaddrinfo's result
    Fiber* waiter = nullptr;     // fiber parked until the lookup is done
};

void lookUpAndResume(Lookup* lookup) {
    lookup->status =
        getaddrinfo(lookup->node.c_str(), lookup->hasService ? lookup->service.c_str() : nullptr,
                    lookup->hasHints ? &lookup->hints : nullptr, &lookup->result);
    // The fiber owns *lookup again once resumed: nothing here may touch it after this.
    resumeFiber(lookup->waiter);
}

bool readAsNumericAddress(const char* node, const char* service, const addrinfo* hints,
                          addrinfo** result) {
    addrinfo numericHints = hints != nullptr ? *hints : addrinfo{};
    numericHints.ai_flags |= AI_NUMERICHOST;
    return getaddrinfo(node, service, &numericHints, result) == 0;
}

}  // namespace

int lookUpAddress(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
    if (!onFiber()) return getaddrinfo(node, service, hints, result);
    // No name: the local addresses, which need no lookup.
    if (node == nullptr) return getaddrinfo(node, service, hints, result);
    if (readAsNumericAddress(node, service, hints, result)) return 0;
    std::unique_ptr<Lookup> lookup;
    try {
        lookup = std::make_unique<Lookup>();
        lookup->node = node;
        lookup->hasService = service != nullptr;
        if (service != nullptr) lookup->service = service;
        lookup->hasHints = hints != nullptr;
        if (hints != nullptr) lookup->hints = *hints;
        lookup->waiter = runningFiber();
        std::thread(lookUpAndResume, lookup.get()).detach();
    } catch (const std::exception&) {
        // No memory or thread to spare: look up here, holding up this worker meanwhile.
        return getaddrinfo(node, service, hints, result);
    }
    parkUntilResumed();
    *result = lookup->result;
    return lookup->status;
}
