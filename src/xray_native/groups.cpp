#include "xray_native/groups.h"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <utility>

#include "xray_native/messages.h"

namespace vemla::xray_native {
namespace {

// Resolves groups without recursion and remembers every group it has flattened. A request may
// hold thousands of groups nested in one chain, which a recursive walk would carry on the
// service thread's stack, and groups that share members below them would otherwise be walked
// once per path, which grows exponentially with the nesting. Remembering a finished group is
// exact: its members do not depend on the path that reached it, and a group whose walk would
// meet one of the groups above it has met itself first and failed as a cycle.
class GroupResolver {
public:
    GroupResolver(const GroupMap& groups, const TagSet& outbound_tags)
        : groups_(groups), outbound_tags_(outbound_tags) {}

    Result<ResolvedGroup> resolve(const std::string& tag, TagSet& visiting) {
        std::vector<Frame> stack;
        auto opened = open(tag, visiting, stack);
        if (!opened) {
            return failure_of(opened);
        }
        if (*opened != nullptr) {
            return **opened;
        }
        while (true) {
            Frame& frame = stack.back();
            if (frame.next < frame.children.size()) {
                // `open` may grow the stack, so the child is taken out before it runs.
                const std::string child = frame.children[frame.next++];
                auto child_result = open(child, visiting, stack);
                if (!child_result) {
                    return failure_of(child_result);
                }
                if (*child_result != nullptr) {
                    take(stack.back(), **child_result);
                }
                continue;
            }
            visiting.erase(*frame.tag);
            if (!frame.is_selector) {
                frame.result.is_urltest = true;
            }
            // Counted once per group, as every group is flattened once and then reused.
            if (frame.result.members.size() > kMaxGroupMembers - member_count_) {
                return fail(messages::kTooManyGroupMembers);
            }
            member_count_ += frame.result.members.size();
            const ResolvedGroup& done =
                memo_.insert_or_assign(*frame.tag, std::move(frame.result)).first->second;
            stack.pop_back();
            if (stack.empty()) {
                return done;
            }
            take(stack.back(), done);
        }
    }

private:
    struct Frame {
        const std::string* tag = nullptr;
        std::vector<std::string> children;  // every member, or the selector's chosen one
        std::size_t next = 0;
        bool is_selector = false;
        ResolvedGroup result;
        std::unordered_set<std::string> seen;
    };

    // Either the finished resolution of `tag` (a plain outbound or a remembered group), or
    // nullptr after pushing a frame that will resolve it.
    Result<const ResolvedGroup*> open(const std::string& tag, TagSet& visiting,
                                      std::vector<Frame>& stack) {
        if (outbound_tags_.contains(tag)) {
            leaf_.members.assign(1, tag);
            leaf_.is_urltest = false;
            return &leaf_;
        }
        if (const auto known = memo_.find(tag); known != memo_.end()) {
            return &known->second;
        }
        if (!visiting.insert(tag).second) {
            return fail(messages::kGroupCycle);
        }
        const auto group = groups_.find(tag);
        if (group == groups_.end()) {
            return fail(messages::unknown_outbound(tag));
        }
        const Json& object = *group->second;
        auto members = string_or_list(object, "outbounds");
        if (!members) {
            return failure_of(members);
        }
        if (members->empty()) {
            return fail(messages::empty_group(tag));
        }
        for (const std::string& member : *members) {
            if (!outbound_tags_.contains(member) && !groups_.contains(member)) {
                return fail(messages::unknown_group_member(tag, member));
            }
        }
        Frame frame;
        frame.tag = &group->first;
        frame.is_selector = is_text(find_member(object, "type"), "selector");
        if (frame.is_selector) {
            const std::string* chosen = as_text(find_member(object, "default"));
            if (chosen == nullptr) {
                chosen = &(*members)[0];
            }
            if (std::find(members->begin(), members->end(), *chosen) == members->end()) {
                return fail(messages::default_not_a_member(tag));
            }
            frame.children.push_back(*chosen);
        } else {
            frame.children = members->to_vector();
        }
        stack.push_back(std::move(frame));
        return nullptr;
    }

    // A selector takes its chosen member's resolution as it is, flag included; a URL-test
    // group collects the members of every branch once, in first-seen order.
    static void take(Frame& frame, const ResolvedGroup& child) {
        if (frame.is_selector) {
            frame.result = child;
            return;
        }
        for (const std::string& member : child.members) {
            if (frame.seen.insert(member).second) {
                frame.result.members.push_back(member);
            }
        }
    }

    const GroupMap& groups_;
    const TagSet& outbound_tags_;
    std::unordered_map<std::string, ResolvedGroup> memo_;
    ResolvedGroup leaf_;
    std::size_t member_count_ = 0;
};

bool is_probe_url(const std::string& url) {
    return url.starts_with("https://") || url.starts_with("http://");
}

}  // namespace

Result<ResolvedGroup> resolve_group(const std::string& tag, const GroupMap& groups,
                                    const TagSet& outbound_tags, TagSet& visiting) {
    GroupResolver resolver(groups, outbound_tags);
    return resolver.resolve(tag, visiting);
}

Result<GroupsResult> compile_groups(const RoutingTargets& targets,
                                    const CompileSettings& settings) {
    GroupsResult out;
    out.probe_url = settings.probe_url;
    out.probe_interval = settings.probe_interval;

    std::vector<const std::string*> tags;
    tags.reserve(targets.groups.size());
    for (const auto& group : targets.groups) {
        tags.push_back(&group.first);
    }
    std::sort(tags.begin(), tags.end(),
              [](const std::string* a, const std::string* b) { return *a < *b; });

    GroupResolver resolver(targets.groups, targets.outbound_tags);
    std::unordered_set<std::string> subject_set;
    for (const std::string* tag : tags) {
        TagSet visiting;
        auto resolved = resolver.resolve(*tag, visiting);
        if (!resolved) {
            return failure_of(resolved);
        }
        Json selector = Json::array();
        for (const std::string& member : resolved->members) {
            selector.push_back(member + "~");
        }
        Json balancer = Json::object();
        balancer["tag"] = *tag;
        if (resolved->is_urltest) {
            for (const Json& subject : selector) {
                const std::string& text = subject.get_ref<const std::string&>();
                if (subject_set.insert(text).second) {
                    out.subjects.push_back(text);
                }
            }
            const Json& group = *targets.groups.at(*tag);
            if (const std::string* url = as_text(find_member(group, "url"))) {
                if (!is_probe_url(*url)) {
                    return fail(messages::kBadProbeUrl);
                }
                out.probe_url = *url;
            }
            if (const std::string* interval = as_text(find_member(group, "interval"))) {
                out.probe_interval = *interval;
            }
            balancer["fallbackTag"] = selector.front();
            balancer["strategy"] = Json{{"type", "leastPing"}};
        } else {
            balancer["strategy"] = Json{{"type", "random"}};
        }
        balancer["selector"] = std::move(selector);
        out.balancers.push_back(std::move(balancer));
    }
    return out;
}

}  // namespace vemla::xray_native
