#include "lifecycle.h"

#include <utility>

#include "engine.h"
#include "engine_exit.h"
#include "helper_protocol/constants.h"
#include "install_checks.h"
#include "json/json_access.h"
#include "json/result.h"
#include "request_envelope.h"
#include "tun_recovery/adapter_conflict.h"
#include "xray_native/start_request.h"

namespace vemla::service {
namespace {

namespace facts = helper_protocol;

constexpr std::string_view kNotConfirmed = "Помощник не подтвердил запуск VPN вовремя";
constexpr std::string_view kCancelled = "Подключение отменено";
constexpr std::string_view kRecoveryJoin = ". Автовосстановление: ";
constexpr std::string_view kOtherInstallerSession =
    "Maintenance belongs to another installer session";
constexpr std::string_view kDelegationRefused =
    "Reservation delegation requires the actual client parent";

std::expected<std::string, std::string> read_built_in_rule_source(ServiceContext& context,
                                                                  const ServiceState& state,
                                                                  std::string_view tag) {
    const std::string name = std::string(tag) + ".json";
    const auto path = state.install_dir / std::string(facts::kRulesDirectoryName) / name;
    if (auto trusted = context.checks.check_protected_path(path, kFullWriteMask); !trusted) {
        return failure_of(trusted);
    }
    return context.system.read_file(path, helper_protocol::kMaxBuiltInRuleSourceBytes);
}

// The request's member, taken out of it; null when it is absent.
Json take_member(Json& request, std::string_view key) {
    const auto member = request.find(key);
    return member != request.end() ? std::move(*member) : Json();
}

std::set<std::string> own_rule_tags(const Json& request) {
    std::set<std::string> tags;
    const auto rules = request.find("rules");
    if (rules != request.end() && rules->is_object()) {
        for (const auto& [tag, document] : rules->items()) {
            tags.insert(tag);
        }
    }
    return tags;
}

// The engine of one attempt, until it is committed or ended.
struct Attempt {
    LaunchedEngine engine;
    ProbeResult probe;
};

std::expected<Attempt, std::string> run_attempt(ServiceContext& context, const ServiceState& state,
                                                const Json& config, const Json& rule_sources) {
    if (context.stop.is_set()) {
        return std::unexpected(std::string(kCancelled));
    }
    auto document = xray_native::compile_engine_document(config, rule_sources);
    if (!document) {
        return failure_of(document);
    }
    auto engine =
        start_engine(context, {state.install_dir, state.data_dir, state.owner_sid}, *document);
    if (!engine) {
        return failure_of(engine);
    }
    ProbeResult probe =
        probe_ready(context, *engine->process, facts::kNativeApiPort, state.data_dir);
    return Attempt{std::move(*engine), std::move(probe)};
}

Json commit(ServiceState& state, LaunchedEngine engine, std::set<std::string> own_tags,
            const std::string& session) {
    state.rule_source_tags = std::move(own_tags);
    state.engine_error.reset();
    state.engine = std::move(engine.process);
    state.job = std::move(engine.job);
    state.session = session;
    return build_status(state);
}

// The installer owner: the client itself, or (when the request names another process) the
// client's parent, which must have existed before the client so that a recycled process id
// cannot stand in for it.
std::expected<std::uint32_t, std::string> requested_owner_pid(const Json& request,
                                                              std::uint32_t client_pid) {
    const auto member = request.find("owner_pid");
    if (member == request.end()) {
        return client_pid;
    }
    if (!member->is_number_unsigned() || member->get<std::uint64_t>() < 1 ||
        member->get<std::uint64_t>() > 4294967295u) {
        return std::unexpected("Invalid installer owner PID");
    }
    return static_cast<std::uint32_t>(member->get<std::uint64_t>());
}

std::expected<std::optional<std::uint64_t>, std::string> check_delegation(ServiceContext& context,
                                                                          std::uint32_t client_pid,
                                                                          std::uint32_t owner_pid) {
    if (owner_pid == client_pid) {
        return std::nullopt;
    }
    const auto client = context.system.inspect_process(client_pid);
    if (!client) {
        return std::unexpected("Cannot inspect authenticated installer client");
    }
    if (client->parent_pid != owner_pid || !client->created) {
        return std::unexpected(std::string(kDelegationRefused));
    }
    return client->created;
}

std::expected<std::unique_ptr<Process>, std::string> open_installer_owner(
    ServiceContext& context, const ServiceState& state, std::uint32_t owner_pid,
    std::optional<std::uint64_t> client_created) {
    auto owner = context.system.open_owner(owner_pid);
    if (!owner) {
        return std::unexpected("Cannot monitor installer owner: " + owner.error());
    }
    if (client_created) {
        const auto created = (*owner)->creation_time();
        if (!created || *created > *client_created) {
            return std::unexpected(std::string(kDelegationRefused));
        }
    }
    const auto sid = (*owner)->user_sid();
    if (!sid) {
        return failure_of(sid);
    }
    if (*sid != state.owner_sid) {
        return std::unexpected("Installer owner process belongs to another Windows account");
    }
    if ((*owner)->has_ended()) {
        return std::unexpected("Installer owner process has already exited");
    }
    return std::move(*owner);
}

}  // namespace

std::expected<Json, std::string> start_connection(ServiceContext& context, ServiceState& state,
                                                  Json& request, const std::string& session) {
    if (state.engine) {
        if (state.session == session) {
            return build_status(state);
        }
        return std::unexpected("Helper already owns an active connection; stop explicitly first");
    }
    if (state.reservation) {
        return std::unexpected("Helper is reserved for an idle update");
    }
    std::set<std::string> own_tags = own_rule_tags(request);
    auto prepared = xray_native::prepare_start(
        take_member(request, "config"), take_member(request, "rules"), state.install_dir,
        state.data_dir,
        [&](std::string_view tag) { return read_built_in_rule_source(context, state, tag); });
    if (!prepared) {
        return failure_of(prepared);
    }
    state.adapter_recovered = false;
    Json config = std::move(prepared->config);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto run = run_attempt(context, state, config, prepared->rule_sources);
        if (!run) {
            return failure_of(run);
        }
        using Kind = ProbeResult::Kind;
        if (run->probe.kind == Kind::ready) {
            return commit(state, std::move(run->engine), std::move(own_tags), session);
        }
        (void)end_engine(std::move(run->engine.job), std::move(run->engine.process));
        if (run->probe.kind != Kind::exited) {
            return std::unexpected(std::string(kNotConfirmed));
        }
        std::string message = engine_exit_message(state.data_dir, run->probe.exit_code);
        if (attempt == 0 && !context.stop.is_set() && tun_recovery::is_adapter_conflict(message)) {
            auto recovered = context.recover_adapter(config);
            if (!recovered) {
                return std::unexpected(message + std::string(kRecoveryJoin) + recovered.error());
            }
            config = std::move(*recovered);
            state.adapter_recovered = true;
            continue;
        }
        state.engine_error = message;
        return std::unexpected(std::move(message));
    }
    return std::unexpected(std::string(kNotConfirmed));
}

std::expected<Json, std::string> prepare_update(ServiceContext& context, ServiceState& state,
                                                const Json& request, const std::string& session,
                                                std::uint32_t client_pid) {
    if (state.engine) {
        return std::unexpected("Active VPN must be explicitly disconnected before helper update");
    }
    if (state.reservation && state.reservation->session != session) {
        return std::unexpected(std::string(kOtherInstallerSession));
    }
    const auto owner_pid = requested_owner_pid(request, client_pid);
    if (!owner_pid) {
        return failure_of(owner_pid);
    }
    const auto client_created = check_delegation(context, client_pid, *owner_pid);
    if (!client_created) {
        return failure_of(client_created);
    }
    auto owner = open_installer_owner(context, state, *owner_pid, *client_created);
    if (!owner) {
        return failure_of(owner);
    }
    state.reservation.reset();
    state.reservation = Reservation{session, std::move(*owner)};
    return Json{{"maintenance", true}, {"ok", true}, {"running", false}};
}

std::expected<Json, std::string> cancel_update(ServiceState& state, std::string_view session) {
    if (state.reservation && state.reservation->session != session) {
        return std::unexpected(std::string(kOtherInstallerSession));
    }
    state.reservation.reset();
    return Json{{"ok", true}};
}

}  // namespace vemla::service
