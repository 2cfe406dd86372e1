// getaddrinfo for pool workers. An address written as digits is read at once;
// a name is looked up on a thread of its own while the asking fiber is parked,
// as a thread per client would have done it.
#include "platform/os/system_api.h"

#include <system_error>
#include <thread>

#include "platform/fibers/fiber_scheduler.h"

#undef getaddrinfo

namespace {

struct Lookup {
    const char* node;       // name to look up
    const char* service;    // port or service name
    const addrinfo* hints;  // the caller's hints, or null
    addrinfo** result;      // where the list goes
    int status;             // getaddrinfo's result
    Fiber* waiter;          // fiber parked until the lookup is done
};

void lookUpAndResume(Lookup* lookup) {
    lookup->status = getaddrinfo(lookup->node, lookup->service, lookup->hints, lookup->result);
    // The fiber's frame holds *lookup: nothing here may touch it after this.
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
    if (node != nullptr && readAsNumericAddress(node, service, hints, result)) return 0;
    Lookup lookup{node, service, hints, result, EAI_SYSTEM, runningFiber()};
    try {
        std::thread(lookUpAndResume, &lookup).detach();
    } catch (const std::system_error&) {
        // No thread to spare: look up here, holding up this worker meanwhile.
        return getaddrinfo(node, service, hints, result);
    }
    parkUntilResumed();
    return lookup.status;
}
