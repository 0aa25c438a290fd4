#pragma once

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "install_checks.h"
#include "platform.h"
#include "service_context.h"
#include "service_state.h"

namespace vemla::service::testing_support {

// A root the protected-path checks accept as absolute on both toolchains.
inline const std::filesystem::path kRoot =
#ifdef _WIN32
    "C:\\";
#else
    "/";
#endif

// The two directories of an installation laid out under a test's own root, the built-in rule
// sources copied into its rules folder.
struct TestInstallation {
    std::filesystem::path install_dir;
    std::filesystem::path data_dir;
};

inline TestInstallation lay_out_installation(const std::filesystem::path& root,
                                             const std::filesystem::path& rule_sources) {
    TestInstallation made{root / "Program Files" / "VemlaHelper",
                          root / "ProgramData" / "VemlaHelper"};
    std::filesystem::create_directories(made.install_dir / "rules");
    std::filesystem::create_directories(made.data_dir);
    for (const auto& entry : std::filesystem::directory_iterator(rule_sources)) {
        std::filesystem::copy_file(entry.path(),
                                   made.install_dir / "rules" / entry.path().filename());
    }
    return made;
}

// What happened to the fake objects, in order, as "<name>:<event>".
using EventLog = std::vector<std::string>;

// The test's side of a fake process: it decides when the process ends and sees what the
// service did to it.
struct ProcessControl {
    std::string name;
    std::uint32_t pid = 0;
    std::optional<std::uint32_t> exited_with;
    bool closed = false;
    std::optional<std::uint32_t> terminated_with;
    bool query_fails = false;
    bool terminate_fails = false;
    bool wait_fails = false;
    bool ends_when_job_closes = false;  // a process in a kill-on-close job
    bool never_ends = false;            // a bounded wait times out
    std::expected<std::string, std::string> user_sid = std::string("S-1-5-21-1-2-3-1001");
    std::expected<std::uint64_t, std::string> created = std::uint64_t{100};
    std::shared_ptr<EventLog> log;

    void record(const std::string& event) {
        if (log) {
            log->push_back(name + ":" + event);
        }
    }
};

class FakeProcess final : public Process {
public:
    explicit FakeProcess(std::shared_ptr<ProcessControl> control) : control_(std::move(control)) {}
    ~FakeProcess() override {
        control_->closed = true;
        control_->record("close");
    }
    std::uint32_t pid() const override { return control_->pid; }
    bool has_ended() override { return control_->exited_with.has_value(); }
    std::expected<std::optional<std::uint32_t>, std::string> exit_code() override {
        if (control_->query_fails) {
            return std::unexpected("query failed (os error 5)");
        }
        return control_->exited_with;
    }
    std::expected<void, std::string> terminate(std::uint32_t code) override {
        control_->record("terminate");
        if (control_->terminate_fails) {
            return std::unexpected("terminate failed (os error 5)");
        }
        control_->terminated_with = code;
        control_->exited_with = code;
        return {};
    }
    std::expected<bool, std::string> wait(std::optional<std::chrono::milliseconds> limit) override {
        control_->record(limit ? "wait-bounded" : "wait");
        if (control_->wait_fails) {
            return std::unexpected("wait failed (os error 6)");
        }
        if (limit && control_->never_ends) {
            return false;
        }
        if (!control_->exited_with) {
            control_->exited_with = 1;
        }
        return true;
    }
    std::expected<std::string, std::string> user_sid() override { return control_->user_sid; }
    std::expected<std::uint64_t, std::string> creation_time() override { return control_->created; }

private:
    std::shared_ptr<ProcessControl> control_;
};

// Closing it ends the processes that were put into it, as a kill-on-close job does.
class FakeJob final : public Job {
public:
    FakeJob(std::shared_ptr<EventLog> log,
            std::vector<std::shared_ptr<ProcessControl>> members = {})
        : log_(std::move(log)), members_(std::move(members)) {}
    ~FakeJob() override {
        log_->push_back("job:close");
        for (const auto& member : members_) {
            if (member->ends_when_job_closes && !member->exited_with) {
                member->exited_with = 1;
            }
        }
    }

private:
    std::shared_ptr<EventLog> log_;
    std::vector<std::shared_ptr<ProcessControl>> members_;
};

inline std::shared_ptr<ProcessControl> make_control(std::string name, std::uint32_t pid,
                                                    std::shared_ptr<EventLog> log) {
    auto control = std::make_shared<ProcessControl>();
    control->name = std::move(name);
    control->pid = pid;
    control->log = std::move(log);
    return control;
}

inline constexpr const char* kSessionA =
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
inline constexpr const char* kSessionB =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
inline constexpr const char* kOwnerSid = "S-1-5-21-1-2-3-1001";

// A state with a running connection (engine, job, client) owned by `session`.
struct RunningConnection {
    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
    std::shared_ptr<ProcessControl> engine = make_control("engine", 4242, log);
    std::shared_ptr<ProcessControl> client = make_control("client", 77, log);

    void install(ServiceState& state, const std::string& session) const {
        state.engine = std::make_unique<FakeProcess>(engine);
        state.client_process = std::make_unique<FakeProcess>(client);
        state.job = std::make_unique<FakeJob>(log);
        state.session = session;
        state.rule_source_tags = {"custom"};
    }
};

// How one launched engine behaves.
struct EngineScript {
    std::optional<std::uint32_t> exits_with;  // ends at once with this code
    std::string log = "2026/12/10 [Warning] core: Xray 26.9.30 started\n";
    bool listens = true;
    std::optional<std::uint32_t> exits_once_answered;  // dies right after its port answered
    bool status_unreadable = false;                    // its exit-status query fails
    bool resume_fails = false;
    std::optional<std::string> launch_error;

    static EngineScript exiting(std::uint32_t code, std::string log) {
        EngineScript script;
        script.exits_with = code;
        script.log = std::move(log);
        script.listens = false;
        return script;
    }
    static EngineScript not_listening(std::string log) {
        EngineScript script;
        script.log = std::move(log);
        script.listens = false;
        return script;
    }
};

// Files are real (in the test's directories); processes, the environment and the network are
// scripted.
class FakeSystem final : public System {
public:
    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
    std::deque<EngineScript> engines;
    std::vector<EngineCommand> launched;
    std::vector<std::shared_ptr<ProcessControl>> engine_controls;
    std::map<std::uint32_t, std::shared_ptr<ProcessControl>> processes;
    std::map<std::uint32_t, ProcessLineage> lineages;
    std::map<std::string, std::string, std::less<>> variables{{"SystemRoot", "C:\\Windows"}};
    std::set<std::filesystem::path> unwritable;
    int connects = 0;
    std::vector<std::chrono::milliseconds> connect_limits;
    std::uint64_t log_bytes_read = 0;  // by read_file_from
    // Judges the security of files found at the names the service writes, as the checks would
    // read it through the handle.
    PathInspector* inspector = nullptr;
    struct OwnFileOpen {
        std::filesystem::path path;
        std::string descriptor;
        Sharing sharing;
    };
    std::vector<OwnFileOpen> own_files;
    std::function<void()> after_launch;  // runs once each engine is running

    std::expected<std::unique_ptr<Process>, std::string> open_for_monitoring(
        std::uint32_t pid) override {
        return open(pid);
    }
    std::optional<ProcessLineage> inspect_process(std::uint32_t pid) override {
        const auto found = lineages.find(pid);
        return found == lineages.end() ? std::nullopt : std::optional(found->second);
    }
    std::expected<std::unique_ptr<Process>, std::string> open_owner(std::uint32_t pid) override {
        return open(pid);
    }
    std::expected<std::string, std::string> read_file(const std::filesystem::path& path,
                                                      std::size_t limit) override {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return std::unexpected("The system cannot find the file specified. (os error 2)");
        }
        std::string bytes(std::istreambuf_iterator<char>(in), {});
        if (bytes.size() > limit + 1) {
            bytes.resize(limit + 1);
        }
        return bytes;
    }
    std::expected<std::string, std::string> read_file_from(const std::filesystem::path& path,
                                                           std::uint64_t offset,
                                                           std::size_t limit) override {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return std::unexpected("The system cannot find the file specified. (os error 2)");
        }
        std::error_code error;
        const std::uint64_t size = std::filesystem::file_size(path, error);
        const std::uint64_t left = error || size < offset ? 0 : size - offset;
        in.seekg(static_cast<std::streamoff>(offset));
        std::string bytes(static_cast<std::size_t>(std::min<std::uint64_t>(left, limit)), '\0');
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
        log_bytes_read += bytes.size();
        return bytes;
    }
    std::expected<std::unique_ptr<OpenFile>, std::string> open_own_file(
        const std::filesystem::path& path, const std::string& descriptor, Sharing sharing) override;
    std::expected<LaunchedEngine, EngineLaunchFailure> launch_engine(const EngineCommand& command,
                                                                     OpenFile&) override {
        launched.push_back(command);
        EngineScript script = engines.empty() ? EngineScript{} : engines.front();
        if (!engines.empty()) {
            engines.pop_front();
        }
        if (script.launch_error || script.resume_fails) {
            return std::unexpected(
                EngineLaunchFailure{script.resume_fails, script.launch_error.value_or("")});
        }
        std::ofstream(data_dir_ / "engine.log", std::ios::binary | std::ios::app) << script.log;
        auto control =
            make_control("engine", 5000 + static_cast<std::uint32_t>(launched.size()), log);
        control->exited_with = script.exits_with;
        control->query_fails = script.status_unreadable;
        control->ends_when_job_closes = true;
        engine_controls.push_back(control);
        listening_ = script.listens;
        exits_once_answered_ = script.exits_once_answered;
        log->push_back("launch");
        if (after_launch) {
            after_launch();
        }
        return LaunchedEngine{std::make_unique<FakeProcess>(control),
                              std::make_unique<FakeJob>(log, std::vector{control})};
    }
    std::optional<std::string> environment(std::string_view name) override {
        const auto found = variables.find(name);
        return found == variables.end() ? std::nullopt : std::optional(found->second);
    }
    void listen(bool listening) { listening_ = listening; }
    bool connect_loopback(std::uint16_t, std::chrono::milliseconds limit) override {
        ++connects;
        connect_limits.push_back(limit);
        if (listening_ && exits_once_answered_) {
            engine_controls.back()->exited_with = exits_once_answered_;
        }
        return listening_;
    }

private:
    std::expected<std::unique_ptr<Process>, std::string> open(std::uint32_t pid) {
        const auto found = processes.find(pid);
        if (found == processes.end()) {
            return std::unexpected("The parameter is incorrect. (os error 87)");
        }
        return std::make_unique<FakeProcess>(found->second);
    }

    std::filesystem::path data_dir_;  // where the last own file was opened
    bool listening_ = false;
    std::optional<std::uint32_t> exits_once_answered_;
};

// A real file in the test's directory. What was found at its name is read without following a
// link, as the service's own open does.
class FakeFile final : public OpenFile {
public:
    FakeFile(std::filesystem::path path, std::optional<FoundFile> found,
             std::shared_ptr<EventLog> log)
        : path_(std::move(path)), found_(std::move(found)), log_(std::move(log)) {}
    const std::optional<FoundFile>& found() const override { return found_; }
    std::expected<void, std::string> apply_descriptor() override {
        log_->push_back("descriptor:" + path_.filename().string());
        return {};
    }
    std::expected<void, std::string> replace_contents(std::string_view bytes) override {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
        log_->push_back("write:" + path_.filename().string());
        return {};
    }

private:
    std::filesystem::path path_;
    std::optional<FoundFile> found_;
    std::shared_ptr<EventLog> log_;
};

inline std::expected<std::unique_ptr<OpenFile>, std::string> FakeSystem::open_own_file(
    const std::filesystem::path& path, const std::string& descriptor, Sharing sharing) {
    own_files.push_back({path, descriptor, sharing});
    log->push_back("open:" + path.filename().string());
    if (unwritable.contains(path)) {
        return std::unexpected("Access is denied. (os error 5)");
    }
    data_dir_ = path.parent_path();
    const auto status = std::filesystem::symlink_status(path);
    if (!std::filesystem::exists(status)) {
        std::ofstream(path, std::ios::binary);
        return std::make_unique<FakeFile>(path, std::nullopt, log);
    }
    FoundFile found;
    found.is_reparse_point = std::filesystem::is_symlink(status);
    found.link_count = found.is_reparse_point
                           ? 1
                           : static_cast<std::uint32_t>(std::filesystem::hard_link_count(path));
    found.security = inspector != nullptr
                         ? inspector->read_security(path)
                         : std::expected<PathSecurity, std::string>(std::unexpect, "no inspector");
    return std::make_unique<FakeFile>(path, std::move(found), log);
}

// Every path is owned by LocalSystem, and only LocalSystem may write to it, except the paths
// named untrusted, which the Users group may write to. A directory lists the entries given for
// it, and nothing when none are given.
class FakeInspector final : public PathInspector {
public:
    std::set<std::filesystem::path> untrusted;
    std::map<std::filesystem::path, std::vector<DirectoryEntry>> listings;
    std::vector<std::filesystem::path> checked;

    std::expected<bool, std::string> is_reparse_point(const std::filesystem::path& path) override {
        checked.push_back(path);
        return false;
    }
    std::expected<PathSecurity, std::string> read_security(
        const std::filesystem::path& path) override {
        std::vector<AceRecord> dacl{{kAccessAllowedAceType, 0, 0x1F01FF, std::string("S-1-5-18")}};
        if (untrusted.contains(path)) {
            dacl.push_back({kAccessAllowedAceType, 0, 0x2, std::string("S-1-5-32-545")});
        }
        return PathSecurity{std::string("S-1-5-18"), std::move(dacl), std::nullopt};
    }
    std::expected<std::vector<DirectoryEntry>, std::string> list_directory(
        const std::filesystem::path& directory) override {
        const auto found = listings.find(directory);
        return found == listings.end() ? std::vector<DirectoryEntry>{} : found->second;
    }
};

struct NoData {};
using ReadStep = std::variant<std::string, NoData, PipeRead>;

// Replays what a client does: connections, the bytes it writes (each piece read in chunks no
// larger than the server's buffer), and errors. When the script of connections is spent it
// sets the stop flag, as the service control handler would.
class FakePipe final : public Pipe {
public:
    explicit FakePipe(StopFlag& stop) : stop_(stop) {}

    std::deque<ConnectState> connections;
    std::deque<ReadStep> reads;
    std::expected<std::string, std::string> sid = std::string(kOwnerSid);
    std::expected<std::uint32_t, std::string> pid = 77u;

    int sid_queries = 0;
    std::size_t bytes_before_first_sid_query = 0;
    std::size_t bytes_read = 0;
    std::vector<std::string> written;
    std::vector<std::string> events;
    bool stop_after_write = false;  // the control handler's stop arrives during the reply

    ConnectState connect() override {
        if (connections.empty()) {
            stop_.set();
            return ConnectState::waiting;
        }
        const ConnectState next = connections.front();
        connections.pop_front();
        return next;
    }
    void disconnect() override { events.push_back("disconnect"); }
    PipeRead read(std::span<char> buffer) override {
        if (reads.empty()) {
            return PipeRead{};
        }
        ReadStep& step = reads.front();
        if (std::holds_alternative<NoData>(step)) {
            reads.pop_front();
            return PipeRead{};
        }
        if (auto* outcome = std::get_if<PipeRead>(&step)) {
            const PipeRead copy = *outcome;
            reads.pop_front();
            return copy;
        }
        const std::string& bytes = std::get<std::string>(step);
        const std::size_t count = std::min(bytes.size() - offset_, buffer.size());
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset_), count, buffer.begin());
        offset_ += count;
        if (offset_ == bytes.size()) {
            reads.pop_front();
            offset_ = 0;
        }
        bytes_read += count;
        return PipeRead{PipeRead::Kind::data, count, {}};
    }
    void write(std::string_view bytes) override {
        written.emplace_back(bytes);
        events.push_back("write");
        if (stop_after_write) {
            stop_.set();
        }
    }
    std::expected<std::string, std::string> caller_sid() override {
        if (sid_queries++ == 0) {
            bytes_before_first_sid_query = bytes_read;
        }
        return sid;
    }
    std::expected<std::uint32_t, std::string> client_pid() override { return pid; }

private:
    StopFlag& stop_;
    std::size_t offset_ = 0;  // into the piece at the front of `reads`
};

// Time moves only when the code under test pauses.
class FakeClock final : public Clock {
public:
    std::chrono::steady_clock::time_point now() override { return now_; }
    void pause(std::chrono::milliseconds duration) override {
        now_ += duration;
        pauses.push_back(duration);
    }
    std::chrono::steady_clock::duration elapsed() const {
        return now_ - std::chrono::steady_clock::time_point{};
    }
    std::vector<std::chrono::milliseconds> pauses;

private:
    std::chrono::steady_clock::time_point now_{};
};

// The context a request runs in, made of the fakes above.
struct FakeContext {
    FakeContext() { system.inspector = &inspector; }
    FakeContext(const FakeContext&) = delete;
    FakeContext& operator=(const FakeContext&) = delete;

    FakeSystem system;
    FakeClock clock;
    StopFlag stop;
    FakeInspector inspector;
    InstallationChecks checks{inspector, TrustPolicy()};
    std::vector<Json> recovered_from;
    std::expected<Json, std::string> recovery = std::unexpected(std::string("no recovery"));
    ServiceContext context{system, clock, stop, checks, [this](const Json& config) {
                               recovered_from.push_back(config);
                               return recovery;
                           }};
};

}  // namespace vemla::service::testing_support
