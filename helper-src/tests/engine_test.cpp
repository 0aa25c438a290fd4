#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "engine.h"
#include "fakes.h"
#include "pipe_server.h"
#include "test_directory.h"

namespace vemla::service {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

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
        {"[Warning] core: Xray 26.9.30 started\r", false},  // a CR is dropped only before a feed
        {"[Warning] core: Xray 26.9.30started\n", false},
        {"[Warning] core: Xray 26.9.30 restarted\n", false},
        {"[Warning] core: Xray 26.9.30 started\n\xFF\n", false},  // the whole log must be UTF-8
        {"[Warning] core: Xray 26.9.30 started\n\xD0", false},    // a character not yet whole
        {"Ж\n[Warning] core: Xray Ж started\n", true},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(has_start_line(c.log), c.started) << c.log;
    }
}

TEST(StartLine, ReadInPiecesIsJudgedAsTheWholeLog) {
    // The probe feeds the log as the engine writes it: the banner, its end, a CR LF or a
    // character may be split anywhere.
    const std::string logs[] = {
        "2026/12/10 [Warning] core: Xray 26.9.30 started\r\n",
        "noise Ж\n[Warning] core: Xray 26.9.30 started",
        "[Warning] core: Xray 26.9.30 started\rmore\n",
        "[Warning] core: Xray 26.9.30 restarted\n",
        "[Warning] core: Xray 26.9.30 started\n\xE2\x82\n",
        "x [Warning] core: Xray \xD0\x96 started\n",
    };
    for (const std::string& log : logs) {
        const bool whole = has_start_line(log);
        for (std::size_t cut = 0; cut <= log.size(); ++cut) {
            StartLineScanner scanner;
            scanner.feed(std::string_view(log).substr(0, cut));
            scanner.feed(std::string_view(log).substr(cut));
            EXPECT_EQ(scanner.started(), whole) << log << " cut at " << cut;
        }
        StartLineScanner bytewise;
        for (const char c : log) {
            bytewise.feed(std::string_view(&c, 1));
        }
        EXPECT_EQ(bytewise.started(), whole) << log;
    }
}

// The probe against a scripted engine and a real log file.
class Probe : public testing::Test {
protected:
    void SetUp() override { data_dir_ = make_test_directory("vemla-probe-"); }
    void TearDown() override { std::filesystem::remove_all(data_dir_); }

    std::unique_ptr<OpenFile> open_log() {
        auto file = fake_.system.open_own_file(data_dir_ / "engine.log", "", Sharing::shared);
        EXPECT_TRUE(file.has_value());
        return file ? std::move(*file) : nullptr;
    }

    ProbeResult probe(const std::string& log, bool listens) {
        std::ofstream(data_dir_ / "engine.log", std::ios::binary) << log;
        EngineScript script;
        script.log.clear();
        script.listens = listens;
        fake_.system.engines = {script};
        auto file = open_log();
        std::ofstream(data_dir_ / "engine.log", std::ios::binary) << log;
        auto launched = fake_.system.launch_engine({}, *file);
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

TEST_F(Probe, EachConnectTryIsBoundedByItsLimitAndTheTimeLeft) {
    const ProbeResult result = probe("[Warning] core: Xray 26.9.30 started\n", false);
    ASSERT_EQ(result.kind, ProbeResult::Kind::timed_out);
    ASSERT_FALSE(fake_.system.connect_limits.empty());
    EXPECT_EQ(fake_.system.connect_limits.front(), 50ms);
    EXPECT_EQ(fake_.system.connect_limits.back(), 25ms);  // the last pass starts 25 ms before
    for (const auto limit : fake_.system.connect_limits) {
        EXPECT_LE(limit, 50ms);
    }
}

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

// A clock whose pauses let the engine write more of its log.
class GrowingLogClock final : public Clock {
public:
    explicit GrowingLogClock(std::filesystem::path log) : log_(std::move(log)) {}
    std::deque<std::string> writes;  // one per pause

    std::chrono::steady_clock::time_point now() override { return now_; }
    void pause(std::chrono::milliseconds duration) override {
        now_ += duration;
        if (!writes.empty()) {
            std::ofstream(log_, std::ios::binary | std::ios::app) << writes.front();
            writes.pop_front();
        }
    }

private:
    std::filesystem::path log_;
    std::chrono::steady_clock::time_point now_{};
};

TEST_F(Probe, ReadsOnlyWhatTheEngineAppendedAndFindsAStartLinePastAnyOffset) {
    // More than the largest request in lines before the start line: a probe that read a bounded
    // prefix of the log would never find it, and one that read it all each pass would read the
    // first lines again and again.
    const std::string filler(1000, 'x');
    std::string bulk;
    while (bulk.size() <= kMaxRequestBytes) {
        bulk += filler + "\r\n";
    }
    const auto log = data_dir_ / "engine.log";
    std::ofstream(log, std::ios::binary) << bulk;
    GrowingLogClock clock(log);
    clock.writes = {"[Warning] core: Xray 26.9.30 sta", "", "rted\r", "\n"};
    ServiceContext context{fake_.system, clock, fake_.stop, fake_.checks, nullptr};
    fake_.system.engines = {EngineScript::not_listening("")};
    auto launched = fake_.system.launch_engine({}, *open_log());
    ASSERT_TRUE(launched.has_value());
    fake_.system.listen(true);

    const ProbeResult result = probe_ready(context, *launched->process, 18970, data_dir_);

    EXPECT_EQ(result.kind, ProbeResult::Kind::ready);
    EXPECT_EQ(fake_.system.connects, 1);
    EXPECT_EQ(fake_.system.log_bytes_read, std::filesystem::file_size(log));
}

// start_engine over real files in a data directory of the test's own.
class EngineFiles : public testing::Test {
protected:
    void SetUp() override {
        root_ = make_test_directory("vemla-engine-files-");
        files_ = {root_ / "install", root_ / "data", kOwnerSid};
        std::filesystem::create_directories(files_.install_dir);
        std::filesystem::create_directories(files_.data_dir);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    std::expected<LaunchedEngine, std::string> start() {
        return start_engine(fake_.context, files_, Json{{"log", Json::object()}});
    }
    std::filesystem::path active() const { return files_.data_dir / "active.json"; }
    std::filesystem::path log() const { return files_.data_dir / "engine.log"; }

    std::filesystem::path root_;
    vemla::service::EngineFiles files_;
    FakeContext fake_;
};

TEST(EngineFileDescriptor, GrantsTheOwnerReadingAndInheritsNothing) {
    const auto descriptor = engine_file_descriptor(kOwnerSid);
    ASSERT_TRUE(descriptor.has_value()) << descriptor.error();
    EXPECT_EQ(*descriptor, "O:SYG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;S-1-5-21-1-2-3-1001)");
    // The SID is spliced into the text: one that carried SDDL of its own could grant anything.
    for (const char* sid : {"", "S-1-5-21-1)(A;;FA;;;WD", "S-1-1-0", "S-1-5-18", "S-1-5-21-1 "}) {
        const auto refused = engine_file_descriptor(sid);
        ASSERT_FALSE(refused.has_value()) << sid;
        EXPECT_EQ(refused.error(), "Invalid installation owner SID");
    }
}

TEST_F(EngineFiles, AreCreatedWithTheProtectedDescriptorAndAgainOnTheNextStart) {
    const std::string descriptor = *engine_file_descriptor(kOwnerSid);
    for (int start_number = 0; start_number < 2; ++start_number) {
        fake_.system.log->clear();
        fake_.system.own_files.clear();
        auto engine = start();
        ASSERT_TRUE(engine.has_value()) << engine.error();
        ASSERT_EQ(fake_.system.own_files.size(), 2u);
        EXPECT_EQ(fake_.system.own_files[0].path, active());
        EXPECT_EQ(fake_.system.own_files[0].sharing, Sharing::exclusive);
        EXPECT_EQ(fake_.system.own_files[1].path, log());
        EXPECT_EQ(fake_.system.own_files[1].sharing, Sharing::shared);
        for (const auto& opened : fake_.system.own_files) {
            EXPECT_EQ(opened.descriptor, descriptor);
        }
        // The files a first start made are found by the second, judged, and given the
        // descriptor again before they are rewritten.
        const EventLog created = {"open:active.json", "write:active.json", "open:engine.log",
                                  "write:engine.log", "launch"};
        const EventLog found = {"open:active.json",
                                "descriptor:active.json",
                                "write:active.json",
                                "open:engine.log",
                                "descriptor:engine.log",
                                "write:engine.log",
                                "launch"};
        EXPECT_EQ(*fake_.system.log, start_number == 0 ? created : found);
        EXPECT_EQ(read_text(active()), R"({"log":{}})");
    }
}

TEST_F(EngineFiles, WhatIsFoundAtTheirNamesMustBeAProtectedFileOfOneName) {
    struct Case {
        const char* name;
        std::string file;  // active.json or engine.log
        // False when this system cannot make such a name.
        std::function<bool(const std::filesystem::path& at, const std::filesystem::path& other)>
            plant;
        std::string message;  // "{path}" stands for the file's path
    };
    // Where the tests run under Wine, symbolic links cannot be made and the C++ library counts
    // no file's names (the Win32 layer's own test sees them through the handle).
    const auto link = [](const auto& at, const auto& other) {
        std::error_code error;
        std::filesystem::create_symlink(other, at, error);
        return !error;
    };
    const auto hard_link = [](const auto& at, const auto& other) {
        std::filesystem::create_hard_link(other, at);
        return std::filesystem::hard_link_count(at) == 2;
    };
    const Case cases[] = {
        {"a link to another file", "active.json", link, "Reparse points are forbidden"},
        {"a link to another file", "engine.log", link, "Reparse points are forbidden"},
        {"a second name of another file", "active.json", hard_link,
         "Protected file has more than one name: {path}"},
        {"a second name of another file", "engine.log", hard_link,
         "Protected file has more than one name: {path}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " at " + c.file);
        const auto at = files_.data_dir / c.file;
        const auto other = root_ / "elsewhere.txt";
        std::ofstream(other) << "elsewhere";
        if (!c.plant(at, other)) {
            std::filesystem::remove(other);
            continue;
        }
        fake_.system.launched.clear();

        const auto engine = start();

        ASSERT_FALSE(engine.has_value());
        std::string message = c.message;
        if (const auto at_path = message.find("{path}"); at_path != std::string::npos) {
            message.replace(at_path, 6, at.string());
        }
        EXPECT_EQ(engine.error(), message);
        EXPECT_EQ(read_text(other), "elsewhere");
        EXPECT_TRUE(fake_.system.launched.empty());
        for (const auto& made : {active(), log(), other}) {
            std::filesystem::remove(made);
        }
    }

    // A link whose target does not exist is refused too, and nothing is made at the target.
    if (link(active(), root_ / "nowhere")) {
        const auto dangling = start();
        ASSERT_FALSE(dangling.has_value());
        EXPECT_EQ(dangling.error(), "Reparse points are forbidden");
        EXPECT_FALSE(std::filesystem::exists(root_ / "nowhere"));
        std::filesystem::remove(active());
    }

    // A file others may change is refused before it is rewritten.
    std::ofstream(log()) << "old";
    fake_.inspector.untrusted = {log()};
    const auto unprotected = start();
    ASSERT_FALSE(unprotected.has_value());
    EXPECT_EQ(unprotected.error(), "Untrusted write access: " + log().string());
    EXPECT_EQ(read_text(log()), "old");
}

TEST_F(EngineFiles, TheLogIsCreatedBeforeTheSystemRootIsLookedFor) {
    fake_.system.variables.clear();
    auto engine = start();
    ASSERT_FALSE(engine.has_value());
    EXPECT_EQ(engine.error(), "Missing system root");
    EXPECT_EQ(read_text(active()), R"({"log":{}})");
    EXPECT_TRUE(std::filesystem::exists(log()));

    // When both fail, the log's failure is the one reported.
    fake_.system.unwritable = {log()};
    engine = start();
    ASSERT_FALSE(engine.has_value());
    EXPECT_EQ(engine.error(), "Access is denied. (os error 5)");
}

}  // namespace
}  // namespace vemla::service
