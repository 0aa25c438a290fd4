#pragma once

// The members a transport or TLS object of an outbound may carry. Validation admits exactly
// these, and the compiler, which never trusts that it ran, checks them again.

#include "json/json_access.h"

namespace vemla::helper_protocol {

inline const KeyList kTransportKeys = {
    "type", "path",  "host",         "headers",      "service_name",
    "mode", "extra", "idle_timeout", "ping_timeout", "permit_without_stream"};
inline const KeyList kTransportExtraKeys = {"noGRPCHeader",
                                            "noSSEHeader",
                                            "xPaddingBytes",
                                            "scMaxEachPostBytes",
                                            "scMinPostsIntervalMs",
                                            "scMaxBufferedPosts",
                                            "scStreamUpServerSecs",
                                            "xmux",
                                            "headers"};
inline const KeyList kXmuxKeys = {"maxConcurrency",   "maxConnections",   "cMaxReuseTimes",
                                  "hMaxRequestTimes", "hMaxReusableSecs", "hKeepAlivePeriod"};
inline const KeyList kTlsKeys = {"enabled", "server_name", "insecure",
                                 "alpn",    "min_version", "max_version",
                                 "utls",    "reality",     "certificate_public_key_sha256"};
inline const KeyList kUtlsKeys = {"enabled", "fingerprint"};
inline const KeyList kRealityKeys = {"enabled", "public_key", "short_id"};

}  // namespace vemla::helper_protocol
