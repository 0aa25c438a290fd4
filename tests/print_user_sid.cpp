// Prints the SID of the account it runs as; the Wine scripts write it to owner.sid. Never
// installed.
#include <windows.h>

#include <cstdio>

#include "win/win_process.h"
#include "win32/unique_object.h"

int main() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return 1;
    }
    const vemla::win::UniqueHandle owner(token);
    const auto sid = vemla::service::win::token_user_sid_text(token);
    if (!sid) {
        std::fprintf(stderr, "%s\n", sid.error().c_str());
        return 1;
    }
    std::printf("%s\n", sid->c_str());
    return 0;
}
