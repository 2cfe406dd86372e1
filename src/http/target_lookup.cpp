#include "http/target_lookup.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "config/messages.h"

namespace {

// What the lookup thread and the waiting caller share. Both hold it, so a
// lookup that outlives the wait still writes to memory of its own.
struct PendingLookup {
    std::mutex lock;                     // guards the fields below
    std::condition_variable finished;    // signalled once done is set
    bool done = false;                   // the resolver has returned
    std::vector<sockaddr_in> addresses;  // its IPv4 addresses, in its order, no repeats
};

bool sameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

std::vector<sockaddr_in> resolve(const std::string& host, const std::string& service) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    std::vector<sockaddr_in> addresses;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return addresses;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in)) continue;
        sockaddr_in address{};
        std::memcpy(&address, entry->ai_addr, sizeof(address));
        const auto known = [&](const sockaddr_in& seen) { return sameAddress(seen, address); };
        if (std::none_of(addresses.begin(), addresses.end(), known)) addresses.push_back(address);
    }
    freeaddrinfo(list);
    return addresses;
}

void resolveInto(std::shared_ptr<PendingLookup> pending, std::string host, std::string service) {
    std::vector<sockaddr_in> addresses = resolve(host, service);
    {
        std::lock_guard guard(pending->lock);
        pending->addresses = std::move(addresses);
        pending->done = true;
    }
    pending->finished.notify_all();
}

}  // namespace

LookupOutcome findTargetAddresses(TestConfig& config, std::int64_t limitNs) {
    const std::string service = std::to_string(config.port);
    auto pending = std::make_shared<PendingLookup>();
    try {
        // getaddrinfo takes no time limit: it waits on its thread, the caller does not.
        std::thread(resolveInto, pending, config.host, service).detach();
    } catch (const std::system_error&) {
        resolveInto(pending, config.host, service);  // no thread to spare: wait here
    }
    std::unique_lock lock(pending->lock);
    if (!pending->finished.wait_for(lock, std::chrono::nanoseconds(limitNs),
                                    [&] { return pending->done; })) {
        return LookupOutcome::TimedOut;
    }
    config.targetAddresses = pending->addresses;
    return config.targetAddresses.empty() ? LookupOutcome::NotFound : LookupOutcome::Found;
}

bool lookUpTarget(TestConfig& config, std::int64_t limitNs) {
    const LookupOutcome outcome = findTargetAddresses(config, limitNs);
    if (outcome == LookupOutcome::Found) return true;
    writeErrorLine(std::string(kHostLookupFailedPrefix) + quoteForMessage(config.host) +
                   std::string(outcome == LookupOutcome::TimedOut ? kHostLookupTimedOut
                                                                  : kHostLookupNotFound));
    return false;
}
