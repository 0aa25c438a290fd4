#include "checker.h"

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
#include "xray_native/start_request.h"

namespace vemla::tools {
namespace {

struct Options {
    bool validate_only = false;
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
        if (arg == "--validate-only") {
            options.validate_only = true;
        } else if (arg == "--rules-dir" && i + 1 < args.size()) {
            options.rules_dir = utf8_path(args[++i]);
        } else if ((arg.starts_with("-") && arg != "-") || have_request) {
            return std::nullopt;
        } else {
            options.request = arg;
            have_request = true;
        }
    }
    if (!have_request) {
        return std::nullopt;
    }
    return options;
}

// Reads at most `limit` + 1 bytes so that an oversized input is seen without reading all of it.
std::optional<std::string> read_bounded(std::istream& stream, std::size_t limit) {
    std::string bytes;
    char buffer[65536];
    while (bytes.size() <= limit) {
        stream.read(buffer, sizeof buffer);
        if (stream.gcount() <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(stream.gcount()));
    }
    if (stream.bad()) {
        return std::nullopt;
    }
    return bytes;
}

std::string path_for_message(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::expected<std::string, std::string> read_built_in_file(const std::filesystem::path& rules_dir,
                                                           std::string_view tag) {
    const std::filesystem::path path = rules_dir / (std::string(tag) + ".json");
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::unexpected(path_for_message(path) + ": cannot open built-in rule source");
    }
    auto bytes = read_bounded(file, helper_protocol::kMaxBuiltInRuleSourceBytes);
    if (!bytes) {
        return std::unexpected(path_for_message(path) + ": read failed");
    }
    return std::move(*bytes);
}

// What the service checks of a start request before it looks at its own state, then its road to
// the engine's configuration.
std::expected<xray_native::PreparedStart, std::string> check_request(
    std::string_view text, const std::filesystem::path& rules_dir) {
    auto request = parse_json(text);
    if (!request) {
        return std::unexpected(std::move(request.error()));
    }
    if (auto envelope = helper_protocol::check_start_envelope(*request); !envelope) {
        return std::unexpected(std::move(envelope.error()));
    }
    Json config = request->contains("config") ? std::move((*request)["config"]) : Json();
    Json rules = request->contains("rules") ? std::move((*request)["rules"]) : Json();
    return xray_native::prepare_start(
        std::move(config), std::move(rules),
        std::filesystem::path(helper_protocol::kDefaultInstallDirectory),
        std::filesystem::path(helper_protocol::kDefaultDataDirectory),
        [&rules_dir](std::string_view tag) { return read_built_in_file(rules_dir, tag); });
}

}  // namespace

int run_checker(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err, const std::filesystem::path& default_rules_dir) {
    const auto options = parse_args(args, default_rules_dir);
    if (!options) {
        err << kCheckerUsage << '\n';
        return 2;
    }
    std::optional<std::string> text;
    if (options->request == "-") {
        text = read_bounded(in, helper_protocol::kMaxRequestBytes);
    } else if (std::ifstream file(utf8_path(options->request), std::ios::binary); file) {
        text = read_bounded(file, helper_protocol::kMaxRequestBytes);
    }
    if (!text) {
        err << options->request << ": cannot read the request\n" << kCheckerUsage << '\n';
        return 2;
    }
    if (text->size() > helper_protocol::kMaxRequestBytes) {
        err << helper_protocol::kRequestTooLarge << '\n';
        return 1;
    }
    auto checked = check_request(*text, options->rules_dir);
    if (!checked) {
        err << checked.error() << '\n';
        return 1;
    }
    if (options->validate_only) {
        out << to_compact_json(checked->config) << '\n';
        return 0;
    }
    const auto document =
        xray_native::compile_engine_document(checked->config, checked->rule_sources);
    if (!document) {
        err << document.error() << '\n';
        return 1;
    }
    // Exactly the bytes the service writes to active.json.
    out << to_compact_json(*document) << '\n';
    return 0;
}

}  // namespace vemla::tools
