// The framework's queues and requests, driven from user mode through a probe
// driver: sequential presentation, cancellation while waiting, cancellation
// racing retrieval, and what cleanup and removal do to parked requests.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <thread>

#include "platform/machine/driver_loader.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"
#include "support/queue_probe_driver.h"
#include "support/root_machine.h"
#include "support/rule_recorder.h"

namespace {

using vexa::test::PendingIo;

// The probe's request: its one input word tags it; declared before the request goes out.
struct ProbeInput {
    uint32_t input;
};

struct Async : ProbeInput, PendingIo {
    Async(HANDLE h, uint32_t code, uint32_t tag) : ProbeInput{tag}, PendingIo(h, code, &input, sizeof(input), nullptr, 0) {}
};

constexpr GUID kProbeClass{0x51554555, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

class QueueTest : public ::testing::Test {
protected:
    QueueTest() {
        image_ = dlopen(VEXA_QUEUE_PROBE_DRIVER, RTLD_NOW | RTLD_LOCAL);
        state_ = reinterpret_cast<QueueProbeGetStateFn>(dlsym(image_, "QueueProbeGetState"))();
        completeHeld_ = reinterpret_cast<QueueProbeCompleteHeldFn>(dlsym(image_, "QueueProbeCompleteHeld"));
        retrieve_ = reinterpret_cast<QueueProbeRetrieveFn>(dlsym(image_, "QueueProbeRetrieve"));
        {
            std::lock_guard lock(state_->lock);
            state_->presented.clear();
            state_->maxInCallback = 0;
            state_->held = nullptr;
            state_->defaultDispatch = WdfIoQueueDispatchSequential;
        }
        machine_ = std::make_unique<platform::Machine>();
        machine_->drivers().install("VexaQueueProbe", VEXA_QUEUE_PROBE_DRIVER);
        node_ = machine_->pnp().add_node(u"ROOT\\VEXAQUEUEPROBE\\0000", {u"Root\\VexaQueueProbe"}, "VexaQueueProbe");
        handle_ = CreateFileW(vexa::test::InterfacePath(kProbeClass).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    ~QueueTest() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        platform::win32::set_default_process(nullptr);
        machine_.reset();
        dlclose(image_);
    }

    std::vector<uint32_t> presented() {
        std::lock_guard lock(state_->lock);
        return state_->presented;
    }

    void* image_ = nullptr;
    QueueProbeState* state_ = nullptr;
    QueueProbeCompleteHeldFn completeHeld_ = nullptr;
    QueueProbeRetrieveFn retrieve_ = nullptr;
    std::unique_ptr<platform::Machine> machine_;
    platform::DevNode* node_ = nullptr;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A sequential queue presents the next request only when the driver is done with the current one.
TEST_F(QueueTest, SequentialQueuePresentsOneAtATime) {
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    auto held = std::make_unique<Async>(handle_, kQueueProbeHold, 1);
    auto next = std::make_unique<Async>(handle_, kQueueProbeComplete, 2);
    EXPECT_TRUE(held->pending());
    EXPECT_TRUE(next->pending()) << "waits behind the held request";
    EXPECT_EQ(presented(), (std::vector<uint32_t>{1}));
    ASSERT_TRUE(completeHeld_(STATUS_SUCCESS));
    EXPECT_EQ(held->finish(), STATUS_SUCCESS);
    EXPECT_EQ(next->finish(), STATUS_SUCCESS);
    EXPECT_EQ(presented(), (std::vector<uint32_t>{1, 2}));
    // A parked request frees the sequential queue at once.
    Async parked(handle_, kQueueProbePark, 3);
    Async after(handle_, kQueueProbeComplete, 4);
    EXPECT_EQ(after.finish(), STATUS_SUCCESS);
    EXPECT_TRUE(parked.pending());
    EXPECT_EQ(retrieve_(), STATUS_SUCCESS);
    EXPECT_EQ(parked.finish(), STATUS_SUCCESS);
    EXPECT_EQ(retrieve_(), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(state_->maxInCallback, 1);
}

// A request still waiting in a queue is cancelled by CancelIo; the held one is the driver's and stays.
TEST_F(QueueTest, WaitingRequestsAreCancellable) {
    Async held(handle_, kQueueProbeHold, 1);
    Async waiting(handle_, kQueueProbeComplete, 2);
    CancelIo(handle_);
    EXPECT_EQ(waiting.finish(), STATUS_CANCELLED);
    EXPECT_TRUE(held.pending());
    EXPECT_TRUE(completeHeld_(STATUS_SUCCESS));
    EXPECT_EQ(held.finish(), STATUS_SUCCESS);
    EXPECT_EQ(presented(), (std::vector<uint32_t>{1})) << "the cancelled request never reached the driver";
}

// Cancellation racing retrieval: each parked request completes exactly once, by one side or the other.
TEST_F(QueueTest, CancelRacingRetrievalCompletesOnce) {
    vexa::test::RuleRecorder rules;
    constexpr int kRounds = 300;
    int cancelled = 0;
    int retrieved = 0;
    for (int round = 0; round < kRounds; ++round) {
        Async parked(handle_, kQueueProbePark, static_cast<uint32_t>(round));
        std::thread canceller([&] { CancelIoEx(handle_, nullptr); });
        NTSTATUS taken = retrieve_();
        canceller.join();
        NTSTATUS final = parked.finish();
        if (final == STATUS_CANCELLED) {
            ++cancelled;
            EXPECT_EQ(taken, STATUS_NO_MORE_ENTRIES);
        } else {
            ++retrieved;
            EXPECT_EQ(final, STATUS_SUCCESS);
            EXPECT_EQ(taken, STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(cancelled + retrieved, kRounds);
    EXPECT_EQ(rules.count(), 0u) << (rules.count() ? rules.violations()[0] : "");
}

// Closing a handle cancels what it still has parked; removing the device cancels everyone's.
TEST_F(QueueTest, CleanupAndRemovalCancelParkedRequests) {
    HANDLE other = CreateFileW(vexa::test::InterfacePath(kProbeClass).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    auto mine = std::make_unique<Async>(handle_, kQueueProbePark, 1);
    auto theirs = std::make_unique<Async>(other, kQueueProbePark, 2);
    CloseHandle(other);
    EXPECT_EQ(theirs->finish(), STATUS_CANCELLED);
    EXPECT_TRUE(mine->pending());
    machine_->pnp().remove(*node_);
    EXPECT_EQ(mine->finish(), STATUS_CANCELLED);
}

}  // namespace
