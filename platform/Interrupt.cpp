// Removal of registered files on interrupt. The table is fixed in size and each slot holds its
// path in place, so that the signal handler reads it without allocating or locking: a slot is
// filled while marked busy and only then marked live.
#include "platform/Interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vt::platform {

namespace {

constexpr int Slots = 1024;
constexpr size_t PathRoom = 4096;
enum : int { Free = 0, Busy = 1, Live = 2 };

struct TSlot {
    std::atomic<int> State{Free};
    char Path[PathRoom];
};

TSlot* Table() noexcept {
    static TSlot table[Slots];
    return table;
}

void RemoveAll() noexcept {
    TSlot* table = Table();
    for (int i = 0; i < Slots; ++i)
        if (table[i].State.load() == Live) {
#if defined(_WIN32)
            _unlink(table[i].Path);
#else
            unlink(table[i].Path);
#endif
        }
}

extern "C" void OnInterrupt(int signal) {
    RemoveAll();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void InstallInterruptCleanup() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        Table(); // the table exists before any handler can run
#if defined(_WIN32)
        for (int s : {SIGINT, SIGTERM, SIGBREAK})
            std::signal(s, OnInterrupt);
#else
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction old {};
            // A signal the parent told this process to ignore stays ignored.
            if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
                continue;
            sigaction(s, &action, nullptr);
        }
        std::signal(SIGXFSZ, SIG_IGN);
#endif
    });
}

TRemoveOnInterrupt::TRemoveOnInterrupt(const std::string& path) noexcept : Slot(-1) {
    if (path.size() >= PathRoom)
        return;
    TSlot* table = Table();
    for (int i = 0; i < Slots; ++i) {
        int expected = Free;
        if (table[i].State.compare_exchange_strong(expected, Busy)) {
            std::memcpy(table[i].Path, path.c_str(), path.size() + 1);
            table[i].State.store(Live);
            Slot = i;
            return;
        }
    }
}

TRemoveOnInterrupt::~TRemoveOnInterrupt() {
    if (Slot >= 0)
        Table()[Slot].State.store(Free);
}

} // namespace vt::platform
