#pragma once

// The document's `dns` object, and the routes that send each upstream server's queries out
// through the outbound the configuration names for it.

#include <string>
#include <vector>

#include "xray_native/compiler_common.h"

namespace vemla::xray_native {

struct DnsRoute {
    std::string inbound_tag;  // the tag of the DNS server whose queries the route carries
    std::string target;       // an outbound or group tag of the configuration
};

struct DnsTranslation {
    Json dns = Json::object();
    std::vector<DnsRoute> routes;  // in server order
};

Result<DnsTranslation> translate_dns(const Json& ir, const std::string& mode);

}  // namespace vemla::xray_native
