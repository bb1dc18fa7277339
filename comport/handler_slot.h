// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An event handler slot: a routine and the object it runs on. Two handlers are the same when
// their routines are the same, whatever their targets: assigning the routine already in a
// slot with another target leaves the slot as it is (and the event thread untouched).
//
// A handler is copyable, so a component that hooks a slot (the activity indicator) can read
// the handler in place, keep it, install its own and call the kept one from there.

#include <array>
#include <cstddef>
#include <cstring>
#include <functional>
#include <typeinfo>
#include <utility>

template <typename... Args> class THandler {
public:
    THandler() = default;
    THandler(std::nullptr_t) {}

    // A member function of `target`; the routine is the identity.
    template <typename C, typename M>
    THandler(C* target, void (M::*routine)(Args...))
        : m_call(
              [target, routine](Args... args) { (target->*routine)(std::forward<Args>(args)...); }),
          m_target(target) {
        setKey(typeid(routine), &routine, sizeof routine);
    }

    // A plain function; the function is the identity.
    THandler(void (*function)(Args...)) {
        if (function == nullptr)
            return;
        m_call = function;
        setKey(typeid(function), &function, sizeof function);
    }

    // Any callable with an explicit identity `routine` (for closures: pass the address of
    // something that stands for what the closure does; equal addresses are the same routine).
    template <typename F> static THandler fromCallable(const void* routine, void* target, F call) {
        THandler h;
        h.m_call = std::move(call);
        h.m_target = target;
        h.setKey(typeid(const void*), &routine, sizeof routine);
        return h;
    }

    // Assigned when a routine is present.
    explicit operator bool() const { return static_cast<bool>(m_call); }
    bool assigned() const { return static_cast<bool>(m_call); }

    void* target() const { return m_target; }

    // Same routine (two empty slots are the same too).
    bool sameRoutine(const THandler& other) const {
        if (!assigned() || !other.assigned())
            return assigned() == other.assigned();
        return *m_keyType == *other.m_keyType && m_keySize == other.m_keySize &&
               std::memcmp(m_key.data(), other.m_key.data(), m_keySize) == 0;
    }

    template <typename... CallArgs> void operator()(CallArgs&&... args) const {
        m_call(std::forward<CallArgs>(args)...);
    }

private:
    void setKey(const std::type_info& type, const void* bytes, std::size_t size) {
        static_assert(sizeof(void(THandler::*)()) <= 2 * sizeof(void*));
        m_keyType = &type;
        m_keySize = size <= m_key.size() ? size : m_key.size();
        std::memcpy(m_key.data(), bytes, m_keySize);
    }

    std::function<void(Args...)> m_call;
    void* m_target = nullptr;
    // Bytes of the routine pointer, with its type so that equal bytes of different classes'
    // member functions are not taken as the same routine.
    const std::type_info* m_keyType = nullptr;
    std::size_t m_keySize = 0;
    std::array<unsigned char, 2 * sizeof(void*)> m_key{};
};
