#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The helper's fixed facts, shared by the service, its pipe client and the offline tools.
namespace vemla::helper_protocol {

inline constexpr std::string_view kServiceName = "VemlaTunHelper";
inline constexpr std::string_view kServiceDisplayName = "Vemla protected TUN helper";
inline constexpr std::string_view kPipeName = "\\\\.\\pipe\\Vemla.TunHelper.v1";
// What the pipe's DACL grants the installation owner, and all that its client asks for: read
// and write, without the right to create another instance of the pipe.
inline constexpr std::uint32_t kPipeOwnerAccess = 0x12019B;
inline constexpr std::string_view kHelperVersion = "2.20.26";
inline constexpr std::int64_t kProtocolVersion = 1;

// The port the engine's control API inbound listens on, on loopback.
inline constexpr std::uint16_t kNativeApiPort = 18970;

// A request is at most this many bytes, its line feed included; the refusal keeps the text of
// an older, smaller limit, as clients compare it.
inline constexpr std::size_t kMaxRequestBytes = 16777216;
inline constexpr std::string_view kRequestTooLarge = "Request exceeds 512 KiB";
// A reply is at most this many bytes, its line feed included.
inline constexpr std::size_t kMaxReplyBytes = 65536;

// Both directories are `VemlaHelper` under the system's folders.
inline constexpr std::string_view kHelperDirectoryName = "VemlaHelper";
inline constexpr std::string_view kServiceExecutableName = "vemla-tun-helper.exe";
inline constexpr std::string_view kEngineExecutableName = "xray.exe";
inline constexpr std::string_view kTunDriverName = "wintun.dll";
inline constexpr std::string_view kRulesDirectoryName = "rules";
inline constexpr std::string_view kOwnerSidFileName = "owner.sid";
inline constexpr std::string_view kActiveConfigFileName = "active.json";
inline constexpr std::string_view kEngineLogFileName = "engine.log";

// Where a default installation keeps its files (the offline tool names them in rule-set paths).
inline constexpr std::u8string_view kDefaultInstallDirectory = u8"C:\\Program Files\\VemlaHelper";
inline constexpr std::u8string_view kDefaultDataDirectory = u8"C:\\ProgramData\\VemlaHelper";

// The TUN adapter the canonical configuration names; recovery may choose another.
inline constexpr std::string_view kTunInterfaceName = "VemlaVPN";
inline constexpr std::string_view kTunAddress = "172.19.0.1/30";

}  // namespace vemla::helper_protocol
