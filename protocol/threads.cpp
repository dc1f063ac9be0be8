#include "protocol/threads.h"

namespace {

bool start(pthread_t* thread, void* (*entry)(void*), void* argument, size_t stack, bool detached) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (stack != zel::kDefaultStack) pthread_attr_setstacksize(&attributes, stack);
    if (detached) pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    bool started = pthread_create(thread, &attributes, entry, argument) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

}  // namespace

bool zel::start_thread(pthread_t* thread, void* (*entry)(void*), void* argument, size_t stack) {
    return start(thread, entry, argument, stack, false);
}

bool zel::start_detached(void* (*entry)(void*), void* argument, size_t stack) {
    pthread_t thread;
    return start(&thread, entry, argument, stack, true);
}
