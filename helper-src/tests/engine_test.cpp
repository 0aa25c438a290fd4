#include <gtest/gtest.h>

#include "engine.h"
#include "fakes.h"
#include "test_directory.h"

namespace vemla::service {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

TEST(StartLine, IsALineThatNamesTheCoreAndEndsInStarted) {
    struct Case {
        std::string log;
        bool started;
    };
    const Case cases[] = {
        {"2026/12/10 12:00:00 [Warning] core: Xray 26.9.30 started\n", true},
        {"2026/12/10 12:00:00 [Warning] core: Xray 26.9.30 started\r\n", true},
        {"x\n[Warning] core: Xray 26.9.30 started", true},  // the last line needs no feed
        {"[Warning] core: Xray 26.9.30 started \n", false},
        {"[Warning] core: Xray 26.9.30 started\rmore\n", false},
        {"[Warning] core: Xray 26.9.30 starting\n", false},
        {"[Info] core: Xray 26.9.30 started\n", false},
        {"[Warning] core: Xray 26.9.30\n started\n", false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(has_start_line(c.log), c.started) << c.log;
    }
}

// The probe against a scripted engine and a real log file.
class Probe : public testing::Test {
protected:
    void SetUp() override { data_dir_ = make_test_directory("vemla-probe-"); }
    void TearDown() override { std::filesystem::remove_all(data_dir_); }

    ProbeResult probe(const std::string& log, bool listens) {
        std::ofstream(data_dir_ / "engine.log", std::ios::binary) << log;
        EngineScript script;
        script.log.clear();
        script.listens = listens;
        fake_.system.engines = {script};
        (void)fake_.system.create_log(data_dir_ / "engine.log");
        std::ofstream(data_dir_ / "engine.log", std::ios::binary) << log;
        auto launched = fake_.system.launch_engine({}, *std::make_unique<OpenFile>());
        EXPECT_TRUE(launched.has_value());
        engine_ = std::move(launched->process);
        job_ = std::move(launched->job);
        return probe_ready(fake_.context, *engine_, 18970, data_dir_);
    }

    std::filesystem::path data_dir_;
    FakeContext fake_;
    std::unique_ptr<Process> engine_;
    std::unique_ptr<Job> job_;
};

TEST_F(Probe, ReadyNeedsTheStartLineAndTheApiPort) {
    const ProbeResult result = probe("[Warning] core: Xray 26.9.30 started\n", true);
    EXPECT_EQ(result.kind, ProbeResult::Kind::ready);
    EXPECT_EQ(fake_.system.connects, 1);
    EXPECT_EQ(fake_.clock.elapsed(), 0s);
}

TEST_F(Probe, StartLineWithoutThePortTimesOutAtTheDeadline) {
    const ProbeResult result = probe("[Warning] core: Xray 26.9.30 started\n", false);
    EXPECT_EQ(result.kind, ProbeResult::Kind::timed_out);
    EXPECT_EQ(fake_.clock.elapsed(), 10s);
    EXPECT_EQ(fake_.system.connects, 400);  // one try per 25 ms pause
}

TEST_F(Probe, LogThatIsNotUtf8IsNeverRecognised) {
    const ProbeResult result = probe("\xFF\n[Warning] core: Xray 26.9.30 started\n", true);
    EXPECT_EQ(result.kind, ProbeResult::Kind::timed_out);
    EXPECT_EQ(fake_.system.connects, 0);
}

TEST_F(Probe, ExitIsReportedWithItsCode) {
    std::ofstream(data_dir_ / "engine.log") << "x";
    auto control = make_control("engine", 1, nullptr);
    control->exited_with = 0xC0000005;
    FakeProcess engine(control);
    const ProbeResult result = probe_ready(fake_.context, engine, 18970, data_dir_);
    EXPECT_EQ(result.kind, ProbeResult::Kind::exited);
    EXPECT_EQ(result.exit_code, 0xC0000005u);

    control->exited_with.reset();
    control->query_fails = true;
    const ProbeResult failed = probe_ready(fake_.context, engine, 18970, data_dir_);
    EXPECT_EQ(failed.kind, ProbeResult::Kind::failed);
    EXPECT_EQ(failed.error, "query failed (os error 5)");
}

}  // namespace
}  // namespace vemla::service
