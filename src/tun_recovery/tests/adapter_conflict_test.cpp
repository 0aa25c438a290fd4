#include "tun_recovery/adapter_conflict.h"

#include <gtest/gtest.h>

#include <string>

namespace vemla::tun_recovery {
namespace {

TEST(AdapterConflict, NeedsATunInterfaceStepAndAnExistingObject) {
    struct Case {
        const char* label;
        std::string text;
        bool conflict;
    };
    const Case cases[] = {
        {"configure_object_exists",
         "Failed to start: Configure TUN interface: Object Already Exists", true},
        {"engine_exit_message",
         "Движок завершился с кодом 23: 2026/01/02 10:00:00 [Error] main: failed to create tun: "
         "Configure TUN interface: Cannot create a file when that file already exists.",
         true},
        {"create_already_exists", "create tun interface: already exists", true},
        {"russian_windows", "Create TUN interface: объект уже существует", true},
        {"russian_capitals", "CREATE TUN INTERFACE: ОБЪЕКТ УЖЕ СУЩЕСТВУЕТ.", true},
        {"russian_mixed_case", "Configure Tun Interface: Объект Уже Существует", true},
        {"access_denied", "Failed to start: create tun interface: Access is denied.", false},
        {"russian_access_denied", "create tun interface: Отказано в доступе.", false},
        {"exists_without_interface_step", "tun: object already exists", false},
        {"exists_before_other_step", "open tun device: object already exists", false},
        // Only the two interface steps count, not any step on a TUN interface.
        {"open_interface_step", "open tun interface: object already exists", false},
        {"open_interface_step_russian", "Open TUN interface: объект уже существует", false},
        {"interface_without_step", "tun interface: already exists", false},
        {"step_on_the_device", "Failed to start: configure tun device: already exists", false},
        {"interface_step_only", "Configure TUN interface", false},
        {"exists_only", "Object already exists", false},
        {"split_phrase", "configure tun  interface: already exists", false},
        {"russian_word_missing", "create tun interface: объект существует", false},
        {"empty", "", false},
        // Bad bytes neither stop the test nor join the words around them.
        {"bad_bytes_around",
         "\xFF\xFE"
         "create tun interface: already exists\xC0",
         true},
        {"bad_byte_inside", "create tun\xFF interface: already exists", false},
        {"bad_byte_inside_russian", "create tun interface: объект\xD0 уже существует", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_adapter_conflict(c.text), c.conflict) << c.label;
    }
}

}  // namespace
}  // namespace vemla::tun_recovery
