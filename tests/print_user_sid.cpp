// Prints the SID of the account it runs as; the Wine scripts write it to owner.sid. Never
// installed.
#include <windows.h>

#include <cstdio>

#include "win/win_process.h"

int main() {
    const auto sid = vemla::service::win::process_user_sid();
    if (!sid) {
        std::fprintf(stderr, "%s\n", sid.error().c_str());
        return 1;
    }
    std::printf("%s\n", sid->c_str());
    return 0;
}
