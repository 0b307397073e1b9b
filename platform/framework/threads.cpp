#include "platform/framework/threads.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "platform/framework/clock.h"
#include "platform/framework/files.h"

namespace nuv::framework {

namespace {

std::mutex gSwitchLock;
int gFailCreations = 0;
bool gHoldNew = false;
class ThreadObject;
std::vector<std::weak_ptr<ThreadObject>> gHeld;  // under gSwitchLock

struct ThreadState {
    std::mutex lock;
    std::condition_variable finishedSignal;
    bool finished = false;
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
};

class ThreadObject : public FileObject {
public:
    explicit ThreadObject(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}
    ~ThreadObject() override {
        // Closing a thread's handle does not end the thread.
        std::lock_guard<std::mutex> hold(startLock_);
        if (thread_.joinable()) {
            if (IsFinished()) {
                thread_.join();
            } else {
                thread_.detach();
            }
        }
    }

    BOOL Write(const void *, DWORD, DWORD *) override { return FALSE; }
    BOOL Read(void *, DWORD, DWORD *) override { return FALSE; }

    void Start() {
        std::lock_guard<std::mutex> hold(startLock_);
        if (thread_.joinable() || started_) return;
        started_ = true;
        thread_ = std::thread([state = state_] {
            state->start(state->parameter);
            std::lock_guard<std::mutex> done(state->lock);
            state->finished = true;
            state->finishedSignal.notify_all();
        });
    }

    DWORD Wait(DWORD milliseconds) {
        Start();  // a held thread runs at the latest when someone waits for it
        std::unique_lock<std::mutex> hold(state_->lock);
        auto finished = [&] { return state_->finished; };
        if (milliseconds == INFINITE) {
            state_->finishedSignal.wait(hold, finished);
            return WAIT_OBJECT_0;
        }
        return Clock::Instance().WaitFor(state_->finishedSignal, hold, milliseconds, finished) ? WAIT_OBJECT_0
                                                                                               : WAIT_TIMEOUT;
    }

private:
    bool IsFinished() {
        std::lock_guard<std::mutex> hold(state_->lock);
        return state_->finished;
    }

    std::shared_ptr<ThreadState> state_;
    std::mutex startLock_;
    bool started_ = false;
    std::thread thread_;
};

}  // namespace

void FailThreadCreations(int count) {
    std::lock_guard<std::mutex> hold(gSwitchLock);
    gFailCreations = count > 0 ? count : 0;
}

namespace {
// Threads held back so far start when holding is switched off.
void StartHeld() {
    std::vector<std::weak_ptr<ThreadObject>> held;
    {
        std::lock_guard<std::mutex> hold(gSwitchLock);
        held.swap(gHeld);
    }
    for (auto &weak : held) {
        if (auto thread = weak.lock()) thread->Start();
    }
}
}  // namespace

void HoldNewThreads(bool on) {
    {
        std::lock_guard<std::mutex> hold(gSwitchLock);
        gHoldNew = on;
    }
    if (!on) StartHeld();
}

void ResetThreadSwitches() {
    {
        std::lock_guard<std::mutex> hold(gSwitchLock);
        gFailCreations = 0;
        gHoldNew = false;
    }
    StartHeld();
}

}  // namespace nuv::framework

namespace nuv::os {

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                    LPDWORD threadId) {
    if (start == nullptr) return nullptr;
    bool hold;
    {
        std::lock_guard<std::mutex> guard(framework::gSwitchLock);
        if (framework::gFailCreations > 0) {
            --framework::gFailCreations;
            return nullptr;
        }
        hold = framework::gHoldNew;
    }
    auto state = std::make_shared<framework::ThreadState>();
    state->start = start;
    state->parameter = parameter;
    auto thread = std::make_shared<framework::ThreadObject>(state);
    HANDLE handle = framework::FileTable::Instance().Adopt(thread);
    if (threadId) *threadId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(handle));
    if (hold) {
        std::lock_guard<std::mutex> guard(framework::gSwitchLock);
        framework::gHeld.push_back(thread);
    } else {
        thread->Start();
    }
    return handle;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    auto thread = std::dynamic_pointer_cast<framework::ThreadObject>(framework::FileTable::Instance().Get(object));
    return thread ? thread->Wait(milliseconds) : WAIT_FAILED;
}

}  // namespace nuv::os
