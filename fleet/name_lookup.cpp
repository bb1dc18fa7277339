// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/name_lookup.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<std::size_t> g_running{0};

std::mutex& resolverLock() {
    static std::mutex lock;
    return lock;
}
// Never destroyed: a lookup left to its thread may still hold a copy of a test's resolver, and
// the program's exit must not free what it runs (the program _exits, but a test binary ends
// normally after setting the resolver back).
NameResolver& resolver() {
    static auto* r = new NameResolver();
    return *r;
}

NameAnswer systemLookup(const std::string& host) {
    NameAnswer answer;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    answer.error = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (answer.error == EAI_SYSTEM && errno == 0)
        answer.error = EAI_FAIL;
    for (addrinfo* a = list; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* where =
            a->ai_family == AF_INET
                ? static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr)
                : static_cast<const void*>(
                      &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
        if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) &&
            ::inet_ntop(a->ai_family, where, text, sizeof text)) {
            const std::string address = text;
            bool seen = false;
            for (const std::string& s : answer.addresses)
                seen = seen || s == address;
            if (!seen)
                answer.addresses.push_back(address);
        }
    }
    if (list)
        ::freeaddrinfo(list);
    if (answer.error == 0 && answer.addresses.empty())
        answer.error = EAI_NODATA;
    return answer;
}

// What the lookup's thread and its waiter share; the last one to let go frees it.
struct Lookup {
    int doneFd = -1;
    std::mutex mutex;
    bool done = false;
    NameAnswer answer;
    Lookup() : doneFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Lookup() {
        if (doneFd >= 0)
            ::close(doneFd);
    }
};

} // namespace

void setNameResolver(NameResolver r) {
    std::lock_guard<std::mutex> hold(resolverLock());
    resolver() = std::move(r);
}

std::size_t lookupsRunning() {
    return g_running.load();
}

int endProcessIfLookupsLeft(int status) {
    if (lookupsRunning() == 0)
        return status;
    std::fflush(nullptr);
    ::_exit(status);
}

bool nameUnknown(int error) {
    return error == EAI_NONAME
#ifdef EAI_NODATA
           || error == EAI_NODATA
#endif
        ;
}

LookupEnd lookUpName(const std::string& host, Clock::time_point deadline, int stopFd,
                     NameAnswer& answer) {
    auto lookup = std::make_shared<Lookup>();
    if (lookup->doneFd < 0) {
        answer.error = EAI_MEMORY;
        return LookupEnd::Answered;
    }
    NameResolver r;
    {
        std::lock_guard<std::mutex> hold(resolverLock());
        r = resolver();
    }
    ++g_running;
    try {
        std::thread([lookup, host, r = std::move(r)] {
            NameAnswer a = r ? r(host) : systemLookup(host);
            {
                std::lock_guard<std::mutex> hold(lookup->mutex);
                lookup->answer = std::move(a);
                lookup->done = true;
            }
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(lookup->doneFd, &one, sizeof one);
            --g_running;
        }).detach();
    } catch (const std::system_error&) {
        --g_running;
        answer.error = EAI_AGAIN;
        return LookupEnd::Answered;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(lookup->mutex);
            if (lookup->done) {
                answer = lookup->answer;
                return LookupEnd::Answered;
            }
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return LookupEnd::TimedOut;
        pollfd fds[2] = {{lookup->doneFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int n = ::poll(fds, stopFd >= 0 ? 2 : 1, static_cast<int>(left.count()) + 1);
        if (n < 0 && errno != EINTR)
            return LookupEnd::TimedOut;
        if (n > 0 && stopFd >= 0 && (fds[1].revents & POLLIN))
            return LookupEnd::Stopped;
    }
}

} // namespace fleet
