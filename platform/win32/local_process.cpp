// A process acted by this program on the machine that runs in it: the calls
// go straight to the machine's I/O manager.
#include <cstring>

#include "platform/kernel/event_object.h"
#include "platform/kernel/ntstatus.h"
#include "platform/machine/device_interfaces.h"
#include "platform/machine/installed_files.h"
#include "platform/machine/machine.h"
#include "platform/machine/process.h"
#include "platform/machine/registry.h"
#include "platform/machine/socket_server.h"
#include "platform/machine/user_io.h"
#include "user_process.h"

namespace platform::win32 {
namespace {

class LocalProcess : public UserProcess {
public:
    explicit LocalProcess(std::shared_ptr<Process> process) : process_(std::move(process)) {}
    ~LocalProcess() override { end(); }

    ULONG process_id() const override { return process_->id(); }
    bool is_32bit() const override { return process_->is_32bit(); }

    NTSTATUS create_file(std::u16string_view path, HANDLE* handle) override {
        return user_io::create_file(*process_, path, handle);
    }

    NTSTATUS close_handle(HANDLE handle) override { return user_io::close_handle(*process_, handle); }

    NTSTATUS device_io_control(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                               ULONG outputLength, uint64_t thread, IoDone done) override {
        return user_io::device_io_control(process_, handle, code, input, inputLength, outputLength, thread,
                                          [output, done = std::move(done)](const UserIoResult& result) {
                                              if (result.outputBytes != 0) {
                                                  std::memcpy(output, result.output, result.outputBytes);
                                              }
                                              done(result.status, result.information);
                                          });
    }

    void cancel_io(HANDLE handle, std::optional<uint64_t> thread) override {
        user_io::cancel_io(*process_, handle, thread);
    }

    NTSTATUS create_event(bool manualReset, bool initialState, HANDLE* handle) override {
        return user_io::create_event(*process_, manualReset, initialState, -1, handle);
    }

    EventObject* reference_event(HANDLE handle) override { return user_io::reference_event(*process_, handle); }

    std::vector<std::u16string> interfaces(const GUID& interfaceClass, bool presentOnly) override {
        std::vector<std::u16string> links;
        for (const InterfaceRecord& record : Machine::current().interfaces().list(interfaceClass, presentOnly)) {
            links.push_back(record.symbolicLink);
        }
        return links;
    }

    uint64_t subscribe_interfaces(const GUID& interfaceClass, bool allClasses, InterfaceListener listener) override {
        return Machine::current().interfaces().subscribe(
            [interfaceClass, allClasses, listener = std::move(listener)](const InterfaceRecord& record, bool arrived) {
                if (allClasses || record.interfaceClass == interfaceClass) {
                    listener(record.interfaceClass, record.symbolicLink, arrived);
                }
            });
    }

    void unsubscribe_interfaces(uint64_t subscription) override {
        if (Machine::exists()) Machine::current().interfaces().unsubscribe(subscription);
    }

    void end() override {
        if (Machine::exists()) Machine::current().processes().end(process_->id());
    }

    user_registry::Result registry(const user_registry::Call& call) override {
        return user_registry::run(Machine::current().registry(), call);
    }

    std::optional<InstalledFile> find_installed_file(std::u16string_view windowsPath) override {
        auto found = Machine::current().attachment<InstalledFiles>().find(windowsPath);
        if (!found) return std::nullopt;
        return InstalledFile{found->windowsPath, found->file.string()};
    }

    std::string machine_socket() override { return SocketServer::serving_path(); }

private:
    std::shared_ptr<Process> process_;
};

}  // namespace

std::shared_ptr<UserProcess> create_local_process(bool is32Bit, std::string name) {
    std::string image = "C:\\Program Files\\" + name + "\\" + name + ".exe";
    auto process = std::make_shared<LocalProcess>(Machine::current().processes().create(is32Bit, std::move(name)));
    process->set_image_path(std::move(image));
    return process;
}

}  // namespace platform::win32
