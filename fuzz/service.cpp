// One client of the service, from the bytes it writes into the pipe to the reply it reads back:
// the request reader, the envelope and the operations (start reaching a scripted engine) over
// fake processes, files in a directory of the run's own, and a clock that moves only when the
// service pauses.
//
// Input: a flag byte, then two bytes (little-endian) per split point, then the client's bytes.
// Flag bits 0-2: the number of split points, where the client's bytes are cut into separate
// writes with a pause between them; bit 3: the client closes its end after its last write;
// bit 4: a connection owned by another session is running; bit 5: an installer holds an update
// reservation.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fakes.h"
#include "fuzz_support.h"
#include "helper_protocol/constants.h"
#include "pipe_server.h"

using namespace vemla;
using namespace vemla::service;
using namespace vemla::service::testing_support;

namespace {

enum Step : std::size_t { kInput, kReplied, kSucceeded, kLaunched, kRunning };
fuzz::Stages stages{"inputs", "replied", "ok", "engine-launched", "engine-running"};

constexpr std::uint32_t kClientPid = 77;
constexpr std::uint32_t kInstallerPid = 500;

// An installation with the built-in rule sources, made once per run and removed at its end.
struct Installation {
    std::filesystem::path root = std::filesystem::temp_directory_path() /
                                 ("vemla-fuzz-service-" + std::to_string(std::random_device()()));
    TestInstallation dirs =
        lay_out_installation(root, std::filesystem::path(VEMLA_EXAMPLES_DIR) / "rules");

    Installation() = default;
    ~Installation() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;
};

const Installation& installation() {
    static const Installation made;
    return made;
}

// The client's writes: its bytes cut at the chosen offsets, a pause between two of them.
std::deque<ReadStep> client_writes(std::string_view bytes, std::vector<std::size_t> cuts,
                                   bool closes) {
    std::ranges::sort(cuts);
    std::deque<ReadStep> steps;
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        if (cut > from) {
            steps.emplace_back(std::string(bytes.substr(from, cut - from)));
            steps.emplace_back(NoData{});
            from = cut;
        }
    }
    if (from < bytes.size()) {
        steps.emplace_back(std::string(bytes.substr(from)));
    }
    if (closes) {
        steps.emplace_back(PipeRead{PipeRead::Kind::closed, 0, "The pipe has been ended."});
    }
    return steps;
}

void check_reply(const std::string& written) {
    fuzz::require(written.size() <= helper_protocol::kMaxReplyBytes, "the reply fits its limit");
    fuzz::require(written.ends_with('\n'), "the reply ends with a line feed");
    const auto reply = parse_json(std::string_view(written).substr(0, written.size() - 1));
    fuzz::require(reply.has_value() && reply->is_object(), "the reply is a JSON object");
    const auto ok = reply->find("ok");
    fuzz::require(ok != reply->end() && ok->is_boolean(), "the reply says whether it is ok");
    if (ok->get<bool>()) {
        stages.reached(kSucceeded);
    } else {
        const auto error = reply->find("error");
        fuzz::require(error != reply->end() && error->is_string(), "a failure carries its text");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    stages.reached(kInput);
    std::string_view input = fuzz::as_text(data, size);
    if (input.empty()) {
        return -1;
    }
    const std::uint8_t flags = data[0];
    const std::size_t splits = flags & 7u;
    if (input.size() < 1 + 2 * splits) {
        return -1;
    }
    const std::string_view bytes = input.substr(1 + 2 * splits);
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < splits; ++i) {
        const std::size_t offset = data[1 + 2 * i] | std::size_t{data[2 + 2 * i]} << 8;
        cuts.push_back(offset % (bytes.size() + 1));
    }

    const Installation& place = installation();
    FakeContext fake;
    fake.system.processes[kClientPid] = make_control("client", kClientPid, nullptr);
    fake.system.processes[kInstallerPid] = make_control("installer", kInstallerPid, nullptr);
    fake.system.lineages[kClientPid] = ProcessLineage{kInstallerPid, 200};
    ServiceState state;
    state.install_dir = place.dirs.install_dir;
    state.data_dir = place.dirs.data_dir;
    state.owner_sid = kOwnerSid;
    RunningConnection running;
    if ((flags & 0x10u) != 0) {
        running.install(state, kSessionB);
    }
    if ((flags & 0x20u) != 0) {
        state.reservation = Reservation{kSessionB, std::make_unique<FakeProcess>(make_control(
                                                       "installer", kInstallerPid, nullptr))};
    }

    FakePipe pipe(fake.stop);
    pipe.pid = kClientPid;
    pipe.connections = {ConnectState::connected};
    pipe.reads = client_writes(bytes, std::move(cuts), (flags & 0x08u) != 0);
    serve(fake.context, pipe, state);

    fuzz::require(pipe.written.size() == 1, "one reply for one connection");
    stages.reached(kReplied);
    check_reply(pipe.written.front());
    if (fake.system.launched.empty()) {
        return 0;
    }
    stages.reached(kLaunched);
    if (state.engine != nullptr && state.engine->pid() != running.engine->pid) {
        stages.reached(kRunning);
    }
    return 0;
}
