#pragma once
// A shared pointer that does not own its object. The configuration and its
// adaptors hold each other shared for the daemon's life; a test hands an
// adaptor such a pointer to an object it owns itself, so that both end with
// the test instead of keeping each other (and a manager's threads) alive.

#include <memory>

template <typename T>
std::shared_ptr<T> unowned(T& object)
{
    return std::shared_ptr<T>(&object, [](T*) {});
}
