#include "camera_thread.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <shared_mutex>
#include <thread>

namespace nuvgst {

namespace {

// One thread for the process, started on first use; it waits for work and
// is never stopped (it holds nothing of its own).
class CameraThread {
public:
    static CameraThread &Instance() {
        static CameraThread *thread = new CameraThread();
        return *thread;
    }

    template <class F>
    auto Run(F work) -> decltype(work()) {
        auto task = std::make_shared<std::packaged_task<decltype(work())()>>(std::move(work));
        auto result = task->get_future();
        {
            const std::lock_guard<std::mutex> lock(lock_);
            queue_.emplace_back([task] { (*task)(); });
        }
        wake_.notify_one();
        return result.get();
    }

private:
    CameraThread() { std::thread([this] { Loop(); }).detach(); }

    void Loop() {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock<std::mutex> lock(lock_);
                wake_.wait(lock, [&] { return !queue_.empty(); });
                work = std::move(queue_.front());
                queue_.pop_front();
            }
            work();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
};

// Shared by opens on streaming threads (each sure a camera stays open until
// it is done), exclusive for the camera thread's opens and closes.
std::shared_mutex gIdle;

bool AnyOpen(const nuvclient::Api &api) {
    for (int position = 0; position < 10; ++position) {
        if (api.NuvGetBufferSize(position) > 0) return true;
    }
    return false;
}

}  // namespace

int OpenCamera(const nuvclient::Api &api, int position, int width, int height, double fps, const char *format) {
    {
        const std::shared_lock<std::shared_mutex> open(gIdle);
        if (AnyOpen(api)) return api.NuvOpen(position, width, height, fps, format);
    }
    return CameraThread::Instance().Run([&] {
        const std::unique_lock<std::shared_mutex> alone(gIdle);
        return api.NuvOpen(position, width, height, fps, format);
    });
}

void CloseCamera(const nuvclient::Api &api, int position) {
    CameraThread::Instance().Run([&] {
        const std::unique_lock<std::shared_mutex> alone(gIdle);
        api.NuvClose(position);
    });
}

}  // namespace nuvgst
