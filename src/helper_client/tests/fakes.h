#pragma once

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "helper_client/client_system.h"
#include "platform/clock.h"

namespace vemla::helper_client::testing_support {

// What happened to the fake objects, in order.
using EventLog = std::vector<std::string>;

// Time moves only when the code under test pauses, or when a fake call says it took time.
class FakeClock final : public platform::Clock {
public:
    std::chrono::steady_clock::time_point now() override { return now_; }
    void pause(std::chrono::milliseconds duration) override {
        now_ += duration;
        pauses.push_back(duration);
    }
    void advance(std::chrono::milliseconds duration) { now_ += duration; }
    std::chrono::milliseconds elapsed() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            now_ - std::chrono::steady_clock::time_point{});
    }
    std::vector<std::chrono::milliseconds> pauses;

private:
    std::chrono::steady_clock::time_point now_{};
};

// One scripted call on the pipe.
struct Step {
    enum class Kind { bytes, nothing, failure };
    Kind kind = Kind::nothing;
    std::string data;                  // read: what arrives
    std::size_t accept = 0;            // write: how many bytes the call takes
    std::string error;                 // failure: the text
    std::chrono::milliseconds took{};  // how long the call lasted

    static Step reading(std::string data) { return {Kind::bytes, std::move(data), 0, {}, {}}; }
    static Step accepting(std::size_t count) { return {Kind::bytes, {}, count, {}, {}}; }
    static Step none() { return {}; }
    static Step failing(std::string error) { return {Kind::failure, {}, 0, std::move(error), {}}; }
    Step lasting(std::chrono::milliseconds duration) && {
        took = duration;
        return std::move(*this);
    }
};

// The test's side of a fake pipe end: the script of its calls and what the client did.
struct PipeScript {
    std::deque<Step> writes;  // when empty, every write takes all it is given
    std::deque<Step> reads;   // when empty, every read finds nothing
    std::expected<std::uint32_t, std::string> server_pid = 4321u;
    std::optional<std::string> mode_error;
    std::string written;  // every byte the client wrote, the acknowledgement included
    int write_calls = 0;
    int read_calls = 0;
    bool closed = false;
    FakeClock* clock = nullptr;  // advanced by each call's `took`
    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
};

class FakePipe final : public PipeEnd {
public:
    explicit FakePipe(std::shared_ptr<PipeScript> script) : script_(std::move(script)) {}
    ~FakePipe() override {
        script_->closed = true;
        script_->log->push_back("pipe:close");
    }

    std::expected<std::uint32_t, std::string> server_pid() override {
        script_->log->push_back("pipe:server_pid");
        return script_->server_pid;
    }
    std::expected<void, std::string> make_nonblocking() override {
        script_->log->push_back("pipe:nonblocking");
        if (script_->mode_error) {
            return std::unexpected(*script_->mode_error);
        }
        return {};
    }
    std::expected<std::size_t, std::string> write(std::string_view bytes) override {
        script_->log->push_back("pipe:write");
        ++script_->write_calls;
        const Step step = next(script_->writes, Step::accepting(bytes.size()));
        if (step.kind == Step::Kind::failure) {
            return std::unexpected(step.error);
        }
        const std::size_t count =
            step.kind == Step::Kind::bytes ? std::min(step.accept, bytes.size()) : 0;
        script_->written.append(bytes.substr(0, count));
        return count;
    }
    PipeRead read(std::span<char> buffer) override {
        ++script_->read_calls;
        Step step = next(script_->reads, Step::none());
        if (step.kind == Step::Kind::failure) {
            return {PipeRead::Kind::failed, 0, step.error};
        }
        if (step.kind == Step::Kind::nothing) {
            return {PipeRead::Kind::nothing, 0, {}};
        }
        // Bytes beyond the buffer stay for the next read, as on a real pipe.
        const std::size_t count = std::min(step.data.size(), buffer.size());
        std::memcpy(buffer.data(), step.data.data(), count);
        if (count < step.data.size()) {
            script_->reads.push_front(Step::reading(step.data.substr(count)));
        }
        return {PipeRead::Kind::data, count, {}};
    }

private:
    Step next(std::deque<Step>& steps, Step otherwise) {
        if (steps.empty()) {
            return otherwise;
        }
        Step step = std::move(steps.front());
        steps.pop_front();
        if (script_->clock != nullptr) {
            script_->clock->advance(step.took);
        }
        return step;
    }

    std::shared_ptr<PipeScript> script_;
};

// What the fake service control manager reports, and a record of what was asked.
struct ServiceScript {
    std::optional<std::string> connect_error;
    std::optional<std::string> open_error;
    std::expected<std::uint32_t, std::string> process_id = 4321u;
    std::uint32_t configuration_size = 200;
    std::optional<std::string> configuration_error;
    // The binary path, written as UTF-16 units followed by a NUL at `path_offset` in the buffer.
    std::u16string binary_path = u"\"C:\\Program Files\\VemlaHelper\\vemla-tun-helper.exe\"";
    std::size_t path_offset = 64;
    // Replaces the computed address when set (a pointer outside the buffer, say).
    std::optional<std::uintptr_t> path_address;
    std::size_t buffer_bytes = 0;  // the size of the buffer the client passed
    int open_controls = 0;         // conversations not yet closed
    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
};

class FakeServiceControl final : public ServiceControl {
public:
    explicit FakeServiceControl(std::shared_ptr<ServiceScript> script)
        : script_(std::move(script)) {
        ++script_->open_controls;
    }
    ~FakeServiceControl() override {
        --script_->open_controls;
        script_->log->push_back("scm:close");
    }

    std::expected<void, std::string> connect() override {
        return step("scm:connect", script_->connect_error);
    }
    std::expected<void, std::string> open_service() override {
        return step("scm:open_service", script_->open_error);
    }
    std::expected<std::uint32_t, std::string> process_id() override {
        script_->log->push_back("scm:status");
        return script_->process_id;
    }
    std::uint32_t configuration_size() override {
        script_->log->push_back("scm:size");
        return script_->configuration_size;
    }
    std::expected<std::uintptr_t, std::string> read_configuration(
        std::span<std::uint64_t> buffer) override {
        script_->log->push_back("scm:configuration");
        script_->buffer_bytes = buffer.size_bytes();
        if (script_->configuration_error) {
            return std::unexpected(*script_->configuration_error);
        }
        auto* bytes = reinterpret_cast<std::byte*>(buffer.data());
        const std::u16string text = script_->binary_path + u'\0';
        const std::size_t room =
            buffer.size_bytes() - std::min(script_->path_offset, buffer.size_bytes());
        std::memcpy(bytes + std::min(script_->path_offset, buffer.size_bytes()), text.data(),
                    std::min(room, text.size() * sizeof(char16_t)));
        return script_->path_address.value_or(
            reinterpret_cast<std::uintptr_t>(bytes + script_->path_offset));
    }

private:
    std::expected<void, std::string> step(const char* event,
                                          const std::optional<std::string>& error) {
        script_->log->push_back(event);
        if (error) {
            return std::unexpected(*error);
        }
        return {};
    }

    std::shared_ptr<ServiceScript> script_;
};

// A system with one pipe and one service: the test scripts both.
class FakeSystem final : public ClientSystem {
public:
    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
    std::shared_ptr<PipeScript> pipe = std::make_shared<PipeScript>();
    std::shared_ptr<ServiceScript> service = std::make_shared<ServiceScript>();
    // Failed opening attempts before the pipe opens; when `fails_forever`, it never does.
    std::deque<OpenFailure> open_failures;
    bool fails_forever = false;
    OpenFailure forever = OpenFailure::other;
    int opens = 0;

    explicit FakeSystem(FakeClock& clock) {
        pipe->log = log;
        pipe->clock = &clock;
        service->log = log;
    }

    std::expected<std::unique_ptr<PipeEnd>, OpenFailure> open_pipe() override {
        ++opens;
        if (!open_failures.empty()) {
            const OpenFailure failure = open_failures.front();
            open_failures.pop_front();
            return std::unexpected(failure);
        }
        if (fails_forever) {
            return std::unexpected(forever);
        }
        log->push_back("pipe:open");
        return std::make_unique<FakePipe>(pipe);
    }
    std::unique_ptr<ServiceControl> service_control() override {
        return std::make_unique<FakeServiceControl>(service);
    }
};

}  // namespace vemla::helper_client::testing_support
