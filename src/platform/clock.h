#pragma once

#include <chrono>
#include <thread>

namespace vemla::platform {

// Monotonic time and pauses. The polling loops take it as a parameter, so tests can move time
// by hand.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::steady_clock::time_point now() = 0;
    virtual void pause(std::chrono::milliseconds duration) = 0;
};

class SystemClock final : public Clock {
public:
    std::chrono::steady_clock::time_point now() override {
        return std::chrono::steady_clock::now();
    }
    void pause(std::chrono::milliseconds duration) override {
        std::this_thread::sleep_for(duration);
    }
};

}  // namespace vemla::platform
