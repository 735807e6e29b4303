// Helper threads of the renderer leave every signal to the thread that
// renders, whose handlers end a render cleanly.
#pragma once

#include <csignal>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <utility>

namespace render {

// Starts f on `thread` with every signal blocked; false when no thread can
// be had, and the caller then works alone.
template <class F>
bool start_quiet_thread(std::thread& thread, F&& f) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    bool started = true;
    try {
        thread = std::thread(std::forward<F>(f));
    } catch (const std::system_error&) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return started;
}

}  // namespace render
