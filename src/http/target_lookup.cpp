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
#include "platform/net/socket_errors.h"

namespace {

// What the lookup thread and the waiting caller share. Both hold it, so a
// lookup that outlives the wait still writes to memory of its own.
struct PendingLookup {
    std::mutex lock;                       // guards the fields below
    std::condition_variable finished;      // signalled once done is set
    bool done = false;                     // the resolver has returned
    std::vector<SocketAddress> addresses;  // its addresses, in its order, no repeats
};

bool sameAddress(const SocketAddress& a, const SocketAddress& b) {
    return a.length == b.length && std::memcmp(&a.bytes, &b.bytes, a.length) == 0;
}

// The addresses of one family: IPv4 when the host has any, else IPv6. A name
// with both (localhost, often) is reached as it was before IPv6 was looked
// up, and one family keeps every client's connection alike.
std::vector<SocketAddress> oneFamily(std::vector<SocketAddress> addresses) {
    const auto isIpv4 = [](const SocketAddress& a) { return addressFamily(a) == AF_INET; };
    if (std::any_of(addresses.begin(), addresses.end(), isIpv4)) {
        std::erase_if(addresses, [&](const SocketAddress& a) { return !isIpv4(a); });
    }
    return addresses;
}

std::vector<SocketAddress> resolve(const std::string& host, const std::string& service,
                                   int family) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    std::vector<SocketAddress> addresses;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return addresses;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
        SocketAddress address;
        if (!copySocketAddress(entry->ai_addr, entry->ai_addrlen, address)) continue;
        const auto known = [&](const SocketAddress& seen) { return sameAddress(seen, address); };
        if (std::none_of(addresses.begin(), addresses.end(), known)) addresses.push_back(address);
    }
    freeaddrinfo(list);
    return oneFamily(std::move(addresses));
}

void resolveInto(std::shared_ptr<PendingLookup> pending, std::string host, std::string service,
                 int family) {
    std::vector<SocketAddress> addresses = resolve(host, service, family);
    {
        std::lock_guard guard(pending->lock);
        pending->addresses = std::move(addresses);
        pending->done = true;
    }
    pending->finished.notify_all();
}

std::string_view notFoundReason(int family) {
    if (family == AF_INET) return kHostLookupNoIpv4;
    if (family == AF_INET6) return kHostLookupNoIpv6;
    return kHostLookupNotFound;
}

// A connect to the Unix socket, at once: a path that is missing, or that no
// server listens on any more, would otherwise only show as every connect
// failing. A full queue still shows that a server is there.
bool unixSocketAnswers(const TestConfig& config) {
    const SocketAddress& address = config.targetAddresses.front();
    const SOCKET probe = ::socket(AF_UNIX, SOCK_STREAM, 0);
    int errorCode = 0;
    if (probe == INVALID_SOCKET || !makeNonBlocking(probe)) {
        errorCode = lastSocketErrorCode();
    } else if (connect(probe, asSockaddr(address), address.length) != 0 &&
               !lastSocketCallWouldBlock()) {
        errorCode = lastSocketErrorCode();
    }
    if (probe != INVALID_SOCKET) closesocket(probe);
    if (errorCode == 0) return true;
    const bool refused = socketFailureOf(errorCode) == SocketFailure::Refused;
    writeErrorLine(std::string(kUnixSocketFailedPrefix) + quotePath(config.unixSocketPath) +
                   std::string(refused ? kUnixSocketNoListener : kUnixSocketMissing));
    return false;
}

}  // namespace

LookupOutcome findTargetAddresses(TestConfig& config, std::int64_t limitNs) {
    if (!config.unixSocketPath.empty()) {
        config.targetAddresses.assign(1, SocketAddress{});
        const bool made = unixSocketAddress(config.unixSocketPath, config.targetAddresses.front());
        if (!made) config.targetAddresses.clear();
        return made ? LookupOutcome::Found : LookupOutcome::NotFound;
    }
    const std::string service = std::to_string(config.port);
    auto pending = std::make_shared<PendingLookup>();
    try {
        // getaddrinfo takes no time limit: it waits on its thread, the caller does not.
        std::thread(resolveInto, pending, config.host, service, config.lookupFamily).detach();
    } catch (const std::system_error&) {
        resolveInto(pending, config.host, service,
                    config.lookupFamily);  // no thread to spare: wait here
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
    if (outcome == LookupOutcome::Found) {
        return config.unixSocketPath.empty() || unixSocketAnswers(config);
    }
    writeErrorLine(std::string(kHostLookupFailedPrefix) + quoteForMessage(config.host) +
                   std::string(outcome == LookupOutcome::TimedOut
                                   ? kHostLookupTimedOut
                                   : notFoundReason(config.lookupFamily)));
    return false;
}
