#include <gtest/gtest.h>

#include "platform/machine/machine.h"
#include "platform/machine/registry.h"
#include "support/temp_dir.h"

namespace {

const std::u16string kKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QUVVexaUSBRoot\\Parameters";

// Settings must survive a restart of the machine, as they do on Windows.
TEST(RegistryTest, ValuesSurviveAMachineRestart) {
    vexa::test::TempDir state;
    {
        platform::Machine machine({platform::Clock::Mode::Virtual, state.path(), {}});
        machine.registry().set(kKey, u"Sampling Rate", platform::RegValue::dword(96000));
        machine.registry().set(kKey, u"Name", platform::RegValue::string(u"VEXA \u00e9 \u2603"));
    }
    platform::Machine machine({platform::Clock::Mode::Virtual, state.path(), {}});
    EXPECT_EQ(machine.registry().get(kKey, u"Sampling Rate")->as_dword(), 96000u);
    EXPECT_EQ(machine.registry().get(kKey, u"Name")->as_string(), u"VEXA \u00e9 \u2603");
    EXPECT_FALSE(std::filesystem::exists(state.path() / "registry.dat.tmp"));
}

// Windows matches key and value names without regard to case; a driver must find a value whatever its case.
TEST(RegistryTest, NamesMatchWithoutCase) {
    platform::Machine machine;
    machine.registry().set(kKey, u"Base Buffer Size", platform::RegValue::dword(256));
    auto upper = machine.registry().get(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\quvvexausbroot\\parameters",
                                        u"BASE BUFFER SIZE");
    ASSERT_TRUE(upper.has_value());
    EXPECT_EQ(upper->as_dword(), 256u);
    // A missing value is told apart from a value of another type.
    EXPECT_FALSE(machine.registry().get(kKey, u"Missing").has_value());
    EXPECT_FALSE(machine.registry().get(kKey, u"Base Buffer Size")->as_string().has_value());
}

// Deleting a key takes its subkeys with it and nothing beside it.
TEST(RegistryTest, DeleteKeyRemovesTheSubtreeOnly) {
    platform::Machine machine;
    platform::Registry& r = machine.registry();
    r.set(u"\\Registry\\Machine\\A\\B", u"x", platform::RegValue::dword(1));
    r.set(u"\\Registry\\Machine\\A\\B\\C", u"y", platform::RegValue::dword(2));
    r.set(u"\\Registry\\Machine\\A\\BC", u"z", platform::RegValue::dword(3));
    EXPECT_TRUE(r.delete_key(u"\\Registry\\Machine\\A\\B"));
    EXPECT_FALSE(r.key_exists(u"\\Registry\\Machine\\A\\B\\C"));
    EXPECT_TRUE(r.key_exists(u"\\Registry\\Machine\\A\\BC"));
    EXPECT_EQ(r.subkeys(u"\\Registry\\Machine\\A"), std::vector<std::u16string>{u"BC"});
}

}  // namespace
