// A request whose memory runs out is answered, frees what it held, and the next client is
// served. The allocator of this test program fails the one allocation it is told to, among those
// of text: every string's room is its capacity and a terminating byte, an odd size that nothing
// else here asks for, and text is grown in reading, parsing, validation, compiling and writing
// alike. Other allocations are spared, as the JSON library's destructor grows a list of the
// values it takes apart and cannot survive a failure there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <new>

#include "fakes.h"
#include "json/json_text.h"
#include "pipe_server.h"
#include "test_directory.h"

namespace {

thread_local bool allocator_armed = false;
// Text allocations until the one that fails; zero: none. Counted only while armed.
thread_local long text_until_failure = 0;
thread_local long text_count = 0;

bool is_text(std::size_t size) {
    return size % 2 == 1;
}

void* allocate(std::size_t size) {
    if (allocator_armed && is_text(size)) {
        ++text_count;
        if (--text_until_failure == 0) {
            allocator_armed = false;
            throw std::bad_alloc();
        }
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace vemla::service {
namespace {

using namespace testing_support;

constexpr std::string_view kOutOfMemory =
    R"({"error":"Not enough memory for the request","ok":false})";

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Clients one after the other, each writing one request. What the service writes back reaches
// the test whatever the allocator does, as a write to a real pipe needs no memory of the
// service's; what a client wrote and the service did not read is gone with its connection.
class Clients final : public Pipe {
public:
    Clients(StopFlag& stop, std::deque<std::string> requests)
        : stop_(stop), requests_(std::move(requests)) {}
    std::vector<std::string> written;

    ConnectState connect() override {
        if (requests_.empty()) {
            stop_.set();
            return ConnectState::waiting;
        }
        return ConnectState::connected;
    }
    void disconnect() override {
        requests_.pop_front();
        offset_ = 0;
    }
    PipeRead read(std::span<char> buffer) override {
        const std::string& request = requests_.front();
        const std::size_t count = std::min(request.size() - offset_, buffer.size());
        if (count == 0) {
            return PipeRead{};
        }
        std::copy_n(request.begin() + static_cast<std::ptrdiff_t>(offset_), count, buffer.begin());
        offset_ += count;
        return PipeRead{PipeRead::Kind::data, count, {}};
    }
    void write(std::string_view bytes) override {
        const bool armed = std::exchange(allocator_armed, false);
        written.emplace_back(bytes);
        allocator_armed = armed;
    }
    std::expected<std::string, std::string> caller_sid() override { return std::string(kOwnerSid); }
    std::expected<std::uint32_t, std::string> client_pid() override { return 77u; }

private:
    StopFlag& stop_;
    std::deque<std::string> requests_;
    std::size_t offset_ = 0;
};

class OutOfMemory : public testing::Test {
protected:
    void SetUp() override {
        root_ = make_test_directory("vemla-memory-");
        installation_ =
            lay_out_installation(root_, std::filesystem::path(VEMLA_EXAMPLES_DIR) / "rules");
        auto request = parse_json(
            read_text(std::filesystem::path(VEMLA_EXAMPLES_DIR) / "groups-and-rule-sets.json"));
        ASSERT_TRUE(request.has_value()) << request.error();
        (*request)["session"] = kSessionA;
        start_ = to_compact_json(*request) + "\n";
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    // Serves a start and then a status, the text allocation numbered `failing` (counted from
    // the start's first) failing; zero: none. Returns the replies.
    std::vector<std::string> serve_two(long failing) {
        FakeContext fake;
        fake.system.processes[77] = make_control("client", 77, nullptr);
        ServiceState state;
        state.install_dir = installation_.install_dir;
        state.data_dir = installation_.data_dir;
        state.owner_sid = kOwnerSid;
        Clients pipe(fake.stop, {start_, std::string(R"({"op":"status","version":1})"
                                                     "\n")});
        text_until_failure = failing;
        text_count = 0;
        allocator_armed = true;
        serve(fake.context, pipe, state);
        allocator_armed = false;
        return pipe.written;
    }

    std::filesystem::path root_;
    TestInstallation installation_;
    std::string start_;
};

TEST_F(OutOfMemory, AtAnyTextAllocationFailsThatRequestAloneWithAReply) {
    const auto normal = serve_two(0);
    ASSERT_EQ(normal.size(), 2u);
    ASSERT_TRUE(normal[0].starts_with(R"({"adapter_recovered":false,)")) << normal[0];
    const long allocations = text_count;
    ASSERT_GT(allocations, 50);  // the count depends on the length of the test's paths

    const std::string refused = std::string(kOutOfMemory) + "\n";
    long refused_starts = 0;
    for (long n = 1; n <= allocations; ++n) {
        const auto replies = serve_two(n);
        ASSERT_EQ(replies.size(), 2u) << "failing allocation " << n;
        if (replies[0] == refused) {
            // Nothing of the refused start is left: the status finds the service idle.
            ++refused_starts;
            EXPECT_TRUE(replies[1].starts_with(R"({"adapter_recovered":false,)")) << n;
            EXPECT_NE(replies[1].find(R"("running":false)"), std::string::npos) << n;
        } else {
            EXPECT_EQ(replies[0], normal[0]) << n;
            EXPECT_EQ(replies[1], refused) << n;
        }
    }
    EXPECT_GT(refused_starts, allocations / 2);
}

}  // namespace
}  // namespace vemla::service
