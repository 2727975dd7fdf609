#include "foundation/Mutex.h"

#include <cstring>

Mutex::Mutex()
{
    std::memset(&mMutex, 0, sizeof(mMutex));
    pthread_mutex_init(&mMutex, nullptr);
}

Mutex::~Mutex()
{
    pthread_mutex_destroy(&mMutex);
}

bool Mutex::lock()
{
    return pthread_mutex_lock(&mMutex) == 0;
}

bool Mutex::unlock()
{
    return pthread_mutex_unlock(&mMutex) == 0;
}

bool Mutex::trylock()
{
    return pthread_mutex_trylock(&mMutex) == 0;
}
