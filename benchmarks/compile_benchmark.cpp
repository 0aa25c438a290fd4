// Measures the whole road of a start request, from the raw request bytes to the bytes of
// active.json (parse, validate, collect rule sources, compile settings, compile, serialise),
// against a bare parse and serialise of the same bytes with the same JSON library, on a typical
// request and on one at the limits. Prints the median times, their ratio and the peak memory of
// each road, the latter measured in a fresh child process per road.
//
// usage: vemla_compile_benchmark [--runs-typical N] [--runs-worst N]

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "helper_protocol/rule_sources.h"
#include "helper_protocol/validation.h"
#include "json/json_text.h"
#include "requests.h"
#include "xray_native/compiler.h"
#include "xray_native/inbounds.h"
#include "xray_native/start_request.h"

namespace {

using vemla::Json;

using vemla::benchmarks::typical_request;
using vemla::benchmarks::worst_request;

// ---------------------------------------------------------------------------------------------
// The two roads.

// What the service does with a start request before it launches the engine. Returns the
// document text, or the refusal prefixed with "!".
std::string full_road(std::string_view request_text) {
    auto request = vemla::parse_json(request_text);
    if (!request) {
        return "!" + request.error();
    }
    // The generated requests carry every rule source they name, so nothing is read from disk.
    auto prepared = vemla::xray_native::prepare_start(
        std::move((*request)["config"]), std::move((*request)["rules"]),
        std::filesystem::path(vemla::helper_protocol::kDefaultInstallDirectory),
        std::filesystem::path(vemla::helper_protocol::kDefaultDataDirectory),
        [](std::string_view tag) -> std::expected<std::string, std::string> {
            return std::unexpected("no built-in rule source " + std::string(tag));
        });
    if (!prepared) {
        return "!" + prepared.error();
    }
    auto document =
        vemla::xray_native::compile_engine_document(prepared->config, prepared->rule_sources);
    if (!document) {
        return "!" + document.error();
    }
    return vemla::to_compact_json(*document);
}

// The full road once more, step by step, for the breakdown printed with the figures.
void print_breakdown(std::string_view request_text) {
    using Clock = std::chrono::steady_clock;
    std::vector<std::pair<const char*, double>> steps;
    auto last = Clock::now();
    const auto lap = [&](const char* name) {
        const auto now = Clock::now();
        steps.emplace_back(name, std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
    };
    auto request = vemla::parse_json(request_text);
    lap("parse");
    Json config = std::move((*request)["config"]);
    Json rules = std::move((*request)["rules"]);
    auto validated = vemla::helper_protocol::validate_privileged_config(
        std::move(config), rules,
        std::filesystem::path(vemla::helper_protocol::kDefaultInstallDirectory),
        std::filesystem::path(vemla::helper_protocol::kDefaultDataDirectory));
    lap("validate");
    auto rule_sources = vemla::helper_protocol::collect_rule_sources(
        *validated, std::move(rules),
        [](std::string_view) -> std::expected<std::string, std::string> {
            return std::unexpected("none");
        });
    lap("rule sources");
    auto settings = vemla::xray_native::extract_compile_settings(*validated, *rule_sources);
    settings->api_port = vemla::helper_protocol::kNativeApiPort;
    auto document = vemla::xray_native::compile_xray_document(*validated, *settings);
    lap("compile");
    const std::string text = vemla::to_compact_json(*document);
    lap("serialise");
    std::printf("  full road by step:");
    for (const auto& [name, ms] : steps) {
        std::printf("  %s %.1f ms", name, ms);
    }
    std::printf("\n");
}

std::string bare_road(std::string_view request_text) {
    auto request = vemla::parse_json(request_text);
    if (!request) {
        return "!" + request.error();
    }
    return vemla::to_compact_json(*request);
}

// ---------------------------------------------------------------------------------------------
// Measuring.

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs `road` once; its output is kept so that every run's bytes can be compared.
template <class Road>
double time_once(Road road, const std::string& text, std::string& out) {
    const auto start = std::chrono::steady_clock::now();
    out = road(text);
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(stop - start).count();
}

// Peak resident memory, in KiB, of a fresh copy of this program that reads `file` and, unless
// `road` is "read", runs that road on it once. The child reports its own high-water mark: the
// rusage of a child also counts the pages it shared with this process before its exec.
long child_peak_kib(const std::string& self, const std::string& road, const std::string& file) {
    const std::string command = "'" + self + "' --child " + road + " '" + file + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    long kib = -1;
    if (std::fscanf(pipe, "%ld", &kib) != 1) {
        kib = -1;
    }
    return pclose(pipe) == 0 ? kib : -1;
}

int run_child(const std::string& road, const std::string& file) {
    std::string text;
    {
        std::ifstream in(file, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (text.empty()) {
        return 1;
    }
    if (road != "read") {
        const std::string out = road == "full" ? full_road(text) : bare_road(text);
        if (out.empty() || out.front() == '!') {
            return 1;
        }
    }
    std::printf("%ld\n", vemla::benchmarks::own_peak_kib());
    return 0;
}

struct Case {
    const char* name;
    std::string text;
    int runs;
};

void measure(const std::string& self, const Case& c) {
    const std::string out = full_road(c.text);
    if (out.empty() || out.front() == '!') {
        std::printf("%s: the request is refused: %s\n", c.name, out.c_str());
        std::exit(1);
    }
    const auto document = vemla::parse_json(out);
    const std::size_t routing_rules = document->at("routing").at("rules").size();

    std::vector<double> full_ms;
    std::vector<double> bare_ms;
    bool identical = true;
    std::string run_out;
    for (int i = 0; i < c.runs; ++i) {
        full_ms.push_back(time_once(full_road, c.text, run_out));
        identical = identical && run_out == out;
        bare_ms.push_back(time_once(bare_road, c.text, run_out));
    }
    const double full = median(full_ms);
    const double bare = median(bare_ms);

    const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("vemla-bench-" + std::to_string(getpid()) + "-" + c.name + ".json");
    {
        std::ofstream stream(file, std::ios::binary);
        stream << c.text;
    }
    const long read_kib = child_peak_kib(self, "read", file.string());
    const long bare_kib = child_peak_kib(self, "bare", file.string());
    const long full_kib = child_peak_kib(self, "full", file.string());
    std::filesystem::remove(file);

    std::printf("%s request: %zu bytes in, %zu bytes of active.json, %zu routing rules, %d runs\n",
                c.name, c.text.size(), out.size(), routing_rules, c.runs);
    std::printf("  median time   full %9.2f ms   bare %9.2f ms   ratio %.2f (target <= 2.5)\n",
                full, bare, full / bare);
    std::printf("  peak memory   full %9.1f MiB  bare %9.1f MiB  ratio %.2f (target <= 3)\n",
                static_cast<double>(full_kib) / 1024, static_cast<double>(bare_kib) / 1024,
                static_cast<double>(full_kib) / static_cast<double>(bare_kib));
    std::printf("  (a process that only reads the request peaks at %.1f MiB)\n",
                static_cast<double>(read_kib) / 1024);
    std::printf("  every run wrote the same bytes: %s\n", identical ? "yes" : "NO");
    print_breakdown(c.text);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "--child") {
        return run_child(args[1], args[2]);
    }
    int typical_runs = 31;
    int worst_runs = 7;
    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == "--runs-typical") {
            typical_runs = std::max(1, std::atoi(args[i + 1].c_str()));
        } else if (args[i] == "--runs-worst") {
            worst_runs = std::max(1, std::atoi(args[i + 1].c_str()));
        }
    }
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    measure(self, Case{"typical", typical_request(), typical_runs});
    measure(self, Case{"worst", worst_request(), worst_runs});
    return 0;
}
