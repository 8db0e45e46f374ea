// Test equipment: a virtual-clock machine with no drivers, and the process a
// test acts as on one of the two roads into it: in this program, or behind
// a socket server running here (so the test sees both ends).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/machine/logger_driver.h"
#include "platform/machine/machine.h"
#include "platform/machine/process.h"
#include "platform/machine/socket_server.h"
#include "platform/win32/user_process.h"
#include "support/temp_dir.h"

namespace vexa::test {

enum class Road { Local, Socket };

class RoadTest : public ::testing::TestWithParam<Road> {
protected:
    RoadTest() {
        if (GetParam() == Road::Socket) {
            server_ = std::make_unique<platform::SocketServer>(socket_path());
            std::string error;
            EXPECT_TRUE(server_->start(&error)) << error;
        }
        process_ = make_process(false);
        platform::win32::set_default_process(process_);
    }
    ~RoadTest() override {
        platform::win32::set_default_process(nullptr);
        process_.reset();
        server_.reset();
    }

    std::string socket_path() const { return (dir_.path() / "machine.sock").string(); }

    std::shared_ptr<platform::win32::UserProcess> make_process(bool is32Bit, const std::string& name = "test") {
        if (GetParam() == Road::Local) return platform::win32::create_local_process(is32Bit, name);
        std::string error;
        auto process = platform::win32::connect_to_machine(socket_path(), is32Bit, name, &error);
        EXPECT_TRUE(process) << error;
        return process;
    }

    // The machine's side of a process: its handle table, its requests.
    std::shared_ptr<platform::Process> kernel_side(const platform::win32::UserProcess& process) {
        return machine_.processes().find(process.process_id());
    }

    platform::Machine machine_;
    TempDir dir_;
    std::unique_ptr<platform::SocketServer> server_;
    std::shared_ptr<platform::win32::UserProcess> process_;
};

inline std::string RoadName(const ::testing::TestParamInfo<Road>& info) {
    return info.param == Road::Local ? "InProcess" : "Socket";
}

}  // namespace vexa::test
