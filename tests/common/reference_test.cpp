// Library objects and references: the orphan walk through holders, cascades
// and cycles, assignment and release, copies that outlive their owner, and
// the one lock; under AddressSanitizer a double deletion or a dangling holder
// id fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/base.h"
#include "support/library_fixture.h"

namespace {

using mrak::vexa::base;
using mrak::vexa::lock_scope;
using mrak::vexa::reference;

// A library object that may hold others and counts its deletions.
class Node : public base {
public:
    explicit Node(std::map<std::string, int>* deleted, std::string name) : deleted_(deleted), name_(std::move(name)) {}
    ~Node() override {
        ++(*deleted_)[name_];
        holds.clear();  // releases what it holds, as a library object's destructor does
    }
    void hold(Node* other) { holds.emplace_back(other, holder_id()); }
    // This node's id, for references a test makes as if the node held them.
    mrak::vexa::holder_id_t id() const { return holder_id(); }
    bool release_id(uint64_t id) { return release_ref(id); }

    std::vector<reference<Node>> holds;

private:
    std::map<std::string, int>* deleted_;
    std::string name_;
};

class ReferenceTest : public ::testing::Test {
protected:
    Node* make(const std::string& name) { return new Node(&deleted_, name); }
    int deleted(const std::string& name) { return deleted_.count(name) != 0 ? deleted_[name] : 0; }

    std::map<std::string, int> deleted_;
};

// An outside reference alone holds an object; its release deletes it and clears the pointer.
TEST_F(ReferenceTest, OutsideReferenceAloneHolds) {
    reference<Node> app(make("a"), 0);
    EXPECT_EQ(app->holder_count(), 1u);
    app.release();
    EXPECT_EQ(deleted("a"), 1);
    EXPECT_FALSE(app) << "a release clears the pointer";
    app.release();  // releasing an empty reference does nothing
    EXPECT_EQ(deleted("a"), 1);
}

// The same holder id added twice needs two releases.
TEST_F(ReferenceTest, SameIdTwiceNeedsTwoReleases) {
    Node* a = make("a");
    reference<Node> first(a, 0);
    reference<Node> second = first;
    first.release();
    EXPECT_EQ(deleted("a"), 0);
    EXPECT_EQ(a->holder_count(), 1u);
    second.release();
    EXPECT_EQ(deleted("a"), 1);
}

// A bus held by its system and the panel, its devices held by it and holding it: dropping the
// system's entry keeps everything; dropping the panel's too deletes the bus and each device once.
TEST_F(ReferenceTest, BusAndDevicesCascade) {
    reference<Node> system(make("system"), 0);
    Node* bus = make("bus");
    system->hold(bus);
    reference<Node> panel(bus, 0);
    bus->hold(make("d1"));
    bus->hold(make("d2"));
    for (auto& device : bus->holds) device->hold(bus);

    system->holds.clear();
    EXPECT_EQ(deleted("bus"), 0) << "the panel still holds the bus";
    panel.release();
    EXPECT_EQ(deleted("bus"), 1);
    EXPECT_EQ(deleted("d1"), 1);
    EXPECT_EQ(deleted("d2"), 1);
    EXPECT_EQ(deleted("system"), 0);
}

// A device held only through references with its bus's id lives as long as the bus is held
// from outside, and goes with the bus.
TEST_F(ReferenceTest, DeviceHeldThroughItsBusGoesWithIt) {
    Node* bus = make("bus");
    reference<Node> panel(bus, 0);
    bus->hold(make("device"));
    Node* device = bus->holds[0].get();
    device->hold(bus);
    reference<Node> copy(device, bus->id());  // a copy of the list entry, with the bus's id
    copy.release();
    EXPECT_EQ(deleted("device"), 0);
    panel.release();
    EXPECT_EQ(deleted("bus"), 1);
    EXPECT_EQ(deleted("device"), 1);
}

// Two objects that hold only each other go together when the last outside reference goes, whichever it is.
TEST_F(ReferenceTest, CycleGoesWithItsLastOutsideHolder) {
    for (bool dropFirstLast : {false, true}) {
        deleted_.clear();
        Node* a = make("a");
        Node* b = make("b");
        a->hold(b);
        b->hold(a);
        reference<Node> ra(a, 0);
        reference<Node> rb(b, 0);
        (dropFirstLast ? rb : ra).release();
        EXPECT_EQ(deleted("a") + deleted("b"), 0);
        (dropFirstLast ? ra : rb).release();
        EXPECT_EQ(deleted("a"), 1);
        EXPECT_EQ(deleted("b"), 1);
    }
}

// A cycle of three with a tail: the walk goes round the cycle and finds the outside holder at the tail.
TEST_F(ReferenceTest, WalkFindsTheOutsideHolderBehindACycle) {
    Node* a = make("a");
    Node* b = make("b");
    Node* c = make("c");
    Node* tail = make("tail");
    a->hold(b);
    b->hold(c);
    c->hold(a);
    tail->hold(c);
    reference<Node> outside(tail, 0);
    reference<Node> start(a, 0);
    start.release();
    EXPECT_EQ(deleted("a") + deleted("b") + deleted("c"), 0) << "the tail still reaches the cycle";
    outside.release();
    EXPECT_EQ(deleted("tail"), 1);
    EXPECT_EQ(deleted("a"), 1);
    EXPECT_EQ(deleted("b"), 1);
    EXPECT_EQ(deleted("c"), 1);
}

// Assignment to itself, or to another path to the same object, never deletes what it is about to hold;
// assignment keeps the reference's own id.
TEST_F(ReferenceTest, AssignmentTakesTheNewTargetFirst) {
    Node* a = make("a");
    reference<Node> ra(a, 0);
    reference<Node>& alias = ra;
    ra = alias;
    EXPECT_EQ(deleted("a"), 0);
    EXPECT_EQ(a->holder_count(), 1u);

    Node* owner = make("owner");
    reference<Node> holdOwner(owner, 0);
    reference<Node> keyed(nullptr, owner->id());
    keyed = ra;
    EXPECT_EQ(keyed.holder(), owner->id().value()) << "assignment keeps the id";
    ra = keyed;  // the only outside hold passes through a path that the object itself keeps alive
    EXPECT_EQ(deleted("a"), 0);
    keyed.release();
    ra.release();
    EXPECT_EQ(deleted("a"), 1);
    EXPECT_FALSE(ra);
}

// A copy handed out with the outside id (as find_device and owner() give) that outlives its owner's
// last other holder keeps both alive and usable; no dead id stays in any list.
TEST_F(ReferenceTest, CopyOutlivingItsOwnerStaysValid) {
    Node* bus = make("bus");
    reference<Node> panel(bus, 0);
    bus->hold(make("device"));
    Node* device = bus->holds[0].get();
    device->hold(bus);
    reference<Node> found(device, 0);
    panel.release();
    EXPECT_EQ(deleted("bus"), 0) << "the device held from outside holds its bus";
    reference<Node> owner(found->holds[0].get(), 0);
    EXPECT_EQ(owner.get(), bus);
    owner.release();
    found.release();
    EXPECT_EQ(deleted("bus"), 1);
    EXPECT_EQ(deleted("device"), 1);
}

// A release issued for an object while it is being deleted answers false, and its id still goes,
// so no holder list keeps the id of an object that is going.
TEST_F(ReferenceTest, ReleaseDuringDeletionAnswersFalse) {
    struct Probe : base {
        bool* answered;
        bool* shrank;
        ~Probe() override {
            add_ref(42);
            size_t before = holder_count();
            *answered = release_ref(42);
            *shrank = holder_count() == before - 1;
        }
    };
    bool answered = true;
    bool shrank = false;
    auto* probe = new Probe;
    probe->answered = &answered;
    probe->shrank = &shrank;
    reference<base> hold(probe, 0);
    hold.release();
    EXPECT_FALSE(answered);
    EXPECT_TRUE(shrank);
}

// An object is deleted while the releasing thread still holds the lock: no other thread can
// take it (and walk a holder list through the object) while the destructor runs.
TEST_F(ReferenceTest, DeletionRunsUnderTheLock) {
    struct Locked : base {
        bool* otherGotIn;
        ~Locked() override {
            bool taken = false;
            std::thread([&] {
                taken = base::try_lock();
                if (taken) base::unlock();
            }).join();
            *otherGotIn = taken;
        }
    };
    bool otherGotIn = true;
    auto* object = new Locked;
    object->otherGotIn = &otherGotIn;
    reference<base> hold(object, 0);
    hold.release();
    EXPECT_FALSE(otherGotIn);
}

// Releasing an id the list does not hold leaves the list as it was.
TEST_F(ReferenceTest, UnknownIdLeavesTheListIntact) {
    Node* a = make("a");
    reference<Node> ra(a, 0);
    EXPECT_FALSE(a->release_id(12345));
    EXPECT_EQ(a->holder_count(), 1u);
    EXPECT_EQ(deleted("a"), 0);
}

// Four threads copy, assign and drop outside references to shared cycles at once; every object
// is deleted exactly once, by whichever thread let go last.
TEST_F(ReferenceTest, FourThreadStressDeletesEachObjectOnce) {
    constexpr int kGraphs = 300;
    constexpr int kThreads = 4;
    std::atomic<int> deletions{0};
    struct Counted : base {
        std::atomic<int>* deletions;
        std::atomic<int> destroyed{0};
        std::vector<reference<Counted>> holds;
        void hold(Counted* other) { holds.emplace_back(other, holder_id()); }
        ~Counted() override {
            if (destroyed.fetch_add(1) != 0) ADD_FAILURE() << "deleted twice";
            deletions->fetch_add(1);
            lock_scope hold;
            holds.clear();
        }
    };
    std::vector<std::vector<reference<Counted>>> perThread(kThreads);
    for (int g = 0; g < kGraphs; ++g) {
        auto* a = new Counted;
        auto* b = new Counted;
        a->deletions = b->deletions = &deletions;
        reference<Counted> first(a, 0);
        a->hold(b);
        b->hold(a);
        for (int t = 0; t < kThreads; ++t) {
            perThread[t].push_back(reference<Counted>(t % 2 == 0 ? a : b, 0));
        }
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            auto& mine = perThread[t];
            for (int round = 0; round < 2000; ++round) {
                size_t i = random() % mine.size();
                size_t j = random() % mine.size();
                switch (random() % 3) {
                    case 0: mine[i] = mine[j]; break;
                    case 1: {
                        reference<Counted> copy = mine[i];
                        mine[j] = copy;
                        break;
                    }
                    default: mine[i] = mine[i]; break;
                }
            }
            std::shuffle(mine.begin(), mine.end(), random);
            for (auto& r : mine) r.release();
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(deletions.load(), 2 * kGraphs);
}

// The one lock recurses for its holder, is refused to others until fully let go, and a library
// thread polling it gives up when told to stop.
TEST(LibraryLockTest, OneRecursiveLockAndPolling) {
    vexa::test::TestClock clock;
    base::_lock();
    base::_lock();
    auto tryOther = [] {
        bool taken = false;
        std::thread([&] {
            taken = base::try_lock();
            if (taken) base::unlock();
        }).join();
        return taken;
    };
    EXPECT_FALSE(tryOther());
    base::unlock();
    EXPECT_FALSE(tryOther());

    std::atomic<bool> keepGoing{true};
    std::atomic<bool> gaveUp{false};
    std::thread poller([&] {
        bool taken = mrak::vexa::poll_lock([&] { return keepGoing.load(); });
        gaveUp = !taken;
        if (taken) base::unlock();
    });
    keepGoing = false;  // the closer's stop: the poller leaves without the lock it could not get
    poller.join();
    EXPECT_TRUE(gaveUp.load());
    base::unlock();

    std::thread taker([] {
        EXPECT_TRUE(mrak::vexa::poll_lock([] { return true; }));
        base::unlock();
    });
    taker.join();
    EXPECT_TRUE(tryOther());
}

// The lock outlives the program's static objects: a library thread that holds (or takes) it while
// the program exits found it destroyed under it ("DeleteCriticalSection on one a thread holds").
TEST(LibraryLockTest, LockSurvivesTheProgramsExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // Left for the thread, which holds the lock until the program is gone.
            auto* taken = new std::atomic<bool>(false);
            auto* never = new std::promise<void>;
            std::thread([taken, never] {
                base::_lock();
                taken->store(true);
                never->get_future().wait();
            }).detach();
            while (!taken->load()) std::this_thread::yield();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
