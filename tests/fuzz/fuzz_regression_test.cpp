// The fuzz targets' seed corpora and the inputs that once found a fault,
// replayed through the same targets in the g++ suite: each must run clean.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int RootIoctlInput(const uint8_t* data, size_t size);
extern "C" int SocketProtocolInput(const uint8_t* data, size_t size);
extern "C" int VendorChannelInput(const uint8_t* data, size_t size);
extern "C" int ConfigDescriptorInput(const uint8_t* data, size_t size);
extern "C" int RootIoctlInit(int*, char***);
extern "C" int SocketProtocolInit(int*, char***);
extern "C" int VendorChannelInit(int*, char***);
extern "C" int ConfigDescriptorInit(int*, char***);

namespace {

struct Target {
    const char* name;
    int (*init)(int*, char***);
    int (*input)(const uint8_t*, size_t);
};

class FuzzRegressionTest : public ::testing::TestWithParam<Target> {};

// Every seed and every input that once found a fault runs clean through its
// target: the kernel rules, the pool balance and completed requests hold.
TEST_P(FuzzRegressionTest, SeedsAndFoundFaultsRunClean) {
    const Target& target = GetParam();
    target.init(nullptr, nullptr);
    size_t inputs = 0;
    for (const char* folder : {"corpus", "regressions"}) {
        std::filesystem::path dir = std::filesystem::path(VEXA_FUZZ_DIR) / folder / target.name;
        if (!std::filesystem::exists(dir)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            std::ifstream file(entry.path(), std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            SCOPED_TRACE(entry.path().string());
            EXPECT_EQ(target.input(bytes.data(), bytes.size()), 0);
            ++inputs;
        }
    }
    EXPECT_GT(inputs, 0u) << "no seeds for " << target.name;
}

INSTANTIATE_TEST_SUITE_P(
    Targets, FuzzRegressionTest,
    ::testing::Values(Target{"root_ioctl_fuzzer", RootIoctlInit, RootIoctlInput},
                      Target{"socket_protocol_fuzzer", SocketProtocolInit, SocketProtocolInput},
                      Target{"vendor_channel_fuzzer", VendorChannelInit, VendorChannelInput},
                      Target{"config_descriptor_fuzzer", ConfigDescriptorInit, ConfigDescriptorInput}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
