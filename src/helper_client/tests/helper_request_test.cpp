#include "helper_client/helper_request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "fakes.h"

namespace vemla::helper_client {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

const Json kStatus = {{"version", 1}, {"op", "status"}};

// The whole client over scripted fakes, with a lock of its own so that no test can spoil the
// process's lock for another.
class Request : public testing::Test {
protected:
    std::expected<Json, std::string> send(const Json& request = kStatus) {
        return send_request(
            request, system_, clock_,
            [this](std::string_view configured) -> std::expected<void, std::string> {
                ++checks_;
                if (configured != installed_) {
                    return std::unexpected(std::string("not installed"));
                }
                return {};
            },
            lock_);
    }

    FakeClock clock_;
    FakeSystem system_{clock_};
    CommunicationLock lock_;
    std::string installed_ = "\"C:\\Program Files\\VemlaHelper\\vemla-tun-helper.exe\"";
    int checks_ = 0;
};

TEST_F(Request, ProvesTheServerThenExchangesAndClosesThePipe) {
    system_.pipe->reads = {Step::reading("{\"ok\":true,\"running\":false}\n")};

    const auto reply = send();

    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ(*reply, (Json{{"ok", true}, {"running", false}}));
    EXPECT_EQ(system_.pipe->written, "{\"op\":\"status\",\"version\":1}\n!");
    EXPECT_EQ(checks_, 1);
    EXPECT_EQ(*system_.log,
              (EventLog{"pipe:open", "pipe:server_pid", "scm:connect", "scm:open_service",
                        "scm:status", "scm:size", "scm:configuration", "scm:close",
                        "pipe:nonblocking", "pipe:write", "pipe:write", "pipe:close"}));
}

TEST_F(Request, ServiceRefusalIsReturnedUnchanged) {
    system_.pipe->reads = {Step::reading(
        "{\"error\":\"Connection belongs to another client session\",\"ok\":false}\n")};
    const auto reply = send();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "Connection belongs to another client session");
    EXPECT_TRUE(system_.pipe->closed);
}

struct RefusedCase {
    const char* name;
    void (*arrange)(FakeSystem&, std::string& installed);
    std::string message;
};

void PrintTo(const RefusedCase& c, std::ostream* out) {
    *out << c.name;
}

class Refused : public Request, public testing::WithParamInterface<RefusedCase> {};

// Whatever the server is, when it is not proved to be the service, not one byte reaches it.
TEST_P(Refused, UnprovedServerReceivesNoByte) {
    GetParam().arrange(system_, installed_);
    const auto reply = send();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), GetParam().message);
    EXPECT_EQ(system_.pipe->write_calls, 0);
    EXPECT_TRUE(system_.pipe->closed);
    EXPECT_EQ(system_.service->open_controls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refused,
    testing::Values(
        RefusedCase{"look_alike", [](FakeSystem& s, std::string&) { s.service->process_id = 999u; },
                    "Pipe server does not match the running installed service"},
        RefusedCase{"unquoted_registration",
                    [](FakeSystem& s, std::string&) {
                        s.service->binary_path =
                            u"C:\\Program Files\\VemlaHelper\\vemla-tun-helper.exe";
                    },
                    "not installed"},
        RefusedCase{"registered_elsewhere",
                    [](FakeSystem&, std::string& installed) { installed = "\"D:\\x.exe\""; },
                    "not installed"}),
    [](const testing::TestParamInfo<RefusedCase>& case_info) { return case_info.param.name; });

TEST_F(Request, ClosesThePipeWhenTheExchangeFails) {
    system_.pipe->reads = {Step::reading("{\"ok\":tru}\n")};
    const auto bad_json = send();
    ASSERT_FALSE(bad_json.has_value());
    EXPECT_EQ(bad_json.error(), parse_json("{\"ok\":tru}\n").error());
    EXPECT_TRUE(system_.pipe->closed);

    system_.pipe->closed = false;
    const auto silent = send();
    ASSERT_FALSE(silent.has_value());
    EXPECT_EQ(silent.error(), "Helper response timeout");
    EXPECT_TRUE(system_.pipe->closed);
}

TEST_F(Request, NoPipeIsTheNotAvailableText) {
    system_.fails_forever = true;
    const auto reply = send();
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(),
              "Защищённый помощник недоступен. Установите его один раз с подтверждением Windows.");
    EXPECT_EQ(system_.opens, 1);
    EXPECT_EQ(system_.service->open_controls, 0);
}

// A request whose compact JSON has exactly `bytes` bytes.
Json request_of_size(std::size_t bytes) {
    const std::string head = "{\"document\":\"";
    const std::string tail = "\",\"op\":\"status\",\"version\":1}";
    return Json{{"version", 1},
                {"op", "status"},
                {"document", std::string(bytes - head.size() - tail.size(), 'd')}};
}

TEST(Framing, RequestIsItsCompactJsonAndALineFeed) {
    const auto framed = frame_request(Json{{"version", 1}, {"op", "status"}, {"a", {1, 2}}});
    ASSERT_TRUE(framed.has_value()) << framed.error();
    EXPECT_EQ(*framed, "{\"a\":[1,2],\"op\":\"status\",\"version\":1}\n");
}

TEST(Framing, JsonOfAtMost16777215BytesIsSent) {
    const auto largest = frame_request(request_of_size(16777215));
    ASSERT_TRUE(largest.has_value()) << largest.error();
    EXPECT_EQ(largest->size(), 16777216u);
    EXPECT_EQ(largest->back(), '\n');

    const auto larger = frame_request(request_of_size(16777216));
    ASSERT_FALSE(larger.has_value());
    EXPECT_EQ(larger.error(), "Helper request exceeds 512 KiB");
}

TEST_F(Request, OversizedRequestNeverOpensThePipe) {
    const auto reply = send(request_of_size(16777216));
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "Helper request exceeds 512 KiB");
    EXPECT_EQ(system_.opens, 0);
}

TEST(Lock, SecondHolderWaitsForTheFirst) {
    CommunicationLock lock;
    std::atomic<bool> second_holds = false;
    std::optional<std::expected<CommunicationLock::Hold, std::string>> first(lock.take());
    ASSERT_TRUE(first->has_value());
    std::thread second([&] {
        const auto hold = lock.take();
        EXPECT_TRUE(hold.has_value());
        second_holds = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(second_holds);
    first.reset();
    second.join();
    EXPECT_TRUE(second_holds);
}

// A system whose pipe cannot be opened without an exception, as when memory runs out.
class ThrowingSystem final : public ClientSystem {
public:
    int opens = 0;
    std::expected<std::unique_ptr<PipeEnd>, OpenFailure> open_pipe() override {
        ++opens;
        throw std::runtime_error("out of memory");
    }
    std::unique_ptr<ServiceControl> service_control() override { return nullptr; }
};

TEST(Lock, ExchangeLeftByAnExceptionMakesTheLockUnusable) {
    CommunicationLock lock;
    ThrowingSystem system;
    FakeClock clock;
    const ServicePathCheck accept_all = [](std::string_view) -> std::expected<void, std::string> {
        return {};
    };
    EXPECT_THROW((void)send_request(kStatus, system, clock, accept_all, lock), std::runtime_error);

    const auto reply = send_request(kStatus, system, clock, accept_all, lock);
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), "Helper communication lock failed");
    EXPECT_EQ(system.opens, 1);
}

TEST(Lock, OrdinaryFailuresLeaveTheLockUsable) {
    CommunicationLock lock;
    FakeClock clock;
    FakeSystem system(clock);
    system.fails_forever = true;
    const ServicePathCheck accept_all = [](std::string_view) -> std::expected<void, std::string> {
        return {};
    };
    for (int i = 0; i < 3; ++i) {
        const auto reply = send_request(kStatus, system, clock, accept_all, lock);
        ASSERT_FALSE(reply.has_value());
        EXPECT_NE(reply.error(), "Helper communication lock failed");
    }
    EXPECT_TRUE(lock.take().has_value());
}

}  // namespace
}  // namespace vemla::helper_client
