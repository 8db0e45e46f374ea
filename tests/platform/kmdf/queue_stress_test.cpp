// Several threads sending requests on one handle at once, through the Win32
// layer, to a sequential and to a parallel queue, with cancellation racing
// the presenting and the retrieval. Under ThreadSanitizer and
// AddressSanitizer these catch a request touched after another thread's
// presenting completed and freed it; in any build they check that every
// request completes exactly once.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "platform/machine/driver_loader.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"
#include "support/queue_probe_driver.h"
#include "support/root_machine.h"
#include "support/rule_recorder.h"

namespace {

using vexa::test::PendingIo;

constexpr GUID kProbeClass{0x51554555, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
constexpr int kSenders = 4;
constexpr uint32_t kPerSender = 150;

struct ProbeInput {
    uint32_t input;
};

struct Async : ProbeInput, PendingIo {
    Async(HANDLE h, uint32_t code, uint32_t tag) : ProbeInput{tag}, PendingIo(h, code, &input, sizeof(input), nullptr, 0) {}
};

uint32_t Tag(int sender, uint32_t i) { return static_cast<uint32_t>(sender) * 100000 + i; }

class QueueStressTest : public ::testing::TestWithParam<WDF_IO_QUEUE_DISPATCH_TYPE> {
protected:
    QueueStressTest() {
        image_ = dlopen(VEXA_QUEUE_PROBE_DRIVER, RTLD_NOW | RTLD_LOCAL);
        state_ = reinterpret_cast<QueueProbeGetStateFn>(dlsym(image_, "QueueProbeGetState"))();
        retrieve_ = reinterpret_cast<QueueProbeRetrieveFn>(dlsym(image_, "QueueProbeRetrieve"));
        {
            std::lock_guard lock(state_->lock);
            state_->presented.clear();
            state_->maxInCallback = 0;
            state_->held = nullptr;
            state_->defaultDispatch = GetParam();
        }
        machine_ = std::make_unique<platform::Machine>();
        machine_->drivers().install("VexaQueueProbe", VEXA_QUEUE_PROBE_DRIVER);
        machine_->pnp().add_node(u"ROOT\\VEXAQUEUEPROBE\\0000", {u"Root\\VexaQueueProbe"}, "VexaQueueProbe");
        handle_ = CreateFileW(vexa::test::InterfacePath(kProbeClass).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    ~QueueStressTest() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        platform::win32::set_default_process(nullptr);
        machine_.reset();
        dlclose(image_);
    }

    std::vector<uint32_t> presented() {
        std::lock_guard lock(state_->lock);
        return state_->presented;
    }

    // Runs `kSenders` threads that each send `kPerSender` requests of `code`
    // one after the other, and `extra` beside them until the senders are
    // done; the final status of every request by its tag.
    std::map<uint32_t, NTSTATUS> send_concurrently(uint32_t code, const std::function<void()>& extra = nullptr) {
        std::mutex lock;
        std::map<uint32_t, NTSTATUS> finals;
        std::atomic<int> running{kSenders};
        std::vector<std::thread> threads;
        for (int s = 0; s < kSenders; ++s) {
            threads.emplace_back([&, s] {
                for (uint32_t i = 0; i < kPerSender; ++i) {
                    Async request(handle_, code, Tag(s, i));
                    NTSTATUS final = request.finish();
                    std::lock_guard guard(lock);
                    EXPECT_TRUE(finals.emplace(Tag(s, i), final).second);
                }
                running.fetch_sub(1);
            });
        }
        std::thread side;
        if (extra) {
            side = std::thread([&] {
                while (running.load() != 0) {
                    extra();
                    std::this_thread::yield();
                }
            });
        }
        for (auto& t : threads) t.join();
        if (side.joinable()) side.join();
        return finals;
    }

    void* image_ = nullptr;
    QueueProbeState* state_ = nullptr;
    QueueProbeRetrieveFn retrieve_ = nullptr;
    std::unique_ptr<platform::Machine> machine_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Threads sending at once: each request is presented once and completes once
// with success; a sequential queue never runs two callbacks at a time.
TEST_P(QueueStressTest, ConcurrentSendersOnOneHandle) {
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    vexa::test::RuleRecorder rules;
    std::map<uint32_t, NTSTATUS> finals = send_concurrently(kQueueProbeComplete);
    ASSERT_EQ(finals.size(), size_t{kSenders} * kPerSender);
    for (const auto& [tag, final] : finals) EXPECT_EQ(final, STATUS_SUCCESS) << tag;
    std::vector<uint32_t> seen = presented();
    EXPECT_EQ(std::set<uint32_t>(seen.begin(), seen.end()).size(), seen.size()) << "a request presented twice";
    EXPECT_EQ(seen.size(), finals.size());
    if (GetParam() == WdfIoQueueDispatchSequential) {
        EXPECT_EQ(state_->maxInCallback, 1);
    }
    EXPECT_EQ(rules.count(), 0u) << (rules.count() ? rules.violations()[0] : "");
}

// Senders racing a canceller: a request ends once, with success exactly when
// it was presented and STATUS_CANCELLED when it was not.
TEST_P(QueueStressTest, CancellationRacesConcurrentSenders) {
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    vexa::test::RuleRecorder rules;
    std::map<uint32_t, NTSTATUS> finals = send_concurrently(kQueueProbeComplete, [&] { CancelIoEx(handle_, nullptr); });
    ASSERT_EQ(finals.size(), size_t{kSenders} * kPerSender);
    std::vector<uint32_t> seen = presented();
    std::set<uint32_t> presentedTags(seen.begin(), seen.end());
    EXPECT_EQ(presentedTags.size(), seen.size()) << "a request presented twice";
    for (const auto& [tag, final] : finals) {
        if (presentedTags.count(tag) != 0) {
            EXPECT_EQ(final, STATUS_SUCCESS) << tag;
        } else {
            EXPECT_EQ(final, STATUS_CANCELLED) << tag;
        }
    }
    EXPECT_EQ(rules.count(), 0u) << (rules.count() ? rules.violations()[0] : "");
}

// Requests parked in a manual queue while a retriever takes them and a
// canceller cancels them: each completes once, by one side or the other.
TEST_P(QueueStressTest, ParkRetrieveAndCancelRace) {
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    vexa::test::RuleRecorder rules;
    std::atomic<uint32_t> retrieved{0};
    std::atomic<bool> done{false};
    std::thread retriever([&] {
        while (!done.load()) {
            if (retrieve_() == STATUS_SUCCESS) retrieved.fetch_add(1);
            std::this_thread::yield();
        }
    });
    unsigned round = 0;
    std::map<uint32_t, NTSTATUS> finals = send_concurrently(kQueueProbePark, [&] {
        // Cancel now and then, so that the retriever wins some.
        if (++round % 3 == 0) CancelIoEx(handle_, nullptr);
    });
    done.store(true);
    retriever.join();
    ASSERT_EQ(finals.size(), size_t{kSenders} * kPerSender);
    uint32_t succeeded = 0;
    for (const auto& [tag, final] : finals) {
        EXPECT_TRUE(final == STATUS_SUCCESS || final == STATUS_CANCELLED) << tag << ": " << std::hex << final;
        if (final == STATUS_SUCCESS) ++succeeded;
    }
    EXPECT_EQ(succeeded, retrieved.load()) << "every retrieval completed exactly one request";
    EXPECT_EQ(retrieve_(), STATUS_NO_MORE_ENTRIES) << "nothing left behind";
    EXPECT_EQ(rules.count(), 0u) << (rules.count() ? rules.violations()[0] : "");
}

INSTANTIATE_TEST_SUITE_P(Dispatch, QueueStressTest,
                         ::testing::Values(WdfIoQueueDispatchSequential, WdfIoQueueDispatchParallel),
                         [](const auto& info) {
                             return info.param == WdfIoQueueDispatchSequential ? std::string("Sequential")
                                                                              : std::string("Parallel");
                         });

}  // namespace
