#include "helper_client/server_identity.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fakes.h"

namespace vemla::helper_client {
namespace {

using namespace testing_support;

constexpr const char* kBadPointer = "Invalid helper service executable path";
constexpr const char* kUnterminated = "Unterminated service executable path";
constexpr const char* kBadUtf16 = "Invalid UTF-16 service path";
constexpr const char* kInstalled = "\"C:\\Program Files\\VemlaHelper\\vemla-tun-helper.exe\"";

TEST(ConfigurationBufferSize, BoundedAndRoundedUpToEightBytes) {
    const struct {
        std::uint32_t needed;
        std::optional<std::size_t> size;
    } cases[] = {{0, std::nullopt},
                 {63, std::nullopt},
                 {64, 64},
                 {65, 72},
                 {71, 72},
                 {72, 72},
                 {65529, 65536},
                 {65536, 65536},
                 {65537, std::nullopt},
                 {0xFFFFFFFF, std::nullopt}};
    for (const auto& c : cases) {
        const auto size = configuration_buffer_size(c.needed);
        if (c.size) {
            ASSERT_TRUE(size.has_value()) << c.needed << ": " << size.error();
            EXPECT_EQ(*size, *c.size) << c.needed;
        } else {
            ASSERT_FALSE(size.has_value()) << c.needed;
            EXPECT_EQ(size.error(), "Invalid helper service configuration length");
        }
    }
}

// A configuration buffer of 128 bytes, aligned as the client allocates it, with UTF-16 text
// written where a case says.
class BinaryPath : public testing::Test {
protected:
    static constexpr std::size_t kBytes = 128;

    std::byte* bytes() { return reinterpret_cast<std::byte*>(buffer_.data()); }
    std::uintptr_t at(std::ptrdiff_t offset) {
        return reinterpret_cast<std::uintptr_t>(bytes()) + static_cast<std::uintptr_t>(offset);
    }
    void put(std::size_t offset, std::u16string_view units) {
        std::memcpy(bytes() + offset, units.data(),
                    std::min(units.size() * sizeof(char16_t), kBytes - offset));
    }
    std::expected<std::string, std::string> read(std::uintptr_t address) {
        return read_binary_path(std::as_bytes(std::span(buffer_)), address);
    }

    std::vector<std::uint64_t> buffer_ = std::vector<std::uint64_t>(kBytes / 8, 0);
};

TEST_F(BinaryPath, ReadsTheTextThePointerNames) {
    const struct {
        const char* name;
        std::size_t offset;
        std::u16string units;  // with their NUL
        std::string text;
    } cases[] = {
        {"ascii", 64, u"\"C:\\x.exe\"" + std::u16string(1, u'\0'), "\"C:\\x.exe\""},
        {"cyrillic", 64, u"C:\\Программы" + std::u16string(1, u'\0'), "C:\\Программы"},
        {"surrogate_pair", 64, u"C:\\\U0001D11E" + std::u16string(1, u'\0'), "C:\\\U0001D11E"},
        {"empty", 64, std::u16string(1, u'\0'), ""},
        {"at_the_start", 0, u"a" + std::u16string(1, u'\0'), "a"},
        // The NUL in the buffer's last two bytes.
        {"ends_at_the_buffer_end", kBytes - 4, u"z" + std::u16string(1, u'\0'), "z"},
    };
    for (const auto& c : cases) {
        std::ranges::fill(buffer_, 0xFFFF'FFFF'FFFF'FFFF);
        put(c.offset, c.units);
        const auto text = read(at(static_cast<std::ptrdiff_t>(c.offset)));
        ASSERT_TRUE(text.has_value()) << c.name << ": " << text.error();
        EXPECT_EQ(*text, c.text) << c.name;
    }
}

TEST_F(BinaryPath, PointerOutsideTheBufferOrOddIsRefused) {
    put(64, u"C:\\x.exe");
    const struct {
        const char* name;
        std::uintptr_t address;
    } cases[] = {
        {"null", 0},
        {"before", at(-2)},
        {"at_the_end", at(kBytes)},
        {"far_after", at(4096)},
        {"odd", at(65)},
        {"odd_last_byte", at(kBytes - 1)},
    };
    for (const auto& c : cases) {
        const auto text = read(c.address);
        ASSERT_FALSE(text.has_value()) << c.name << ": " << *text;
        EXPECT_EQ(text.error(), kBadPointer) << c.name;
    }
}

TEST_F(BinaryPath, TextMustEndInsideTheBufferAndBeUtf16) {
    const struct {
        const char* name;
        std::u16string units;  // from offset 64 to the end of the buffer
        const char* message;
    } cases[] = {
        {"no_nul", std::u16string(32, u'a'), kUnterminated},
        {"lone_high_surrogate", std::u16string(u"C:\\\xD834") + u'\0', kBadUtf16},
        {"lone_low_surrogate", std::u16string(u"C:\\\xDD1Ex") + u'\0', kBadUtf16},
        {"swapped_pair", std::u16string(u"\xDD1E\xD834") + u'\0', kBadUtf16},
        {"high_surrogate_before_nul", std::u16string(u"\xD834") + u'\0', kBadUtf16},
    };
    for (const auto& c : cases) {
        std::ranges::fill(buffer_, 0x0041'0041'0041'0041);
        put(64, c.units);
        const auto text = read(at(64));
        ASSERT_FALSE(text.has_value()) << c.name << ": " << *text;
        EXPECT_EQ(text.error(), c.message) << c.name;
    }
}

TEST_F(BinaryPath, TextMustNotReadPastASpanShorterThanItsStorage) {
    // The span ends at 100 bytes; the storage holds a NUL at 100 that must not be seen.
    std::ranges::fill(buffer_, 0x0041'0041'0041'0041);
    put(100, std::u16string(1, u'\0'));
    const auto text = read_binary_path(std::as_bytes(std::span(buffer_)).first(100), at(64));
    ASSERT_FALSE(text.has_value()) << *text;
    EXPECT_EQ(text.error(), kUnterminated);
}

// The proof against a scripted pipe and manager: the service runs in the pipe server's process
// and its binary path is the installed one, unless a case changes one fact.
class ServerProof : public testing::Test {
protected:
    std::expected<void, std::string> verify() {
        FakePipe pipe(system_.pipe);
        return verify_server(pipe, system_, [this](std::string_view configured) {
            checked_.emplace_back(configured);
            return check_result_;
        });
    }

    FakeClock clock_;
    FakeSystem system_{clock_};
    std::vector<std::string> checked_;
    std::expected<void, std::string> check_result_;
};

TEST_F(ServerProof, MatchingServiceWithItsPathPasses) {
    const auto proof = verify();
    ASSERT_TRUE(proof.has_value()) << proof.error();
    EXPECT_EQ(checked_, std::vector<std::string>{kInstalled});
    EXPECT_EQ(system_.service->buffer_bytes, 200u);
    EXPECT_EQ(system_.service->open_controls, 0);
    EXPECT_EQ(*system_.log,
              (EventLog{"pipe:server_pid", "scm:connect", "scm:open_service", "scm:status",
                        "scm:size", "scm:configuration", "scm:close", "pipe:close"}));
}

TEST_F(ServerProof, ConfigurationBufferIsRoundedUp) {
    system_.service->configuration_size = 201;
    ASSERT_TRUE(verify().has_value());
    EXPECT_EQ(system_.service->buffer_bytes, 208u);
}

TEST_F(ServerProof, PathCheckRefusalIsTheMessage) {
    check_result_ = std::unexpected(
        std::string("Helper service executable is not the exact protected installation"));
    system_.service->binary_path = u"C:\\Program Files\\VemlaHelper\\vemla-tun-helper.exe";
    const auto proof = verify();
    ASSERT_FALSE(proof.has_value());
    EXPECT_EQ(proof.error(), "Helper service executable is not the exact protected installation");
    EXPECT_EQ(checked_,
              std::vector<std::string>{"C:\\Program Files\\VemlaHelper\\vemla-tun-helper.exe"});
    // The manager's handles are closed before the path is judged.
    EXPECT_EQ(system_.service->open_controls, 0);
}

struct ProofFailure {
    const char* name;
    void (*arrange)(FakeSystem&);
    std::string message;
};

void PrintTo(const ProofFailure& c, std::ostream* out) {
    *out << c.name;
}

class ServerProofFailure : public ServerProof, public testing::WithParamInterface<ProofFailure> {};

TEST_P(ServerProofFailure, FirstFailingStepGivesItsMessage) {
    GetParam().arrange(system_);
    const auto proof = verify();
    ASSERT_FALSE(proof.has_value());
    EXPECT_EQ(proof.error(), GetParam().message);
    EXPECT_TRUE(checked_.empty());
    EXPECT_EQ(system_.service->open_controls, 0);
    EXPECT_EQ(system_.pipe->write_calls, 0);
}

const std::string kDenied = "Access is denied. (os error 5)";
const std::string kMissing =
    "The specified service does not exist as an installed service. (os error 1060)";

INSTANTIATE_TEST_SUITE_P(
    Steps, ServerProofFailure,
    testing::Values(
        ProofFailure{"server_pid",
                     [](FakeSystem& s) {
                         s.pipe->server_pid = std::unexpected(kDenied);
                         s.service->connect_error = "not reached";
                     },
                     "Pipe server PID: " + kDenied},
        ProofFailure{"manager", [](FakeSystem& s) { s.service->connect_error = kDenied; },
                     "SCM connect: " + kDenied},
        ProofFailure{"service_missing", [](FakeSystem& s) { s.service->open_error = kMissing; },
                     "Helper service query configuration/status: " + kMissing},
        ProofFailure{"status",
                     [](FakeSystem& s) { s.service->process_id = std::unexpected(kDenied); },
                     "Helper SCM status: " + kDenied},
        ProofFailure{"other_process",
                     [](FakeSystem& s) {
                         s.service->process_id = 1234u;
                         s.service->configuration_error = "not reached";
                     },
                     "Pipe server does not match the running installed service"},
        ProofFailure{"service_stopped", [](FakeSystem& s) { s.service->process_id = 0u; },
                     "Pipe server does not match the running installed service"},
        ProofFailure{"size_too_small", [](FakeSystem& s) { s.service->configuration_size = 63; },
                     "Invalid helper service configuration length"},
        ProofFailure{"size_not_reported", [](FakeSystem& s) { s.service->configuration_size = 0; },
                     "Invalid helper service configuration length"},
        ProofFailure{"size_too_large", [](FakeSystem& s) { s.service->configuration_size = 65537; },
                     "Invalid helper service configuration length"},
        ProofFailure{"configuration",
                     [](FakeSystem& s) { s.service->configuration_error = kDenied; },
                     "Helper SCM configuration: " + kDenied},
        ProofFailure{"null_path", [](FakeSystem& s) { s.service->path_address = 0; }, kBadPointer},
        ProofFailure{"odd_path", [](FakeSystem& s) { s.service->path_offset = 65; }, kBadPointer},
        ProofFailure{"path_past_the_buffer", [](FakeSystem& s) { s.service->path_offset = 200; },
                     kBadPointer},
        ProofFailure{"unterminated_path",
                     [](FakeSystem& s) { s.service->binary_path = std::u16string(100, u'a'); },
                     kUnterminated},
        ProofFailure{"unpaired_surrogate",
                     [](FakeSystem& s) { s.service->binary_path = u"C:\\\xDC00.exe"; }, kBadUtf16}),
    [](const testing::TestParamInfo<ProofFailure>& case_info) { return case_info.param.name; });

TEST_F(ServerProof, WithoutAPathCheckNothingPasses) {
    FakePipe pipe(system_.pipe);
    const auto proof = verify_server(pipe, system_, ServicePathCheck{});
    ASSERT_FALSE(proof.has_value());
    EXPECT_FALSE(proof.error().empty());
}

}  // namespace
}  // namespace vemla::helper_client
