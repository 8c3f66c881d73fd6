// One loop pass: its fixed order (frames, timers, library work, one flush), library work only
// while a library says it has some, and nothing more after the link failed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host.h"
#include "loop_pass.h"

namespace tarnet::platform {
namespace {

std::vector<std::string> g_steps;

class RecordingLink : public LoopPass::Link {
  public:
    int Receive(int maxFrames) override {
        g_steps.push_back("receive " + std::to_string(maxFrames));
        return result;
    }
    void Flush() override { g_steps.push_back("flush"); }
    int result = 0;
};

struct Library {
    bool open  = false;
    int worked = 0;
};

bool HasWork(void* context) {
    return static_cast<Library*>(context)->open;
}

void Work(void* context) {
    ++static_cast<Library*>(context)->worked;
    g_steps.push_back("library");
}

class LoopPassTest : public ::testing::Test {
  protected:
    void SetUp() override {
        HostReset();
        HostFillCallbacks(config);
        g_steps.clear();
        ASSERT_TRUE(pass.AddLibrary(HasWork, Work, &library));
    }
    void TearDown() override { HostReset(); }

    void StartDueTimer() {
        config.timerStart(0, 0, [](std::uintptr_t) { g_steps.push_back("timer"); });
    }

    TnSockConfig config{};
    LoopPass pass;
    RecordingLink link;
    Library library;
};

TEST_F(LoopPassTest, FramesThenTimersThenLibraryWorkThenOneFlush) {
    library.open = true;
    StartDueTimer();
    const LoopPass::Result result = pass.Run(
        link, true, [](void*) { g_steps.push_back("extra"); }, nullptr);
    EXPECT_EQ(g_steps,
              (std::vector<std::string>{"receive 64", "timer", "library", "extra", "flush"}));
    EXPECT_EQ(result.timersRun, 1u);
    EXPECT_TRUE(result.libraryWorked);
}

TEST_F(LoopPassTest, LibraryWorkRunsOnlyWhileALibraryHasSessions) {
    struct Step {
        bool open;
        int worked;
    };
    // Sessions that end without any event (a library shut down) stop the work at once, and
    // an open session keeps it running with no frame and no timer at all.
    const Step steps[] = {
        {false, 0},
        {true,  1},
        {true,  2},
        {false, 2},
        {true,  3}
    };
    for (const Step& s : steps) {
        library.open = s.open;
        EXPECT_EQ(pass.LibraryHasWork(), s.open);
        pass.Run(link, false);
        EXPECT_EQ(library.worked, s.worked);
    }
}

TEST_F(LoopPassTest, AFailedLinkEndsThePass) {
    library.open = true;
    StartDueTimer();
    link.result                   = -1;
    const LoopPass::Result result = pass.Run(link, true);
    EXPECT_EQ(result.taken, -1);
    EXPECT_EQ(g_steps, (std::vector<std::string>{"receive 64"}));
}

}  // namespace
}  // namespace tarnet::platform
