#include "checker.h"

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <istream>
#include <iterator>
#include <optional>
#include <ostream>
#include <system_error>

#include "helper_protocol/constants.h"
#include "helper_protocol/envelope.h"
#include "json/json_text.h"
#include "json/result.h"
#include "xray_native/start_request.h"

namespace vemla::tools {
namespace {

struct Options {
    bool help = false;
    bool validate_only = false;
    bool pretty = false;
    std::filesystem::path rules_dir;
    std::string request;  // "-" for standard input
};

std::filesystem::path utf8_path(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::optional<Options> parse_args(const std::vector<std::string>& args,
                                  const std::filesystem::path& default_rules_dir) {
    Options options;
    options.rules_dir = default_rules_dir;
    bool have_request = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help") {
            options.help = true;
        } else if (arg == "--validate-only") {
            options.validate_only = true;
        } else if (arg == "--pretty") {
            options.pretty = true;
        } else if (arg == "--rules-dir" && i + 1 < args.size()) {
            options.rules_dir = utf8_path(args[++i]);
        } else if ((arg.starts_with("-") && arg != "-") || have_request) {
            return std::nullopt;
        } else {
            options.request = arg;
            have_request = true;
        }
    }
    if (!have_request && !options.help) {
        return std::nullopt;
    }
    return options;
}

// The operating system's reason for the last failed file operation.
std::string system_reason() {
    const int code = errno;
    return code != 0 ? std::generic_category().message(code) : "unknown error";
}

// Reads at most `limit` + 1 bytes so that an oversized input is seen without reading all of it.
Result<std::string> read_bounded(std::istream& stream, std::size_t limit) {
    std::string bytes;
    char buffer[65536];
    errno = 0;
    while (bytes.size() <= limit) {
        stream.read(buffer, sizeof buffer);
        if (stream.gcount() <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(stream.gcount()));
    }
    if (stream.bad()) {
        return fail(system_reason());
    }
    return bytes;
}

// The bytes of a file, or the operating system's reason why they cannot be read.
Result<std::string> read_file(const std::filesystem::path& path, std::size_t limit) {
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return fail(system_reason());
    }
    return read_bounded(file, limit);
}

std::string path_for_message(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

Result<std::string> read_built_in_file(const std::filesystem::path& rules_dir,
                                       std::string_view tag) {
    const std::filesystem::path path = rules_dir / (std::string(tag) + ".json");
    auto bytes = read_file(path, helper_protocol::kMaxBuiltInRuleSourceBytes);
    if (!bytes) {
        return fail(path_for_message(path) +
                    ": cannot open built-in rule source: " + bytes.error());
    }
    return bytes;
}

// What the service checks of a start request before it looks at its own state, then its road to
// the engine's configuration.
Result<xray_native::PreparedStart> check_request(std::string_view text,
                                                 const std::filesystem::path& rules_dir) {
    auto request = parse_json(text);
    if (!request) {
        return failure_of(request);
    }
    if (auto envelope = helper_protocol::check_start_envelope(*request); !envelope) {
        return failure_of(envelope);
    }
    Json config = request->contains("config") ? std::move((*request)["config"]) : Json();
    Json rules = request->contains("rules") ? std::move((*request)["rules"]) : Json();
    return xray_native::prepare_start(
        std::move(config), std::move(rules),
        std::filesystem::path(helper_protocol::kDefaultInstallDirectory),
        std::filesystem::path(helper_protocol::kDefaultDataDirectory),
        [&rules_dir](std::string_view tag) { return read_built_in_file(rules_dir, tag); });
}

// The request's bytes, or the reason they cannot be read.
Result<std::string> read_request(const Options& options, std::istream& in) {
    if (options.request == "-") {
        return read_bounded(in, helper_protocol::kMaxRequestBytes);
    }
    return read_file(utf8_path(options.request), helper_protocol::kMaxRequestBytes);
}

// The compact bytes the service writes, or the same JSON indented for people.
void print_json(std::ostream& out, const Json& value, bool pretty) {
    out << (pretty ? value.dump(2, ' ', false, Json::error_handler_t::replace)
                   : to_compact_json(value))
        << '\n';
}

// The compiled document, or with --validate-only the normalised configuration.
Result<Json> result_document(const Options& options, std::string_view text) {
    auto checked = check_request(text, options.rules_dir);
    if (!checked) {
        return failure_of(checked);
    }
    if (options.validate_only) {
        return std::move(checked->config);
    }
    return xray_native::compile_engine_document(checked->config, checked->rule_sources);
}

}  // namespace

int run_checker(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err, const std::filesystem::path& default_rules_dir) {
    const auto options = parse_args(args, default_rules_dir);
    if (!options) {
        err << kCheckerUsage << '\n';
        return 2;
    }
    if (options->help) {
        out << kCheckerUsage << '\n' << kCheckerHelp;
        return 0;
    }
    const auto text = read_request(*options, in);
    if (!text) {
        err << options->request << ": cannot read the request: " << text.error() << '\n'
            << kCheckerUsage << '\n';
        return 2;
    }
    if (text->size() > helper_protocol::kMaxRequestBytes) {
        err << helper_protocol::kRequestTooLarge << '\n';
        return 1;
    }
    const auto document = result_document(*options, *text);
    if (!document) {
        err << document.error() << '\n';
        return 1;
    }
    print_json(out, *document, options->pretty);
    return 0;
}

}  // namespace vemla::tools
