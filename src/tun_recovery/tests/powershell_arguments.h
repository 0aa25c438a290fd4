#pragma once

#include <string>
#include <vector>

namespace vemla::tun_recovery::testing_support {

// The arguments PowerShell must receive, written out here apart from the code that builds them.
inline std::vector<std::string> expected_powershell_arguments() {
    return {"-NoLogo", "-NoProfile", "-NonInteractive", "-Command",
            "$ErrorActionPreference='Stop';[Console]::OutputEncoding=[Text.UTF8Encoding]::new();"
            "$names=@(Get-NetAdapter -IncludeHidden -ErrorAction Stop|Select-Object "
            "-ExpandProperty Name);$networks=@(Get-NetIPAddress -AddressFamily IPv4 -ErrorAction "
            "Stop|ForEach-Object{$_.IPAddress+'/'+$_.PrefixLength})+@(Get-NetRoute "
            "-AddressFamily IPv4 -ErrorAction Stop|Select-Object -ExpandProperty "
            "DestinationPrefix);@{names=$names;networks=$networks}|ConvertTo-Json -Compress"};
}

}  // namespace vemla::tun_recovery::testing_support
