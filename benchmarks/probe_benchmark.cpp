// The readiness probe's cost on an engine log that grows while it waits: the log gains a MiB of
// lines between passes, 50 MiB in all, and then the start line. Prints the time the probe spent
// and how much of the log it read; asserts nothing.
//
// usage: vemla_probe_benchmark [MIB]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "engine.h"
#include "fakes.h"

namespace {

using namespace vemla::service;
using namespace vemla::service::testing_support;

// A clock whose pauses let the engine write a MiB more of its log, then its start line.
class GrowingLog final : public Clock {
public:
    GrowingLog(std::filesystem::path log, int mib) : log_(std::move(log)), left_(mib) {
        std::string line(1022, 'x');
        line += "\r\n";
        while (chunk_.size() < (1u << 20)) {
            chunk_ += line;
        }
    }
    std::chrono::steady_clock::time_point now() override { return now_; }
    int passes = 1;
    void pause(std::chrono::milliseconds duration) override {
        now_ += duration;
        ++passes;
        std::ofstream out(log_, std::ios::binary | std::ios::app);
        if (left_ > 0) {
            out << chunk_;
            --left_;
        } else if (left_-- == 0) {
            out << "2026/12/11 [Warning] core: Xray 26.9.30 started\r\n";
        }
    }

private:
    std::filesystem::path log_;
    int left_;
    std::string chunk_;
    std::chrono::steady_clock::time_point now_{};
};

double cpu_ms() {
    return static_cast<double>(std::clock()) * 1000.0 / CLOCKS_PER_SEC;
}

}  // namespace

int main(int argc, char** argv) {
    const int mib = argc > 1 ? std::atoi(argv[1]) : 50;
    const auto dir = std::filesystem::temp_directory_path() /
                     ("vemla-probe-benchmark-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    FakeContext fake;
    auto log = fake.system.open_own_file(dir / "engine.log", "", Sharing::shared);
    fake.system.engines = {EngineScript::not_listening("")};
    auto engine = fake.system.launch_engine({}, **log);
    fake.system.listen(true);
    GrowingLog clock(dir / "engine.log", mib);
    ServiceContext context{fake.system, clock, fake.stop, fake.checks, nullptr};

    const auto wall = std::chrono::steady_clock::now();
    const double cpu = cpu_ms();
    const ProbeResult result = probe_ready(context, *engine->process, 18970, dir);
    const double cpu_spent = cpu_ms() - cpu;
    const double wall_spent =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall).count();

    std::printf(
        "log grown by %d MiB during the probe: %s after %d passes; %.1f ms CPU, %.1f ms "
        "wall; %.1f MiB of the log read\n",
        mib, result.kind == ProbeResult::Kind::ready ? "ready" : "not ready", clock.passes,
        cpu_spent, wall_spent, static_cast<double>(fake.system.log_bytes_read) / (1 << 20));
    std::filesystem::remove_all(dir);
    return result.kind == ProbeResult::Kind::ready ? 0 : 1;
}
