// Peak resident memory of the service while it serves the largest request it accepts, from the
// client's bytes to the reply, over the service tests' fakes (real files, a scripted engine).
// Prints figures; asserts nothing.
//
// usage: vemla_service_memory_benchmark [typical|worst]

#include <cstdio>
#include <fstream>
#include <string>

#include "fakes.h"
#include "pipe_server.h"
#include "requests.h"

using namespace vemla::service;
using namespace vemla::service::testing_support;

int main(int argc, char** argv) {
    const std::string which = argc > 1 ? argv[1] : "worst";
    const std::string request = (which == "typical" ? vemla::benchmarks::typical_request()
                                                    : vemla::benchmarks::worst_request()) +
                                "\n";

    const auto root = std::filesystem::temp_directory_path() /
                      ("vemla-service-memory-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root);
    const TestInstallation place =
        lay_out_installation(root, std::filesystem::path(VEMLA_EXAMPLES_DIR) / "rules");
    // The mark starts again from what is resident now, the request's generation forgotten.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = vemla::benchmarks::own_peak_kib();
    {
        FakeContext fake;
        fake.system.processes[77] = make_control("client", 77, nullptr);
        ServiceState state;
        state.install_dir = place.install_dir;
        state.data_dir = place.data_dir;
        state.owner_sid = kOwnerSid;
        FakePipe pipe(fake.stop);
        pipe.connections = {ConnectState::connected};
        pipe.reads = {request};
        serve(fake.context, pipe, state);
        const std::string& reply = pipe.written.empty() ? std::string("none") : pipe.written[0];
        std::printf("%s request: %zu bytes; reply: %.60s\n", which.c_str(), request.size(),
                    reply.c_str());
    }
    const long peak = vemla::benchmarks::own_peak_kib();
    std::printf(
        "peak resident memory: %.1f MiB (%.1f MiB resident before serving, growth %.1fx "
        "the request)\n",
        static_cast<double>(peak) / 1024, static_cast<double>(before) / 1024,
        static_cast<double>(peak - before) * 1024 / static_cast<double>(request.size()));
    std::filesystem::remove_all(root);
    return 0;
}
