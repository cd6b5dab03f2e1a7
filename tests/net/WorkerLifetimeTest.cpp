#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "CHttpsPublicThread.h"
#include "CHttpsRealtimeThread.h"
#include "CIni.h"
#include "HeldClock.h"
#include "Waiting.h"

// The owner destroys a worker as soon as alive reads false, so only the
// thread's very last step may clear it. A body that cleared it would leave
// its thread touching a freed object on the way out.

namespace {

// Runs the real body of Worker, stopped so that it ends at once, and notes
// whether the body left alive set.
template <class Worker>
class BodyWatcher : public Worker {
public:
    void ThreadMain() override {
        this->Stop();
        Worker::ThreadMain();
        aliveAfterBody = this->alive.load();
        bodyReturned = true;
    }
    std::atomic<bool> bodyReturned{false};
    std::atomic<bool> aliveAfterBody{false};
};

template <class Worker>
void ExpectBodyLeavesAliveSet(const char* name) {
    BodyWatcher<Worker> worker;
    CIni ini;
    ASSERT_NE(CThread::kNoThread, worker.Start(nullptr, ini.dir, &ini.timeadjust_min, "btc_jpy.r")) << name;
    ASSERT_TRUE(WaitUntil([&] { return !worker.alive; }, 10000)) << name;
    EXPECT_TRUE(worker.bodyReturned) << name;
    EXPECT_TRUE(worker.aliveAfterBody) << name;
}

// A paused worker idles on its clock. Held still, the clock never ends that
// idling, so only a stop can, and it must within the step under way.
template <class Worker>
void ExpectPausedBodySeesAStopWithinAStep(const char* name) {
    Worker worker;
    worker.tickCount = HeldClock::Read;
    worker.paused = true;
    CIni ini;
    ASSERT_NE(CThread::kNoThread, worker.Start(nullptr, ini.dir, &ini.timeadjust_min, "btc_jpy.r")) << name;
    EXPECT_TRUE(HeldClock::AwaitReads(2)) << name << ": the paused worker does not idle on its clock";
    int readsAtStop = HeldClock::Reads();
    worker.Stop();
    EXPECT_TRUE(WaitUntil([&] { return !worker.alive; }, 10000)) << name << ": the stop was not seen";
    EXPECT_LE(HeldClock::Reads() - readsAtStop, 1) << name << ": the stop is seen at the end of the step under way";
    HeldClock::Advance(10000);  // ends an idling that missed the stop
    WaitUntil([&] { return !worker.alive; }, 10000);
}

}  // namespace

TEST(WorkerLifetime, PausedBodiesSeeAStopWithinAStep) {
    ExpectPausedBodySeesAStopWithinAStep<CHttpsPublicThread>("polling worker");
    ExpectPausedBodySeesAStopWithinAStep<CHttpsRealtimeThread>("stream worker");
}

TEST(WorkerLifetime, BodiesLeaveAliveForTheThreadsLastStep) {
    ExpectBodyLeavesAliveSet<CHttpsPublicThread>("polling worker");
    ExpectBodyLeavesAliveSet<CHttpsRealtimeThread>("stream worker");
}
